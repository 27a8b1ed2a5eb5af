#include "shell/single_copy.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>

#include "shell/main_frame.h"

namespace twinbay {

namespace {

// The profiles of a command line: every argument that is not a switch.
QStringList Profiles(const QStringList& args) {
  QStringList out;
  for (int i = 1; i < args.size(); ++i)
    if (!args[i].startsWith('-')) out << QFileInfo(args[i]).absoluteFilePath();
  return out;
}

// With no screen to show a box on (offscreen, a script), the notice goes to
// stderr instead of a modal box nobody can close.
void SayAlreadyRunning() {
  const QString platform = QGuiApplication::platformName();
  if (platform == "offscreen" || platform == "minimal")
    std::fputs("Twinbay is already running\n", stderr);
  else
    QMessageBox::warning(nullptr, "Twinbay", "Twinbay is already running");
}

}  // namespace

CSingleCopy::CSingleCopy(const QString& name) : lock_(name + ".lock") { lock_.setStaleLockTime(0); }

QString CSingleCopy::DefaultName() {
  QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (runtime.isEmpty()) runtime = QDir::tempPath();
  return runtime + "/" + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

std::unique_ptr<CMainFrame> CSingleCopy::Start(const QStringList& args, const QString& connectionsFile) {
  if (!lock_.tryLock(100)) {
    SayAlreadyRunning();
    return nullptr;
  }
  auto frame = std::make_unique<CMainFrame>(connectionsFile);
  for (const QString& p : Profiles(args)) frame->OpenProfile(p);
  return frame;
}

}  // namespace twinbay
