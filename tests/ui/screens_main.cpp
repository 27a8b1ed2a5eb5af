// Drives the real program through the demo and saves screenshots:
//   twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE
//   twinbay-screens --toolbar FILE       (only the toolbar, at the screen's scale)
//   twinbay-screens --sftp-dialog FILE   (the Connection dialog set up for SFTP)
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTableView>
#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <cstdio>

#include "gui_support.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
#include "ui/dialogs/connection_dlgs.h"
#include "ui/dialogs/options_sheet.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/dialogs/about_pages.h"
#include "ui/view/file_list.h"
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
  if (argc == 3 && QString(argv[1]) == "--toolbar") {
    CMainFrame frame{QString()};
    frame.show();
    WaitFor([] { return false; }, 300);
    // Every button as it looks when it can be used.
    for (QAction* a : frame.ToolBar()->actions()) a->setEnabled(true);
    const bool ok = Save(frame.ToolBar(), argv[2]);
    frame.View()->ShutDown();
    return ok ? 0 : 1;
  }
  if (argc == 3 && QString(argv[1]) == "--sftp-dialog") {
    CConnectionDlg::Values v;
    v.description = "Web host";
    v.host = "sftp.example.net";
    v.protocol = 1;
    v.port = 22;
    v.userName = "webmaster";
    v.keyFile = QDir::homePath() + "/.ssh/id_ed25519";
    v.hostKey = "SHA256:Jb1XcJ2QH5cXhZ0X9l5Nf0gU3wY8yYp9QO6xq0bKk3A";
    v.localPath = "/home/me/site";
    CConnectionDlg dlg(false, v);
    dlg.show();
    WaitFor([] { return false; }, 300);
    return Save(&dlg, argv[2]) ? 0 : 1;
  }
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
    test::SelectFirstConnection(w);
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
  // The whole screen: the window with its painted caption as the window
  // manager shows it.
  frame.activateWindow();
  frame.raise();
  WaitFor([&] { return frame.isActiveWindow(); }, 3000);
  WaitFor([] { return false; }, 300);
  std::printf("main window active: %s\n", frame.isActiveWindow() ? "yes" : "no");
  {
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const bool saved = screen.save(out + "/main-window-desktop.png");
    std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(out + "/main-window-desktop.png"));
    ok &= saved;
  }

  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; });
    for (int i = 0; i < root->childCount(); ++i) {
      QTreeWidgetItem* c = root->child(i);
      c->setExpanded(true);
      WaitFor([&] { return CRemoteFolderDlg::ItemState(c) != CRemoteFolderDlg::Loading; });
      if (c->childCount() > 0) dlg->Tree()->setCurrentItem(c->child(0));
    }
    WaitFor([] { return false; }, 200);
    ok &= Save(w, out + "/remote-folder-browser.png");
    dlg->reject();
  });
  frame.View()->OnBrowseRemote();
  test::WaitForServer(*frame.View());

  OnModal("OptionsSheet", [&](QWidget* w) {
    auto* sheet = static_cast<COptionsSheet*>(w);
    const char* names[3] = {"compare", "display", "transfer"};
    for (int i = 0; i < 3; ++i) {
      sheet->Tabs()->setCurrentIndex(i);
      WaitFor([] { return false; }, 150);
      ok &= Save(w, out + "/options-" + names[i] + ".png");
    }
    sheet->reject();
  });
  frame.View()->OnOptions();

  OnModal("AboutSheet", [&](QWidget* w) {
    auto* sheet = static_cast<CAboutSheet*>(w);
    WaitFor([] { return false; }, 150);
    ok &= Save(w, out + "/about-page.png");
    sheet->Tabs()->setCurrentIndex(1);
    WaitFor([] { return false; }, 150);
    ok &= Save(w, out + "/support-page.png");
    sheet->accept();
  });
  frame.OnAbout();

  // The list popup and Confirm Deletions over a selection of the first rows.
  CTwinbayView* view = frame.View();
  QTableView* list = view->List();
  list->clearSelection();
  for (int r = 0; r < std::min(3, list->model()->rowCount()); ++r)
    list->selectionModel()->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  {
    std::unique_ptr<QMenu> popup(view->MakeListPopup(view));
    const QRect row = list->visualRect(list->model()->index(1, 0));
    popup->popup(list->viewport()->mapToGlobal(row.center()));
    WaitFor([] { return false; }, 300);
    ok &= Save(popup.get(), out + "/list-popup.png");
    if (auto* screen = QGuiApplication::primaryScreen()) {
      const bool saved = screen->grabWindow(0).copy(frame.geometry().united(popup->geometry())).save(out + "/list-popup-over-window.png");
      std::printf("%s %s\n", saved ? "saved" : "could not save", (out + "/list-popup-over-window.png").toLocal8Bit().constData());
    }
    popup->close();
  }
  OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
    ok &= Save(w, out + "/confirm-deletions.png");
    static_cast<QDialog*>(w)->reject();
  });
  view->OnDeleteSelected();
  list->clearSelection();

  // The window under a filter, then back to all files.
  if (QAction* f = frame.findChild<QAction*>("filter5")) f->trigger();
  frame.RefreshUi();
  WaitFor([] { return false; }, 300);
  ok &= Save(&frame, out + "/main-window-filter-requiring-synchronization.png");
  if (QAction* f = frame.findChild<QAction*>("filter0")) f->trigger();
  frame.RefreshUi();

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
  test::WaitForServer(*frame.View(), 60000);
  WaitFor([] { return false; }, 300);
  ok &= Save(&frame, out + "/main-window-after-synchronize.png");
  frame.View()->ShutDown();
  return ok ? 0 : 1;
}
