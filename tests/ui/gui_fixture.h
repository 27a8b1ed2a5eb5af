// What the window tests share: settings and the connections file in a home
// folder of their own, a local folder, pyftpdlib over a server root (its
// "site" folder the remote side), the main window and ways to act on it.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
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
#include "widgets/history_combo.h"

namespace twinbay::test {

inline const int64_t T0 = UnixTime(2026, 2, 3, 4, 5, 6);

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

  bool StartServer(const FtpTestServer::PyOptions& o = {}) {
    std::filesystem::create_directories(serverRoot / "site");
    std::string why;
    server = FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
    EXPECT_TRUE(server) << why;
    return server != nullptr;
  }
  // Adds a record to the connections file: 127.0.0.1:port as tester/secret,
  // the local folder, remote folder /site; `edit` changes it before the save.
  void StoreRecord(int port, const std::string& description = "Test server",
                   const std::function<void(CConnectionProperties&)>& edit = {}) {
    ASSERT_TRUE(SaveTestConnection(ConnectionsFile(), port, local.path(), [&](CConnectionProperties& r) {
      r.description = description;
      r.anonymous = 0;
      if (edit) edit(r);
    }, true));
  }
  void MakeFrame() {
    frame = std::make_unique<CMainFrame>(QString::fromStdString(ConnectionsFile()));
    frame->show();
    QApplication::setActiveWindow(frame.get());
  }
  // Serves, stores the record and opens the window.
  void Start(const FtpTestServer::PyOptions& o = {}) {
    ASSERT_TRUE(StartServer(o));
    StoreRecord(server->port());
    MakeFrame();
  }
  // Connects with the first stored connection; the connect runs on.
  void Connect() { ConnectWithFirstConnection(*View()); }
  // Connects, compares and (unless told not to) shows the top folder's files.
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
    WriteFile(local / "up.html", "new", T0 + 100);
    WriteFile(serverRoot / "site/up.html", "old", T0);
    WriteFile(local / "down.html", "old", T0);
    WriteFile(serverRoot / "site/down.html", "new", T0 + 100);
    for (const std::string f : {"same.css", "docs/x.txt"}) {
      WriteFile(local / f, "same", T0);
      WriteFile(serverRoot / ("site/" + f), "same", T0);
    }
    WriteFile(local / "local.txt", "l", T0);
    WriteFile(serverRoot / "site/remote.txt", "r", T0);
    WriteFile(local / "sub/s.html", "new", T0 + 100);
    WriteFile(serverRoot / "site/sub/s.html", "old", T0);
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
  std::vector<std::string> Rows() const {
    FileListModel* m = Model();
    std::vector<std::string> out;
    for (int r = 0; r < m->rowCount(); ++r)
      out.push_back(m->index(r, 0).data(Qt::UserRole).toString().toStdString() + " " +
                    m->index(r, 0).data().toString().trimmed().toStdString());
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
      const int r = RowOf(n);
      ASSERT_GE(r, 0) << n;
      View()->List()->selectionModel()->select(Model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  // Runs Delete on the selected rows, ticking the chosen sides, and (unless
  // told not to) waits for it; returns the two labels seen.
  std::pair<QString, QString> Delete(bool local, bool remote, bool wait = true) {
    std::pair<QString, QString> labels;
    auto acted = OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
      auto* l = w->findChild<QCheckBox*>("deleteLocal");
      auto* r = w->findChild<QCheckBox*>("deleteRemote");
      labels = {l->text(), r->text()};
      l->setChecked(local);
      r->setChecked(remote);
      w->findChild<QPushButton*>("ok")->click();
    });
    View()->OnDeleteSelected();
    EXPECT_TRUE(*acted);
    EXPECT_TRUE(!wait || WaitForServer(*View()));
    QApplication::processEvents();
    return labels;
  }
  QString StatusMessage() const { return frame->findChild<QLabel*>("statusMessage")->text(); }
  QString Pane(int i) const {
    frame->RefreshUi();
    return frame->Pane(i)->text();
  }
  QAction* Command(const QString& name) const {
    auto* a = frame->findChild<QAction*>(name);
    EXPECT_NE(a, nullptr) << name.toStdString();
    return a;
  }
  // A key as the user presses it in the window (shortcuts included).
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::ControlModifier) {
    QApplication::setActiveWindow(frame.get());
    QTest::keyClick(frame.get(), key, mods);
    QApplication::processEvents();
  }
};

}  // namespace twinbay::test
