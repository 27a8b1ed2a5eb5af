// The window's commands on compared files, on the real widgets against a real
// FTP server, offscreen: the tree, synchronize, delete, the server's refusals
// and the last synchronised state.
#include <gtest/gtest.h>

#include <QMenu>
#include <QTreeWidgetItemIterator>
#include <chrono>
#include <thread>

#include "gui_fixture.h"
#include "support/processes.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/icons.h"

namespace twinbay {
namespace {

using test::Names;
using test::OnModal;
using test::T0;
using test::WaitFor;
namespace fs = std::filesystem;
using FileCommands = test::GuiTest;

// One compared tree: built whole from the records though the window's loop was
// held through the compare; a download-only synchronize copies only that way
// and the tree turns in step; each side of Delete deletes only there; Enter
// cancels Confirm Deletions. The stored password is read from the desktop keyring.
TEST_F(FileCommands, OneComparedTreeThroughSynchronizeAndDelete) {
  test::PrivateKeyring keyring(home / "keyring");
  ASSERT_TRUE(keyring.ok()) << test::ReadFile(keyring.log());
  MakeSite();
  Start();
  EXPECT_EQ(test::ReadFile(ConnectionsFile()).find(ScrambleText("secret")), std::string::npos);
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  View()->OnCompare();
  while (View()->IsWaitingOnServer()) QApplication::processEvents();  // up to the start, not what it posts
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (View()->Collection().GetCount() < 5 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(View()->Collection().GetCount(), 5u);
  EXPECT_EQ(View()->Tree()->topLevelItemCount(), 0);
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  QApplication::processEvents();
  CFolderTreeCtrl* tree = View()->Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* top = tree->topLevelItem(0);
  EXPECT_EQ(Look(top), std::tuple(0, 1, true));
  for (auto [name, look] : {std::pair{"docs", std::tuple(1, 0, false)}, {"sub", {1, 2, true}}, {"drafts", {2, 2, true}},
                            {"Images", {3, 3, true}}}) {
    EXPECT_EQ(Look(Item(name)), look) << name;
    EXPECT_TRUE(Item(name) && Item(name)->parent() == top) << name;
  }
  int items = 0;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) ++items;
  EXPECT_EQ(items, 5);
  Show(top);
  EXPECT_EQ(Rows(), (Names{"< down.html", "> local.txt", "< remote.txt", "= same.css", "> up.html"}));
  SyncWays(false, true);
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  QApplication::processEvents();
  EXPECT_EQ(test::ReadFile(local / "down.html") + test::ReadFile(local / "Images/logo.gif"), "newgif");
  EXPECT_EQ(test::ReadFile(serverRoot / "site/up.html"), "old");
  EXPECT_FALSE(fs::exists(serverRoot / "site/local.txt") || fs::exists(serverRoot / "site/drafts"));
  ASSERT_TRUE(WaitFor([&] { return Look(Item("Images")) == std::tuple(1, 0, false); }));
  Show(top);
  EXPECT_EQ(Rows(), (Names{"= down.html", "> local.txt", "= remote.txt", "= same.css", "> up.html"}));
  // The local side only: the server's copy stays and must now come down; the remote side only, the reverse.
  Select({"up.html"});
  Delete(true, false);
  EXPECT_TRUE(!fs::exists(local / "up.html") && fs::exists(serverRoot / "site/up.html"));
  ASSERT_NE(Entry("up.html"), nullptr);
  EXPECT_EQ(std::tuple(Entry("up.html")->state, Entry("up.html")->local.has_value()), std::tuple(CopyRemoteToLocal, false));
  Select({"down.html"});
  Delete(false, true);
  EXPECT_TRUE(fs::exists(local / "down.html") && !fs::exists(serverRoot / "site/down.html"));
  ASSERT_NE(Entry("down.html"), nullptr);
  EXPECT_EQ(Entry("down.html")->state, CopyLocalToRemote);
  Select({"remote.txt"});
  OnModal("ConfirmDeleteDialog", [](QWidget* w) {
    w->findChild<QCheckBox*>("deleteRemote")->setChecked(true);
    QTest::keyClick(w, Qt::Key_Return);
  });
  View()->OnDeleteSelected();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_TRUE(fs::exists(serverRoot / "site/remote.txt"));
}

// A folder the server will not list is marked and explained, its files cannot
// be tagged and nothing in it is deleted or copied, and the remote browser
// shows it refused, not empty; deletes the server refuses leave their entries
// and the status line says so; copies that fail or lose their times are named.
TEST_F(FileCommands, RefusalsAndFailuresOfTheServerAreShownAndNothingIsTakenAsDone) {
  MakeSite();
  test::WriteFile(local / "locked/page.html", "older", T0);
  test::WriteFile(serverRoot / "site/locked/page.html", "newer", T0 + 600);
  test::FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  o.refuseDelete = true;
  o.extraArgs = {"--truncate-downloads", "--refuse-times"};
  Start(o);
  ConnectAndCompare(false);
  EXPECT_EQ(StatusMessage(), "1 folder could not be read; nothing in it will be copied or deleted");
  QTreeWidgetItem* locked = Item("locked");
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(std::tuple(CFolderTreeCtrl::ItemMark(locked), locked->font(0).bold()), std::tuple(int(icons::kIncompleteMark), true));
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(Item("docs")), 0);
  Show(locked);
  ASSERT_TRUE(WaitFor([&] { return StatusMessage().startsWith("Could not be read whole: cannot list /site/locked"); }))
      << StatusMessage().toStdString();
  ASSERT_EQ(Model()->rowCount(), 1);
  Model()->ToggleTag(0);
  EXPECT_EQ(Entry("page.html")->tagged, 0);
  EXPECT_EQ(Model()->index(0, 3).data().toString(), "?");
  EXPECT_TRUE(Model()->index(0, 3).data(Qt::ToolTipRole).toString().contains("550"));
  Select({"page.html"});
  Delete(true, true);
  EXPECT_TRUE(fs::exists(local / "locked/page.html") && fs::exists(serverRoot / "site/locked/page.html"));
  EXPECT_EQ(Model()->rowCount(), 1);
  EXPECT_EQ(StatusMessage(), "Nothing was deleted: this folder could not be read whole");
  bool refusedShown = false;
  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* item = dlg->Tree()->topLevelItem(0);
    for (const QString name : {"site", "locked"}) {
      WaitFor([&] { return CRemoteFolderDlg::ItemState(item) == CRemoteFolderDlg::Loaded; });
      QTreeWidgetItem* parent = std::exchange(item, nullptr);
      for (int i = 0; i < parent->childCount(); ++i) item = parent->child(i)->text(0) == name ? parent->child(i) : item;
      if (!item) return dlg->reject();
      item->setExpanded(true);
    }
    refusedShown = WaitFor([&] { return CRemoteFolderDlg::ItemState(item) == CRemoteFolderDlg::Failed; }) &&
                   dlg->ErrorLine()->isVisibleTo(dlg) && item->childIndicatorPolicy() != QTreeWidgetItem::DontShowIndicator;
    dlg->reject();
  });
  View()->BrowseRemoteButton()->click();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_TRUE(refusedShown);
  // Deletes refused by the server: the local side went, the server kept both files.
  Show(View()->Tree()->topLevelItem(0));
  Select({"down.html", "remote.txt"});
  Delete(true, true);
  EXPECT_FALSE(fs::exists(local / "down.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/down.html") && fs::exists(serverRoot / "site/remote.txt"));
  ASSERT_TRUE(RowOf("down.html") >= 0 && RowOf("remote.txt") >= 0);
  EXPECT_TRUE(Entry("down.html")->remote.has_value() && Entry("remote.txt")->remote.has_value());
  EXPECT_EQ(Entry("down.html")->state, CopyRemoteToLocal);
  EXPECT_EQ(StatusMessage(), "2 deletes failed; the list shows the files as they still are");
  // Synchronize both ways, the locked folder's file even tagged for upload.
  Show(locked);
  Entry("page.html")->state = CopyLocalToRemote;
  Entry("page.html")->tagged = 1;
  SyncWays(true, true);
  QString report;
  Answer("TransferReport", QMessageBox::Ok, &report);
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_TRUE(report.startsWith("3 files could not be copied.\n4 files were copied with a warning.")) << report.toStdString();
  EXPECT_TRUE(report.contains(QString::fromStdString("Not copied: " + local / "down.html" + ": incomplete download: 1 of 3 bytes")));
  EXPECT_TRUE(report.contains("Copied, but /site/up.html: the time could not be set")) << report.toStdString();
  EXPECT_FALSE(fs::exists(local / "down.html"));
  EXPECT_EQ(test::ReadFile(serverRoot / "site/locked/page.html"), "newer");
}

