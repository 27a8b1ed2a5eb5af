// The window's commands on compared files, on the real widgets against a real
// FTP server, offscreen: compare on connect, filters, tags, synchronize, the
// popups, Confirm Deletions and the delete; refusals; the list's order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QHeaderView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>

#include "gui_fixture.h"
#include "net/ftp_session.h"
#include "ui/dialogs/delete_dlg.h"
#include "ui/icons.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::T0;
using test::WaitFor;
namespace fs = std::filesystem;

using FileCommands = test::GuiTest;

// Confirm Deletions offers only the sides that have files, ticks none and
// cancels on Enter, even with a box ticked.
TEST(ConfirmDeletions, EnablingAndEnterCancels) {
  for (auto [local, remote] : {std::pair{2, 0}, {0, 1}}) {
    CConfirmDeleteDlg dlg(local, remote);
    auto* l = dlg.findChild<QCheckBox*>("deleteLocal");
    auto* r = dlg.findChild<QCheckBox*>("deleteRemote");
    EXPECT_EQ(std::tuple(l->isEnabled(), r->isEnabled()), std::tuple(local != 0, remote != 0));
    EXPECT_FALSE(l->isChecked() || r->isChecked());
    EXPECT_TRUE(dlg.findChild<QPushButton*>("cancel")->isDefault());
    EXPECT_FALSE(dlg.findChild<QPushButton*>("ok")->isDefault());
  }
  CConfirmDeleteDlg dlg(1, 1);
  OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
    w->findChild<QCheckBox*>("deleteLocal")->setChecked(true);
    QTest::keyClick(w, Qt::Key_Return);
  });
  EXPECT_EQ(dlg.exec(), QDialog::Rejected);
}

