// What the window tests share: settings and the connections file in a home
// folder of their own, a local folder, pyftpdlib over a server root (its
// "site" folder the remote side), the main window and ways to act on it.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>

#include "gui_support.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"

namespace twinbay::test {

inline const int64_t T0 = UnixTime(2026, 2, 3, 4, 5, 6);
using Names = std::vector<std::string>;

struct GuiTest : ::testing::Test {
  TempDir home, local, serverRoot;
  std::unique_ptr<FtpTestServer> server;
  std::unique_ptr<CMainFrame> frame;

  void SetUp() override { UseSettingsFolder(QString::fromStdString(home / "settings")); }
  void TearDown() override {
    if (frame) frame->View()->ShutDown();
    frame.reset();
  }
  std::string ConnectionsFile() const { return home / "connections.ftp"; }
  CTwinbayView* View() const { return frame->View(); }
  FileListModel* Model() const { return View()->List()->Model(); }
  // Adds a record (127.0.0.1:port as tester/secret, the local folder, /site); `edit` changes it first.
  void StoreRecord(int port, const std::function<void(CConnectionProperties&)>& edit = {}) {
    ASSERT_TRUE(SaveTestConnection(ConnectionsFile(), port, local.path(), [&](CConnectionProperties& r) {
      r.anonymous = 0;
      if (edit) edit(r);
    }, true));
  }
  void MakeFrame() {
    frame = std::make_unique<CMainFrame>(QString::fromStdString(ConnectionsFile()));
    frame->show();
    QApplication::setActiveWindow(frame.get());
  }
  // Serves the server root with pyftpdlib, stores its record and opens the window.
  void Start(const FtpTestServer::PyOptions& o = {}, const std::function<void(CConnectionProperties&)>& edit = {}) {
    std::filesystem::create_directories(serverRoot / "site");
    std::string why;
    server = FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
    ASSERT_TRUE(server) << why;
    StoreRecord(server->port(), edit);
    MakeFrame();
  }
  void Connect() { ConnectWithFirstConnection(*View()); }
  void ConnectAndCompare(bool showTop = true) {
    Connect();
    ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
    Compare(showTop);
  }
  void Compare(bool showTop = true) {
    View()->OnCompare();
    ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
    QApplication::processEvents();
    if (showTop) Show(View()->Tree()->topLevelItem(0));
  }
  void Show(QTreeWidgetItem* folder) {
    ASSERT_NE(folder, nullptr);
    View()->Tree()->setCurrentItem(folder);
    QApplication::processEvents();  // the tree posts the folder to show
    ASSERT_TRUE(WaitFor([&] { return Model()->ShownFolder() == CFolderTreeCtrl::Record(folder); }));
  }
  // The top folder: up.html (newer here), down.html (newer there), same.css
  // (in step), local.txt (here only), remote.txt (there only); below it sub/
  // (a file newer here), docs/ (in step), drafts/ (here only), Images/ (there only).
  void MakeSite() {
    for (auto [name, here, there] : {std::tuple{"up.html", "new", "old"}, {"down.html", "old", "new"}, {"sub/s.html", "new", "old"}}) {
      WriteFile(local / name, here, T0 + (here[0] == 'n' ? 100 : 0));
      WriteFile(serverRoot / ("site/" + std::string(name)), there, T0 + (there[0] == 'n' ? 100 : 0));
    }
    for (const std::string f : {"same.css", "docs/x.txt"}) WriteFile(local / f, "same", T0), WriteFile(serverRoot / ("site/" + f), "same", T0);
    WriteFile(local / "local.txt", "l", T0);
    WriteFile(serverRoot / "site/remote.txt", "r", T0);
    WriteFile(local / "drafts/a.html", "draft", T0);
    WriteFile(serverRoot / "site/Images/logo.gif", "gif", T0);
  }
  // Image, overlay mark and boldness of a folder's tree item.
  static std::tuple<int, int, bool> Look(QTreeWidgetItem* item) {
    if (!item) return {-1, -1, false};
    return {CFolderTreeCtrl::ItemImage(item), CFolderTreeCtrl::ItemMark(item), item->font(0).bold()};
  }
  QTreeWidgetItem* Item(const QString& name) const {
    return View()->Tree()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive).value(0);
  }
  // "<symbol> name" for every row of the list, by name.
  Names Rows() const {
    Names out;
    for (int r = 0; r < Model()->rowCount(); ++r)
      out.push_back(Model()->index(r, 0).data(Qt::UserRole).toString().toStdString() + " " +
                    Model()->index(r, 0).data().toString().trimmed().toStdString());
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return a.substr(2) < b.substr(2); });
    return out;
  }
  int RowOf(const std::string& name) const {
    for (int r = 0; r < Model()->rowCount(); ++r)
      if (Model()->EntryAt(r)->Name() == name) return r;
    return -1;
  }
  // The shown folder's entry of that name, listed or not.
  CFileEntry* Entry(const std::string& name) const {
    for (auto& e : Model()->ShownFolder()->entries)
      if (e->Name() == name) return e.get();
    return nullptr;
  }
  void Select(std::initializer_list<const char*> names) {
    View()->List()->clearSelection();
    for (const char* n : names) {
      ASSERT_GE(RowOf(n), 0) << n;
      View()->List()->selectionModel()->select(Model()->index(RowOf(n), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  // Deletes the selected rows on the chosen sides (Confirm Deletions comes up
  // with neither ticked) and, unless told not to, waits for it.
  void Delete(bool local, bool remote, bool wait = true) {
    auto acted = OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
      auto* l = w->findChild<QCheckBox*>("deleteLocal");
      auto* r = w->findChild<QCheckBox*>("deleteRemote");
      EXPECT_FALSE(l->isChecked() || r->isChecked());
      l->setChecked(local);
      r->setChecked(remote);
      w->findChild<QPushButton*>("ok")->click();
    });
    View()->OnDeleteSelected();
    EXPECT_TRUE(*acted);
    EXPECT_TRUE(!wait || WaitForServer(*View()));
    QApplication::processEvents();
  }
  // Answers the next modal window of that name with the button, noting its text.
  std::shared_ptr<bool> Answer(const QString& name, QMessageBox::StandardButton button, QString* text = nullptr) {
    return OnModal(name, [=](QWidget* w) {
      auto* box = static_cast<QMessageBox*>(w);
      if (text) *text = box->text() + "\n" + box->informativeText() + "\n" + box->detailedText();
      if (QAbstractButton* b = box->button(button)) b->click();
      else box->accept();
    });
  }
  // Sets the Synchronize dialog's two directions and accepts it.
  static void SyncWays(bool up, bool down) {
    OnModal("SyncConfirmDialog", [=](QWidget* w) {
      w->findChild<QCheckBox*>("up")->setChecked(up);
      w->findChild<QCheckBox*>("down")->setChecked(down);
      static_cast<QDialog*>(w)->accept();
    });
  }
  QString StatusMessage() const { return frame->findChild<QLabel*>("statusMessage")->text(); }
  QString Pane(int i) const {
    frame->RefreshUi();
    return frame->Pane(i)->text();
  }
};

}  // namespace twinbay::test
