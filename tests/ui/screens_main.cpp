// Drives the real program through the demo and saves screenshots:
//   twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE
//   twinbay-screens --toolbar FILE       (only the toolbar, at the screen's scale)
#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QTreeWidget>
#include <cstdio>

#include "gui_support.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
#include "ui/dialogs/about_pages.h"
#include "ui/dialogs/options_sheet.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"

using namespace twinbay;
using test::OnModal;
using test::WaitFor;

namespace {
QString out;
bool ok = true;

void Pause(int ms) { WaitFor([] { return false; }, ms); }
void Saved(bool saved, const QString& file) {
  std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(file));
  ok &= saved;
}
// A widget as it draws itself, or (null) the part `area` of the whole screen
// as the window manager shows it.
void Save(QWidget* w, const QString& name, QRect area = {}) {
  const QString file = out + "/" + name + ".png";
  if (w) return Saved(w->grab().save(file), file);
  const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
  Saved((area.isNull() ? screen : screen.copy(area)).save(file), file);
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
    Pause(300);
    for (QAction* a : frame.ToolBar()->actions()) a->setEnabled(true);  // as it looks when usable
    const bool saved = frame.ToolBar()->grab().save(argv[2]);
    frame.View()->ShutDown();
    return saved ? 0 : 1;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE\n");
    return 2;
  }
  out = argv[1];
  CMainFrame frame(argv[2]);
  CTwinbayView* view = frame.View();
  frame.resize(1100, 640);
  frame.show();
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    QApplication::processEvents();
    Save(w, "connections-dialog");
    w->findChild<QPushButton*>("connect")->click();
  });
  view->ArmStartupConnect();
  if (!WaitFor([&] { return view->IsConnected(); }, 20000)) {
    std::fprintf(stderr, "could not connect to the demo server\n");
    return 1;
  }
  view->OnCompare();
  WaitFor([&] { return !view->IsBusy(); }, 20000);
  view->Tree()->setCurrentItem(view->Tree()->topLevelItem(0));
  Pause(300);
  frame.RefreshUi();
  Save(&frame, "main-window-after-compare");
  // The whole screen: the window with its painted caption as the window manager shows it.
  frame.activateWindow();
  frame.raise();
  WaitFor([&] { return frame.isActiveWindow(); }, 3000);
  Pause(300);
  std::printf("main window active: %s\n", frame.isActiveWindow() ? "yes" : "no");
  Save(nullptr, "main-window-desktop");

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
    Pause(200);
    Save(w, "remote-folder-browser");
    dlg->reject();
  });
  view->OnBrowseRemote();
  test::WaitForServer(*view);
  // The pages of the Options and About sheets.
  auto pages = [](QWidget* w, QTabWidget* tabs, QStringList names) {
    for (int i = 0; i < names.size(); ++i) {
      tabs->setCurrentIndex(i);
      Pause(150);
      Save(w, names[i]);
    }
    static_cast<QDialog*>(w)->reject();
  };
  OnModal("OptionsSheet", [&](QWidget* w) {
    pages(w, static_cast<COptionsSheet*>(w)->Tabs(), {"options-compare", "options-display", "options-transfer"});
  });
  view->OnOptions();
  OnModal("AboutSheet", [&](QWidget* w) { pages(w, static_cast<CAboutSheet*>(w)->Tabs(), {"about-page", "support-page"}); });
  frame.OnAbout();

  // The list popup and Confirm Deletions over a selection of the first rows.
  QTableView* list = view->List();
  list->clearSelection();
  for (int r = 0; r < std::min(3, list->model()->rowCount()); ++r)
    list->selectionModel()->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  {
    std::unique_ptr<QMenu> popup(view->MakeListPopup(view));
    popup->popup(list->viewport()->mapToGlobal(list->visualRect(list->model()->index(1, 0)).center()));
    Pause(300);
    Save(popup.get(), "list-popup");
    Save(nullptr, "list-popup-over-window", frame.geometry().united(popup->geometry()));
    popup->close();
  }
  OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
    Save(w, "confirm-deletions");
    static_cast<QDialog*>(w)->reject();
  });
  view->OnDeleteSelected();
  list->clearSelection();

  // The window under a filter, then back to all files.
  frame.findChild<QAction*>("filter5")->trigger();
  frame.RefreshUi();
  Pause(300);
  Save(&frame, "main-window-filter-requiring-synchronization");
  frame.findChild<QAction*>("filter0")->trigger();
  frame.RefreshUi();

  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    w->findChild<QCheckBox*>("up")->setChecked(true);
    w->findChild<QCheckBox*>("down")->setChecked(true);
    Save(w, "synchronize-confirm");
    static_cast<QDialog*>(w)->accept();
  });
  OnModal("ProgressDialog", [&](QWidget* w) {
    Pause(120);  // until the large file is under way
    Save(w, "progress-dialog");
  });
  view->OnSynchronize();
  test::WaitForServer(*view, 60000);
  Pause(300);
  Save(&frame, "main-window-after-synchronize");
  view->ShutDown();
  return ok ? 0 : 1;
}
