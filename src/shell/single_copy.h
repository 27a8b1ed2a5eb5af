// One copy of the desktop program per program name: the first start holds a
// lock for as long as it runs; a later start says "Twinbay is already running"
// and ends, leaving the running copy as it is.
#pragma once

#include <QLockFile>
#include <QStringList>
#include <memory>

namespace twinbay {

class CMainFrame;

class CSingleCopy {
 public:
  // `name`: the path of the lock file, less its ending.
  explicit CSingleCopy(const QString& name = DefaultName());
  // The runtime folder (else the temporary one) and the program file's base name.
  static QString DefaultName();
  // Opens the window on the arguments' profiles when no other copy runs;
  // else says so and returns null.
  std::unique_ptr<CMainFrame> Start(const QStringList& args, const QString& connectionsFile = {});

 private:
  QLockFile lock_;
};

}  // namespace twinbay