// One compared tree through every command in turn. Compare on Connect on a
// server that takes two logins reads it whole; the tree, list and panes show
// it; filters, tag keys and clicks, column widths; a download-only synchronize
// copies that direction and the tree turns in step; popups; deletes of each
// side and both; a disconnect frees the logins.
TEST_F(FileCommands, OneComparedTreeThroughEveryCommand) {
  MakeSite();
  ASSERT_EQ(chmod((local / "local.txt").c_str(), 0444), 0);  // read-only, still deleted
  test::FtpTestServer::PyOptions o;
  o.maxLogins = 2;
  Start(o);
  frame->RefreshUi();
  EXPECT_FALSE(Command("browseLocalCommand")->isEnabled() || View()->RemoteCombo()->isEnabled());
  Command("filter2")->trigger();  // before any compare only recorded
  EXPECT_EQ(View()->Filter(), 2);
  Command("filter0")->trigger();
  View()->Settings().m_bCompareOnConnect = 1;
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected() && !View()->IsBusy() && View()->Collection().GetCount() == 5; }))
      << View()->LastError();
  QApplication::processEvents();
  for (size_t i = 0; i < View()->Collection().GetCount(); ++i)
    EXPECT_FALSE(View()->Collection().GetAt(i)->incomplete) << View()->Collection().GetAt(i)->incompleteReason;
  frame->RefreshUi();
  EXPECT_TRUE(Command("browseLocalCommand")->isEnabled() && View()->RemoteCombo()->isEnabled());
  CFolderTreeCtrl* tree = View()->Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  EXPECT_EQ(Look(tree->topLevelItem(0)), std::tuple(0, 1, true));
  for (auto [name, look] : {std::pair{"docs", std::tuple(1, 0, false)}, {"sub", {1, 2, true}}, {"drafts", {2, 2, true}},
                            {"Images", {3, 3, true}}})
    EXPECT_EQ(Look(Item(name)), look) << name;
  // The top folder's files, coloured by direction; the panes count what would be copied each way.
  Show(tree->topLevelItem(0));
  FileListModel* m = Model();
  auto colour = [&](const char* name) { return m->index(RowOf(name), 0).data(Qt::ForegroundRole).value<QColor>(); };
  EXPECT_EQ(std::tuple(colour("up.html"), colour("down.html"), colour("same.css")),
            std::tuple(QColor(0, 0, 255), QColor(255, 0, 0), QColor(0, 0, 0)));
  EXPECT_TRUE(Pane(0).startsWith("4 of 4 files tagged (1KB) -  Free space: ")) << Pane(0).toStdString();
  EXPECT_EQ(Pane(3), "3 of 3 files tagged (1KB)");
  // A click on a row's tag mark untags it.
  const QPointF at(5, View()->List()->visualRect(m->index(RowOf("up.html"), 0)).center().y());
  QMouseEvent press(QEvent::MouseButtonPress, at, View()->List()->viewport()->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(View()->List()->viewport(), &press);
  EXPECT_TRUE(Pane(0).startsWith("3 of 4 files tagged")) << Pane(0).toStdString();

  // Each filter shows its rows and carries the radio mark.
  const std::vector<std::pair<int, std::vector<std::string>>> filters = {
      {1, {"> local.txt", "> up.html"}},
      {2, {"< down.html", "< remote.txt"}},
      {4, {"= same.css"}},
      {5, {"< down.html", "> local.txt", "< remote.txt", "> up.html"}},
      {6, {"> local.txt", "< remote.txt"}},
      {7, {"< down.html", "= same.css", "> up.html"}},
      {0, {"< down.html", "> local.txt", "< remote.txt", "= same.css", "> up.html"}},
  };
  for (const auto& [number, rows] : filters) {
    Command(QString("filter%1").arg(number))->trigger();
    frame->RefreshUi();
    EXPECT_EQ(View()->Filter(), number);
    EXPECT_EQ(Rows(), rows) << number;
    for (int n : {0, 1, 2, 4, 5, 6, 7}) EXPECT_EQ(Command(QString("filter%1").arg(n))->isChecked(), n == number) << number << " " << n;
  }
  // The current filter chosen again does not fill the list afresh; tagged counts follow the filter.
  QSignalSpy resets(Model(), &QAbstractItemModel::modelReset);
  Command("filter0")->trigger();
  EXPECT_EQ(resets.count(), 0);
  Command("filter6")->trigger();
  EXPECT_EQ(resets.count(), 1);
  EXPECT_TRUE(Pane(0).startsWith("2 of 4 files tagged")) << Pane(0).toStdString();
  Command("filter0")->trigger();

  // The default column widths fit the headers and the cells (times with seconds).
  CFileListCtrl* list = View()->List();
  for (int c = 0; c < 6; ++c) {
    const QString header = Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_GT(list->columnWidth(c), list->horizontalHeader()->fontMetrics().horizontalAdvance(header)) << c;
    for (int r = 0; r < Model()->rowCount(); ++r)
      EXPECT_GT(list->columnWidth(c), list->fontMetrics().horizontalAdvance(Model()->index(r, c).data().toString())) << c << " " << r;
  }
  const QString time = Model()->index(RowOf("up.html"), 2).data().toString();
  EXPECT_TRUE(time.contains(QRegularExpression("\\d:\\d\\d:\\d\\d"))) << time.toStdString();

  // Untag all (Ctrl+U) and Tag all (Ctrl+T) never touch an in-step entry.
  const std::vector<const char*> copied = {"up.html", "down.html", "local.txt", "remote.txt"};
  CFileEntry* same = Entry("same.css");
  same->tagged = 1;  // an in-step entry's hidden flag
  frame->RefreshUi();
  ASSERT_TRUE(Command("untagAllCommand")->isEnabled());
  Key(Qt::Key_U);
  for (const char* n : copied) EXPECT_EQ(Entry(n)->tagged, 0) << n;
  EXPECT_EQ(same->tagged, 1);
  EXPECT_TRUE(Pane(0).startsWith("0 of 4 files tagged")) << Pane(0).toStdString();
  same->tagged = 0;
  Key(Qt::Key_T);
  for (const char* n : copied) EXPECT_EQ(Entry(n)->tagged, 1) << n;
  EXPECT_EQ(same->tagged, 0);
  EXPECT_TRUE(Pane(0).startsWith("4 of 4 files tagged")) << Pane(0).toStdString();
  EXPECT_EQ(Pane(3).left(19), "3 of 3 files tagged");
  list->clearSelection();
  Key(Qt::Key_A);  // select all
  EXPECT_EQ(list->selectionModel()->selectedRows().size(), Model()->rowCount());

  // Synchronize only the downloads; the timestamps box follows the upload box.
  QString labels;
  bool timestampsFollowUp = false;
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    auto* up = w->findChild<QCheckBox*>("up");
    auto* stamps = w->findChild<QCheckBox*>("timestamps");
    labels = up->text() + "|" + w->findChild<QCheckBox*>("down")->text();
    up->setChecked(true);
    const bool on = stamps->isEnabled();
    up->setChecked(false);
    timestampsFollowUp = on && !stamps->isEnabled();
    w->findChild<QCheckBox*>("down")->setChecked(true);
    static_cast<QDialog*>(w)->accept();
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_EQ(labels, "Transfer 4 files from Local to Remote|Transfer 3 files from Remote to Local");  // the tagged counts
  EXPECT_TRUE(timestampsFollowUp);
  QApplication::processEvents();
  EXPECT_EQ(test::ReadFile(local / "down.html"), "new");
  EXPECT_EQ(test::ReadFile(local / "Images/logo.gif"), "gif");
  EXPECT_EQ(test::ReadFile(serverRoot / "site/up.html"), "old");  // not chosen
  ASSERT_TRUE(WaitFor([&] { return Look(Item("Images")) == std::tuple(1, 0, false); }));
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(tree->topLevelItem(0)), 2);  // only uploads are left
  Show(tree->topLevelItem(0));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"= down.html", "> local.txt", "= remote.txt", "= same.css", "> up.html"}));

  // The list's popup: enabling follows the selection; its commands act on it.
  auto popup = [&](const char* item, bool trigger = false) {
    std::unique_ptr<QMenu> m(View()->MakeListPopup(nullptr));
    QAction* a = m->findChild<QAction*>(item);
    EXPECT_NE(a, nullptr) << item;
    if (a && trigger) a->trigger();
    return a && a->isEnabled();
  };
  list->clearSelection();
  EXPECT_TRUE(popup("selectAll"));
  for (const char* item : {"tagSelected", "untagSelected", "deleteSelected", "syncSelected"}) EXPECT_FALSE(popup(item)) << item;
  Select({"same.css"});
  EXPECT_EQ(std::tuple(popup("tagSelected"), popup("deleteSelected"), popup("syncSelected")), std::tuple(false, true, false));
  Select({"same.css", "up.html"});
  EXPECT_EQ(std::tuple(popup("tagSelected"), popup("syncSelected")), std::tuple(true, false));
  popup("untagSelected", true);
  EXPECT_EQ(std::tuple(Entry("up.html")->tagged, Entry("local.txt")->tagged), std::tuple(0, 1));
  popup("selectAll", true);
  EXPECT_EQ(list->selectionModel()->selectedRows().size(), Model()->rowCount());
  // The tree's popup acts on the selected folder only, not on its sub-folders.
  View()->Tree()->clearSelection();
  View()->Tree()->setCurrentItem(nullptr);
  EXPECT_TRUE(std::unique_ptr<QMenu>(View()->MakeTreePopup(nullptr)) == nullptr);
  Show(tree->topLevelItem(0));
  {
    std::unique_ptr<QMenu> m(View()->MakeTreePopup(nullptr));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->findChild<QAction*>("tagFolder")->isEnabled());
    m->findChild<QAction*>("untagFolder")->trigger();
  }
  EXPECT_EQ(std::tuple(Entry("up.html")->tagged, Entry("local.txt")->tagged), std::tuple(0, 0));
  EXPECT_EQ(CFolderTreeCtrl::Record(Item("sub"))->entries.at(0)->tagged, 1);

  // Delete: off with nothing selected. The local side only: the server's copy
  // is left and must now come down.
  list->clearSelection();
  frame->RefreshUi();
  EXPECT_FALSE(Command("deleteCommand")->isEnabled());
  Select({"up.html"});
  frame->RefreshUi();
  EXPECT_TRUE(Command("deleteCommand")->isEnabled());
  EXPECT_EQ(Delete(true, false), (std::pair<QString, QString>("Delete 1 file from local", "Delete 1 file from remote")));
  EXPECT_FALSE(fs::exists(local / "up.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/up.html"));
  ASSERT_NE(Entry("up.html"), nullptr);
  EXPECT_EQ(std::tuple(Entry("up.html")->state, Entry("up.html")->local.has_value()), std::tuple(CopyRemoteToLocal, false));
  // The remote side only: the local copy must now go up.
  Select({"down.html"});
  Delete(false, true);
  EXPECT_TRUE(fs::exists(local / "down.html"));
  EXPECT_FALSE(fs::exists(serverRoot / "site/down.html"));
  ASSERT_NE(Entry("down.html"), nullptr);
  EXPECT_EQ(Entry("down.html")->state, CopyLocalToRemote);
  // Both sides, a one-sided read-only file in the selection: all go, and their entries.
  Select({"same.css", "local.txt"});
  EXPECT_EQ(Delete(true, true), (std::pair<QString, QString>("Delete 2 files from local", "Delete 1 file from remote")));
  EXPECT_FALSE(fs::exists(local / "same.css") || fs::exists(serverRoot / "site/same.css") || fs::exists(local / "local.txt"));
  EXPECT_FALSE(Entry("same.css") || Entry("local.txt"));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"> down.html", "= remote.txt", "< up.html"}));
  EXPECT_TRUE(StatusMessage().isEmpty()) << StatusMessage().toStdString();
  // Cancel deletes nothing.
  Select({"remote.txt"});
  OnModal("ConfirmDeleteDialog", [](QWidget* w) {
    w->findChild<QCheckBox*>("deleteRemote")->setChecked(true);
    w->findChild<QPushButton*>("cancel")->click();
  });
  View()->OnDeleteSelected();
  EXPECT_TRUE(fs::exists(serverRoot / "site/remote.txt"));
  EXPECT_NE(Entry("remote.txt"), nullptr);
  View()->OnDisconnect();
  ASSERT_TRUE(test::WaitForServer(*View()));
  CFtpSession second;
  EXPECT_TRUE(WaitFor([&] { return second.Connect("127.0.0.1", server->user(), server->password(), server->port()); }))
      << second.LastError();
}

