// twinbay: the desktop program.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QSessionManager>
#include <QStandardPaths>

#include "core/controller.h"
#include "shell/main_frame.h"
#include "ui/icons.h"
#include "ui/view/twinbay_view.h"

using namespace twinbay;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  // No display name: Qt would append it to every window title, and the main
  // window's title already ends with the program's name and version. The
  // desktop file name lets the shell (and Wayland compositors) find the icon.
  QGuiApplication::setDesktopFileName("twinbay");
  QApplication::setWindowIcon(icons::App());
  CSyncController::InitNetworking();

  // One copy per program name: a second start says so and ends.
  const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (runtime.isEmpty()) runtime = QDir::tempPath();
  QLockFile lock(runtime + "/" + base + ".lock");
  lock.setStaleLockTime(0);
  if (!lock.tryLock(100)) {
    QMessageBox::warning(nullptr, "Twinbay", "Twinbay is already running");
    return 1;
  }

  CMainFrame frame;
  // Ending the session stops a running compare and waits for it.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &frame, [&frame](QSessionManager&) {
    frame.View()->ShutDown();
  });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &frame, [&frame] { frame.View()->ShutDown(); });
  const QStringList args = QCoreApplication::arguments();
  for (int i = 1; i < args.size(); ++i)
    if (!args[i].startsWith('-')) frame.OpenProfile(args[i]);
  frame.show();
  frame.View()->ArmStartupConnect();
  return app.exec();
}