// Over the last synchronised state: a deletion since follows once the
// Synchronize dialog has shown it, Tag All leaves conflicts, Keep Local makes
// one a tagged upload and the other is left alone on both sides.
TEST_F(FileCommands, DeletionsFollowConflictsWaitAndKeepLocalUploads) {
  const int64_t t0 = test::ThreeHoursAgo();
  for (std::string name : {"keep.txt", "gone.txt", "c1.txt", "c2.txt"})
    test::WriteFile(local / name, "same", t0), test::WriteFile(serverRoot / ("site/" + name), "same", t0);
  test::WriteFile(local / "left-out.txt", "mine", t0);
  // The stored connection's exclusion and backup folder (Connection dialog).
  Start({}, [](CConnectionProperties& r) { r.exclude = "left-*", r.backupDir = "bak"; });
  ConnectAndCompare();  // all in step: recorded
  fs::remove(local / "gone.txt");
  for (std::string name : {"c1.txt", "c2.txt"})
    test::WriteFile(local / name, "local", t0 + 100), test::WriteFile(serverRoot / ("site/" + name), "server's", t0 + 200);
  Compare();
  EXPECT_EQ(Rows(), (Names{"x> gone.txt", "! c1.txt", "! c2.txt", "= keep.txt"}));
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(View()->Tree()->topLevelItem(0)), kConflictOverlay);
  frame->findChild<QAction*>("tagAllCommand")->trigger();
  Select({"c1.txt"});
  std::unique_ptr<QMenu> menu(View()->MakeListPopup(nullptr));
  QAction* keepLocal = menu->findChild<QAction*>("keepLocal");
  ASSERT_TRUE(keepLocal && keepLocal->isEnabled());
  keepLocal->trigger();
  EXPECT_EQ(Rows()[1], "> c1.txt");
  EXPECT_EQ(Entry("c1.txt")->tagged, 1);
  QString deletions, conflicts, report;
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    auto* box = w->findChild<QCheckBox*>("deletions");
    w->findChild<QCheckBox*>("up")->setChecked(true);
    deletions = box->isChecked() && box->isEnabled() ? box->text() : QString();
    conflicts = w->findChild<QLabel*>("conflicts")->text();
    static_cast<QDialog*>(w)->accept();
  });
  auto reported = Answer("TransferReport", QMessageBox::Ok, &report);
  View()->OnSynchronize();
  ASSERT_TRUE(WaitFor([&] { return *reported && !View()->IsBusy(); }));
  EXPECT_EQ(deletions, "Delete files deleted on the other side (1)");
  EXPECT_EQ(conflicts, "1 conflict is left alone: keep one side of it from the list's popup.");
  EXPECT_TRUE(report.startsWith("1 file was deleted on the server.")) << report.toStdString();
  EXPECT_FALSE(fs::exists(serverRoot / "site/gone.txt") || fs::exists(serverRoot / "site/left-out.txt"));
  ASSERT_TRUE(fs::is_directory(serverRoot / "site/bak"));
  const fs::path kept = fs::directory_iterator(serverRoot / "site/bak")->path() / "gone.txt";
  EXPECT_TRUE(report.contains(" (kept at /site/bak/" + QString::fromStdString(kept.parent_path().filename()) + "/gone.txt)"))
      << report.toStdString();
  EXPECT_EQ(test::ReadFile(kept), "same");
  EXPECT_EQ(test::ReadFile(serverRoot / "site/c1.txt") + "|" + test::ReadFile(serverRoot / "site/c2.txt") + "|" +
                test::ReadFile(local / "c2.txt"),
            "local|server's|local");
  // The toolbar's Watch: a file saved here after that sync goes up by itself; the conflict stays.
  QAction* watch = frame->findChild<QAction*>("watch");
  ASSERT_TRUE(watch && watch->isCheckable());
  watch->setChecked(true);
  test::WriteFile(local / "saved.txt", "saved", std::time(nullptr));
  EXPECT_TRUE(WaitFor([&] { return test::ReadFile(serverRoot / "site/saved.txt") == "saved" && !View()->IsBusy(); }));
  watch->setChecked(false);
  EXPECT_EQ(test::ReadFile(serverRoot / "site/c2.txt"), "server's");
}

}  // namespace
}  // namespace twinbay