// A folder the server will not list is marked and explained, its files cannot
// be tagged and nothing in it is deleted or copied; deletes the server refuses
// leave their entries and the status line says so; copies that fail or lose
// their times are named file by file.
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
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(locked), icons::kIncompleteMark);
  EXPECT_TRUE(locked->font(0).bold());
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(Item("docs")), 0);
  // Selected, it says why; its file cannot be tagged and shows "?", greyed, the reason as its tip.
  Show(locked);
  ASSERT_TRUE(WaitFor([&] { return StatusMessage().startsWith("Could not be read whole: cannot list /site/locked"); }))
      << StatusMessage().toStdString();
  EXPECT_TRUE(StatusMessage().contains("550")) << StatusMessage().toStdString();
  ASSERT_EQ(Model()->rowCount(), 1);
  Model()->ToggleTag(0);
  EXPECT_EQ(Entry("page.html")->tagged, 0);
  const QModelIndex state = Model()->index(0, 3);
  EXPECT_EQ(state.data().toString(), "?");
  EXPECT_TRUE(state.data(Qt::ToolTipRole).toString().contains("550"));
  Select({"page.html"});
  Delete(true, true);
  EXPECT_TRUE(fs::exists(local / "locked/page.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/locked/page.html"));
  EXPECT_EQ(Model()->rowCount(), 1);
  EXPECT_EQ(StatusMessage(), "Nothing was deleted: this folder could not be read whole");
  Show(Item("docs"));
  ASSERT_TRUE(WaitFor([&] { return StatusMessage().isEmpty(); }));

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
  OnModal("SyncConfirmDialog", [](QWidget* w) {
    w->findChild<QCheckBox*>("up")->setChecked(true);
    w->findChild<QCheckBox*>("down")->setChecked(true);
    static_cast<QDialog*>(w)->accept();
  });
  QString text, details;
  OnModal("TransferReport", [&](QWidget* w) {
    std::tie(text, details) = std::tuple(static_cast<QMessageBox*>(w)->text(), static_cast<QMessageBox*>(w)->detailedText());
    static_cast<QMessageBox*>(w)->accept();
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_EQ(text, "3 files could not be copied.\n4 files were copied with a warning.");
  EXPECT_TRUE(details.contains(QString::fromStdString("Not copied: " + local / "down.html" + ": incomplete download: 1 of 3 bytes")))
      << details.toStdString();
  EXPECT_TRUE(details.contains("Copied, but /site/up.html: the time could not be set")) << details.toStdString();
  EXPECT_FALSE(fs::exists(local / "down.html"));
  EXPECT_EQ(test::ReadFile(serverRoot / "site/locked/page.html"), "newer");
}

CFileEntry SizedEntry(const char* name, bool local, uint64_t size, int64_t time) {
  CFileEntry e;
  FindData fd;
  fd.name = name;
  fd.size = size;
  fd.lastWrite = time;
  (local ? e.local : e.remote) = fd;
  e.state = local ? CopyLocalToRemote : CopyRemoteToLocal;
  return e;
}

// The list's order is strict in every column, sizes beyond 2 GiB in order,
// rows without the sorted side together.
TEST(FileListOrder, StrictAndCorrectForLargeSizes) {
  std::vector<CFileEntry> entries = {SizedEntry("b", true, 5ull << 30, 1), SizedEntry("a", true, 3ull << 30, 2),
                                     SizedEntry("c", false, 7, 3),         SizedEntry("d", true, 1, 4),
                                     SizedEntry("e", false, 9, 5),         SizedEntry("f", true, 3ull << 30, 6)};
  std::vector<const CFileEntry*> rows;
  for (auto& e : entries) rows.push_back(&e);
  for (int column = 0; column < 6; ++column)
    for (const CFileEntry* x : rows)
      for (const CFileEntry* y : rows)
        EXPECT_EQ(FileListModel::Less(*x, *y, column) != FileListModel::Less(*y, *x, column), x != y) << column;
  std::sort(rows.begin(), rows.end(), [](auto* x, auto* y) { return FileListModel::Less(*x, *y, 1); });
  std::string order;
  for (auto* r : rows) order += r->Name();
  EXPECT_EQ(order, "cedafb");  // no local side first, then 1 < 3 GiB (a, f by name) < 5 GiB
}

}  // namespace
}  // namespace twinbay
