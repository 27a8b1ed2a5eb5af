// Drives the real program through the demo and saves screenshots:
//   twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <cstdio>

#include "gui_support.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"

using namespace twinbay;
using test::OnModal;
using test::WaitFor;

namespace {
bool Save(QWidget* w, const QString& file) {
  const bool ok = w->grab().save(file);
  std::printf("%s %s\n", ok ? "saved" : "could not save", file.toLocal8Bit().constData());
  return ok;
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  InitCurlOnce();
  if (argc < 3) {
    std::fprintf(stderr, "usage: twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE\n");
    return 2;
  }
  const QString out = argv[1];
  CMainFrame frame(argv[2]);
  frame.resize(1100, 640);
  frame.show();
  bool ok = true;
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    auto* list = w->findChild<QListWidget*>("connections");
    list->setCurrentRow(0);
    list->item(0)->setSelected(true);
    QApplication::processEvents();
    ok &= Save(w, out + "/connections-dialog.png");
    w->findChild<QPushButton*>("connect")->click();
  });
  frame.View()->ArmStartupConnect();
  if (!WaitFor([&] { return frame.View()->IsConnected(); }, 20000)) {
    std::fprintf(stderr, "could not connect to the demo server\n");
    return 1;
  }
  frame.View()->OnCompare();
  WaitFor([&] { return !frame.View()->IsBusy(); }, 20000);
  frame.View()->Tree()->setCurrentItem(frame.View()->Tree()->topLevelItem(0));
  WaitFor([] { return false; }, 300);
  frame.RefreshUi();
  ok &= Save(&frame, out + "/main-window-after-compare.png");

  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    w->findChild<QCheckBox*>("up")->setChecked(true);
    w->findChild<QCheckBox*>("down")->setChecked(true);
    ok &= Save(w, out + "/synchronize-confirm.png");
    static_cast<QDialog*>(w)->accept();
  });
  OnModal("ProgressDialog", [&](QWidget* w) {
    // Wait until the large file is under way, then take the picture.
    WaitFor([] { return false; }, 120);
    ok &= Save(w, out + "/progress-dialog.png");
  });
  frame.View()->OnSynchronize();
  WaitFor([] { return false; }, 300);
  ok &= Save(&frame, out + "/main-window-after-synchronize.png");
  frame.View()->ShutDown();
  return ok ? 0 : 1;
}
