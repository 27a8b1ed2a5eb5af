// One copy of the desktop program per program name. The first start holds a
// lock and listens; a later start hands the profiles on its command line to
// that copy and ends, so a .twy opened from a file manager reaches the window
// already up instead of a second one.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QStringList>
#include <memory>

namespace twinbay {

class CMainFrame;

class CSingleCopy {
 public:
  // `name`: the path of the lock file and the hand-over socket, less their endings.
  explicit CSingleCopy(const QString& name = DefaultName());
  // The runtime folder (else the temporary one) and the program file's base name.
  static QString DefaultName();
  // Opens the window on the arguments' profiles when no other copy runs. Else
  // hands the profiles to the running copy and returns null, saying "Twinbay
  // is already running" when there was nothing to hand over or it failed.
  std::unique_ptr<CMainFrame> Start(const QStringList& args, const QString& connectionsFile = {});
  bool HandedOver() const { return handedOver_; }

 private:
  bool HandOver(const QStringList& profiles);
  void Listen(CMainFrame* frame);

  QString name_;
  QLockFile lock_;
  QLocalServer server_;
  bool handedOver_ = false;
};

}  // namespace twinbay
