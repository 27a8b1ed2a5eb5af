// Drives the real program through the demo and saves screenshots:
//   twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE
//   twinbay-screens --toolbar FILE       (only the toolbar, at the screen's scale)
#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QScreen>
#include <QTabWidget>
#include <QToolBar>
#include <cstdio>

#include "gui_support.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
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
// A widget as it draws itself, or (null) the part `area` of the screen as the window manager shows it.
void Save(QWidget* w, const QString& name, QRect area = {}) {
  const QString file = out + "/" + name + ".png";
  QPixmap shot = w ? w->grab() : QGuiApplication::primaryScreen()->grabWindow(0);
  const bool saved = (area.isNull() ? shot : shot.copy(area)).save(file);
  std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(file));
  ok &= saved;
}
// Saves the dialog `open` brings up (each of its pages under `names`), after `act`, then closes it.
void Dialog(const QString& object, const QStringList& names, const std::function<void()>& open,
            const std::function<void(QWidget*)>& act = {}) {
  OnModal(object, [=](QWidget* w) {
    if (act) act(w);
    auto* tabs = w->findChild<QTabWidget*>();
    for (int i = 0; i < names.size(); ++i) {
      if (tabs) tabs->setCurrentIndex(i);
      Pause(150);
      Save(w, names[i]);
    }
    static_cast<QDialog*>(w)->reject();
  });
  open();
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  InitCurlOnce();
  const bool toolbar = argc == 3 && QString(argv[1]) == "--toolbar";
  if (argc < 3) return std::fprintf(stderr, "usage: twinbay-screens OUTPUT-FOLDER CONNECTIONS-FILE\n"), 2;
  CMainFrame frame(toolbar ? QString() : argv[2]);
  CTwinbayView* view = frame.View();
  if (!toolbar) frame.resize(1100, 640);
  frame.show();
  if (toolbar) {
    Pause(300);
    for (QAction* a : frame.ToolBar()->actions()) a->setEnabled(true);  // as it looks when usable
    const bool saved = frame.ToolBar()->grab().save(argv[2]);
    view->ShutDown();
    return saved ? 0 : 1;
  }
  out = argv[1];
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    QApplication::processEvents();
    Save(w, "connections-dialog");
    w->findChild<QPushButton*>("connect")->click();
  });
  view->ArmStartupConnect();
  if (!WaitFor([&] { return view->IsConnected(); }, 20000)) return std::fprintf(stderr, "could not connect to the demo server\n"), 1;
  view->OnCompare();
  WaitFor([&] { return !view->IsBusy(); }, 20000);
  view->Tree()->setCurrentItem(view->Tree()->topLevelItem(0));
  Pause(300);
  frame.RefreshUi();
  Save(&frame, "main-window-after-compare");
  frame.activateWindow();  // the whole screen: the painted caption as the window manager carries it
  frame.raise();
  WaitFor([&] { return frame.isActiveWindow(); }, 3000);
  Pause(300);
  Save(nullptr, "main-window-desktop");
  Dialog("RemoteFolderDialog", {"remote-folder-browser"}, [&] { view->OnBrowseRemote(); }, [](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; });
    for (int i = 0; i < root->childCount(); ++i) {
      QTreeWidgetItem* c = root->child(i);
      c->setExpanded(true);
      WaitFor([&] { return CRemoteFolderDlg::ItemState(c) != CRemoteFolderDlg::Loading; });
      if (c->childCount() > 0) dlg->Tree()->setCurrentItem(c->child(0));
    }
  });
  test::WaitForServer(*view);
  Dialog("OptionsSheet", {"options-compare", "options-display", "options-transfer"}, [&] { view->OnOptions(); });
  Dialog("AboutSheet", {"about-page", "support-page"}, [&] { frame.OnAbout(); });
  // The list popup and Confirm Deletions over the first rows.
  QTableView* list = view->List();
  for (int r = 0; r < std::min(3, list->model()->rowCount()); ++r)
    list->selectionModel()->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  std::unique_ptr<QMenu> popup(view->MakeListPopup(view));
  popup->popup(list->viewport()->mapToGlobal(list->visualRect(list->model()->index(1, 0)).center()));
  Pause(300);
  Save(popup.get(), "list-popup");
  Save(nullptr, "list-popup-over-window", frame.geometry().united(popup->geometry()));
  popup->close();
  Dialog("ConfirmDeleteDialog", {"confirm-deletions"}, [&] { view->OnDeleteSelected(); });
  list->clearSelection();
  frame.findChild<QAction*>("filter5")->trigger();
  frame.RefreshUi();
  Pause(300);
  Save(&frame, "main-window-filter-requiring-synchronization");
  frame.findChild<QAction*>("filter0")->trigger();
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    w->findChild<QCheckBox*>("up")->setChecked(true);
    w->findChild<QCheckBox*>("down")->setChecked(true);
    Save(w, "synchronize-confirm");
    static_cast<QDialog*>(w)->accept();
    OnModal("ProgressDialog", [](QWidget* p) {
      Pause(120);  // until the large file is under way
      Save(p, "progress-dialog");
    });
  });
  view->OnSynchronize();
  test::WaitForServer(*view, 60000);
  Pause(300);
  Save(&frame, "main-window-after-synchronize");
  view->ShutDown();
  return ok ? 0 : 1;
}
