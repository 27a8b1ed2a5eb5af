// twinbay: the desktop program.
#include <QApplication>
#include <QSessionManager>

#include "core/controller.h"
#include "shell/main_frame.h"
#include "shell/single_copy.h"
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

  // One copy per program name: a later start hands its profiles to the
  // running copy and ends.
  CSingleCopy single;
  std::unique_ptr<CMainFrame> window = single.Start(QCoreApplication::arguments());
  if (!window) return 1;
  CMainFrame& frame = *window;
  // Ending the session stops a running compare and waits for it.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &frame, [&frame](QSessionManager&) {
    frame.View()->ShutDown();
  });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &frame, [&frame] { frame.View()->ShutDown(); });
  frame.show();
  frame.View()->ArmStartupConnect();
  return app.exec();
}
