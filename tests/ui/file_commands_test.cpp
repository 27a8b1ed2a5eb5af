// The window's commands on the compared files, on the real widgets against a
// real FTP server, offscreen: Confirm Deletions and the delete itself, tags,
// selection, filters, the two popups and their keys.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <memory>
#include <QToolButton>
#include <filesystem>

#include "gui_fixture.h"
#include "core/connections.h"
#include "widgets/history_combo.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/dialogs/delete_dlg.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::TempDir;
using test::WaitFor;
namespace fs = std::filesystem;

const int64_t T0 = test::UnixTime(2026, 2, 3, 4, 5, 6);

struct FileCommands : test::GuiTest {
  // The root holds: up.html (newer here), down.html (newer there), same.css
  // (in step), local.txt (here only), remote.txt (there only); below it
  // sub/ with one file newer here.
  void MakeSite() {
    test::WriteFile(local / "up.html", "new", T0 + 100);
    test::WriteFile(serverRoot / "site/up.html", "old", T0);
    test::WriteFile(local / "down.html", "old", T0);
    test::WriteFile(serverRoot / "site/down.html", "new", T0 + 100);
    test::WriteFile(local / "same.css", "css", T0);
    test::WriteFile(serverRoot / "site/same.css", "css", T0);
    test::WriteFile(local / "local.txt", "l", T0);
    test::WriteFile(serverRoot / "site/remote.txt", "r", T0);
    test::WriteFile(local / "sub/s.html", "new", T0 + 100);
    test::WriteFile(serverRoot / "site/sub/s.html", "old", T0);
  }
  void ConnectAndCompare() {
    test::GuiTest::ConnectAndCompare();
    ShowRoot();
  }
  void ShowRoot() {
    View()->Tree()->setCurrentItem(View()->Tree()->topLevelItem(0));
    ASSERT_TRUE(WaitFor([&] { return View()->List()->Model()->ShownFolder() != nullptr; }));
  }
  // A key as the user presses it in the window (shortcuts included).
  void Key(Qt::Key key, Qt::KeyboardModifiers mods) {
    QApplication::setActiveWindow(frame.get());
    QTest::keyClick(frame.get(), key, mods);
    QApplication::processEvents();
  }
  FileListModel* Model() const { return View()->List()->Model(); }
  QAction* Command(const char* name) const {
    auto* a = frame->findChild<QAction*>(name);
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  int RowOf(const std::string& name) const {
    for (int r = 0; r < Model()->rowCount(); ++r)
      if (Model()->EntryAt(r)->Name() == name) return r;
    return -1;
  }
  void Select(std::initializer_list<const char*> names) {
    View()->List()->clearSelection();
    for (const char* n : names) {
      const int r = RowOf(n);
      ASSERT_GE(r, 0) << n;
      View()->List()->selectionModel()->select(Model()->index(r, 0),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  CFileEntry* Entry(const std::string& name) const {
    CFolderRecord* f = Model()->ShownFolder();
    for (auto& e : f->entries)
      if (e->Name() == name) return e.get();
    return nullptr;
  }
  // Runs Delete, ticking the chosen boxes; returns the two labels seen.
  std::pair<QString, QString> Delete(bool local, bool remote) {
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
    EXPECT_TRUE(test::WaitForServer(*View()));
    QApplication::processEvents();
    return labels;
  }
  QString StatusMessage() const { return frame->findChild<QLabel*>("statusMessage")->text(); }
};

TEST(ConfirmDeletions, LabelsEnablingAndEnterCancels) {
  struct Case {
    int local, remote;
    const char *localText, *remoteText;
  };
  for (const Case& c : {Case{0, 0, "Delete 0 files from local", "Delete 0 files from remote"},
                        Case{1, 1, "Delete 1 file from local", "Delete 1 file from remote"},
                        Case{2, 0, "Delete 2 files from local", "Delete 0 files from remote"},
                        Case{0, 2, "Delete 0 files from local", "Delete 2 files from remote"}}) {
    CConfirmDeleteDlg dlg(c.local, c.remote);
    EXPECT_EQ(dlg.windowTitle(), "Confirm Deletions");
    auto* l = dlg.findChild<QCheckBox*>("deleteLocal");
    auto* r = dlg.findChild<QCheckBox*>("deleteRemote");
    EXPECT_EQ(l->text(), c.localText);
    EXPECT_EQ(r->text(), c.remoteText);
    EXPECT_EQ(l->isEnabled(), c.local != 0);
    EXPECT_EQ(r->isEnabled(), c.remote != 0);
    EXPECT_FALSE(l->isChecked());
    EXPECT_FALSE(r->isChecked());
    EXPECT_TRUE(dlg.findChild<QPushButton*>("cancel")->isDefault());
    EXPECT_FALSE(dlg.findChild<QPushButton*>("ok")->isDefault());
  }
  // Enter at once cancels, even with a box ticked.
  CConfirmDeleteDlg dlg(1, 1);
  int result = -1;
  OnModal("ConfirmDeleteDialog", [&](QWidget* w) {
    w->findChild<QCheckBox*>("deleteLocal")->setChecked(true);
    QTest::keyClick(w, Qt::Key_Return);
  });
  result = dlg.exec();
  EXPECT_EQ(result, QDialog::Rejected);
}

TEST_F(FileCommands, DeleteEachSideByItselfAndBoth) {
  MakeSite();
  test::WriteFile(local / "readonly.txt", "ro", T0);
  ASSERT_EQ(chmod((local / "readonly.txt").c_str(), 0444), 0);
  Start();
  ConnectAndCompare();
  // Nothing selected: the command is off.
  frame->RefreshUi();
  EXPECT_FALSE(Command("deleteCommand")->isEnabled());

  // The local side only: the server's copy is left and must now come down.
  Select({"up.html"});
  frame->RefreshUi();
  EXPECT_TRUE(Command("deleteCommand")->isEnabled());
  auto labels = Delete(true, false);
  EXPECT_EQ(labels.first, "Delete 1 file from local");
  EXPECT_EQ(labels.second, "Delete 1 file from remote");
  EXPECT_FALSE(fs::exists(local / "up.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/up.html"));
  ASSERT_NE(Entry("up.html"), nullptr);
  EXPECT_EQ(Entry("up.html")->state, CopyRemoteToLocal);
  EXPECT_FALSE(Entry("up.html")->local.has_value());

  // The remote side only: the local copy must now go up.
  Select({"down.html"});
  Delete(false, true);
  EXPECT_TRUE(fs::exists(local / "down.html"));
  EXPECT_FALSE(fs::exists(serverRoot / "site/down.html"));
  ASSERT_NE(Entry("down.html"), nullptr);
  EXPECT_EQ(Entry("down.html")->state, CopyLocalToRemote);

  // Both sides, with a one-sided file in the same selection: both go, and so
  // do their entries; the read-only local file is deleted too.
  Select({"same.css", "local.txt", "readonly.txt"});
  labels = Delete(true, true);
  EXPECT_EQ(labels.first, "Delete 3 files from local");
  EXPECT_EQ(labels.second, "Delete 1 file from remote");
  EXPECT_FALSE(fs::exists(local / "same.css"));
  EXPECT_FALSE(fs::exists(serverRoot / "site/same.css"));
  EXPECT_FALSE(fs::exists(local / "local.txt"));
  EXPECT_FALSE(fs::exists(local / "readonly.txt"));
  EXPECT_EQ(Entry("same.css"), nullptr);
  EXPECT_EQ(Entry("local.txt"), nullptr);
  EXPECT_EQ(Entry("readonly.txt"), nullptr);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"> down.html", "< remote.txt", "< up.html"}));
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
}

TEST_F(FileCommands, AServerThatRefusesToDeleteLeavesTheEntryAndTheStatusLineSaysSo) {
  MakeSite();
  test::FtpTestServer::PyOptions o;
  o.refuseDelete = true;
  Start(o);
  ConnectAndCompare();
  Select({"down.html", "remote.txt"});
  Delete(true, true);
  // The local side went; the server kept both files and the entries show it.
  EXPECT_FALSE(fs::exists(local / "down.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/down.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/remote.txt"));
  ASSERT_NE(Entry("down.html"), nullptr);
  EXPECT_TRUE(Entry("down.html")->remote.has_value());
  EXPECT_EQ(Entry("down.html")->state, CopyRemoteToLocal);
  ASSERT_NE(Entry("remote.txt"), nullptr);
  EXPECT_TRUE(Entry("remote.txt")->remote.has_value());
  EXPECT_GE(RowOf("remote.txt"), 0);
  EXPECT_EQ(StatusMessage(), "2 deletes failed; the list shows the files as they still are");
}

TEST_F(FileCommands, NothingIsDeletedInAFolderThatCouldNotBeRead) {
  test::WriteFile(local / "locked/page.html", "older", T0);
  test::WriteFile(serverRoot / "site/locked/page.html", "newer", T0 + 600);
  test::FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  Start(o);
  ConnectAndCompare();
  QTreeWidgetItem* locked = View()->Tree()->findItems("locked", Qt::MatchExactly | Qt::MatchRecursive).value(0);
  ASSERT_NE(locked, nullptr);
  View()->Tree()->setCurrentItem(locked);
  ASSERT_TRUE(WaitFor([&] { return Model()->ShownFolder() == CFolderTreeCtrl::Record(locked) && Model()->rowCount() == 1; }));
  Select({"page.html"});
  Delete(true, true);
  EXPECT_TRUE(fs::exists(local / "locked/page.html"));
  EXPECT_TRUE(fs::exists(serverRoot / "site/locked/page.html"));
  EXPECT_EQ(Model()->rowCount(), 1);
  EXPECT_EQ(StatusMessage(), "Nothing was deleted: this folder could not be read whole");
}

TEST_F(FileCommands, TagAllAndUntagAllNeverTouchInStepEntries) {
  MakeSite();
  Start();
  ConnectAndCompare();
  CFileEntry* same = Entry("same.css");
  ASSERT_NE(same, nullptr);
  same->tagged = 1;  // an in-step entry's hidden flag
  frame->RefreshUi();
  ASSERT_TRUE(Command("untagAllCommand")->isEnabled());
  Key(Qt::Key_U, Qt::ControlModifier);  // Untag all
  for (const char* n : {"up.html", "down.html", "local.txt", "remote.txt"}) EXPECT_EQ(Entry(n)->tagged, 0) << n;
  EXPECT_EQ(same->tagged, 1);
  frame->RefreshUi();
  EXPECT_TRUE(frame->Pane(0)->text().startsWith("0 of 3 files tagged")) << frame->Pane(0)->text().toStdString();
  same->tagged = 0;
  Key(Qt::Key_T, Qt::ControlModifier);  // Tag all
  for (const char* n : {"up.html", "down.html", "local.txt", "remote.txt"}) EXPECT_EQ(Entry(n)->tagged, 1) << n;
  EXPECT_EQ(same->tagged, 0);
  frame->RefreshUi();
  EXPECT_TRUE(frame->Pane(0)->text().startsWith("3 of 3 files tagged")) << frame->Pane(0)->text().toStdString();
  EXPECT_EQ(frame->Pane(3)->text().left(19), "2 of 2 files tagged");

  // Ctrl+A selects every row.
  View()->List()->clearSelection();
  Key(Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(View()->List()->selectionModel()->selectedRows().size(), Model()->rowCount());
}

TEST_F(FileCommands, WithOnlyInStepEntriesTaggingIsOff) {
  test::WriteFile(local / "same.css", "css", T0);
  test::WriteFile(serverRoot / "site/same.css", "css", T0);
  Start();
  ConnectAndCompare();
  frame->RefreshUi();
  EXPECT_FALSE(Command("tagAllCommand")->isEnabled());
  EXPECT_FALSE(Command("untagAllCommand")->isEnabled());
  EXPECT_TRUE(Command("selectAllCommand")->isEnabled());
  Entry("same.css")->tagged = 0;
  Key(Qt::Key_T, Qt::ControlModifier);
  EXPECT_EQ(Entry("same.css")->tagged, 0);
}

TEST_F(FileCommands, EachFilterShowsItsRowsAndCarriesTheRadioMark) {
  MakeSite();
  Start();
  ConnectAndCompare();
  struct Case {
    int number;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {1, {"> local.txt", "> up.html"}},
      {2, {"< down.html", "< remote.txt"}},
      {4, {"= same.css"}},
      {5, {"< down.html", "> local.txt", "< remote.txt", "> up.html"}},
      {6, {"> local.txt", "< remote.txt"}},
      {7, {"< down.html", "= same.css", "> up.html"}},
      {0, {"< down.html", "> local.txt", "< remote.txt", "= same.css", "> up.html"}},
  };
  for (const Case& c : cases) {
    QAction* a = Command(QString("filter%1").arg(c.number).toLatin1().constData());
    ASSERT_TRUE(a->isEnabled());
    a->trigger();
    frame->RefreshUi();
    EXPECT_EQ(View()->Filter(), c.number);
    EXPECT_EQ(Rows(), c.rows) << c.number;
    for (int n : {0, 1, 2, 4, 5, 6, 7})
      EXPECT_EQ(Command(QString("filter%1").arg(n).toLatin1().constData())->isChecked(), n == c.number)
          << c.number << " " << n;
  }
  // The current filter chosen again does not fill the list afresh.
  QSignalSpy resets(Model(), &QAbstractItemModel::modelReset);
  Command("filter0")->trigger();
  EXPECT_EQ(resets.count(), 0);
  Command("filter6")->trigger();
  EXPECT_EQ(resets.count(), 1);
  // Tagged counts follow the filter.
  frame->RefreshUi();
  EXPECT_TRUE(frame->Pane(0)->text().startsWith("1 of 3 files tagged")) << frame->Pane(0)->text().toStdString();
}

TEST_F(FileCommands, PopupsEnablingAndTheirCommands) {
  MakeSite();
  Start();
  ConnectAndCompare();
  auto popup = [&](const char* item) {
    std::unique_ptr<QMenu> m(View()->MakeListPopup(nullptr));
    QAction* a = m->findChild<QAction*>(item);
    EXPECT_NE(a, nullptr) << item;
    return a ? a->isEnabled() : false;
  };
  View()->List()->clearSelection();
  EXPECT_TRUE(popup("selectAll"));
  EXPECT_FALSE(popup("tagSelected"));
  EXPECT_FALSE(popup("untagSelected"));
  EXPECT_FALSE(popup("deleteSelected"));
  EXPECT_FALSE(popup("syncSelected"));
  Select({"same.css"});
  EXPECT_FALSE(popup("tagSelected"));
  EXPECT_TRUE(popup("deleteSelected"));
  EXPECT_FALSE(popup("syncSelected"));
  Select({"same.css", "up.html"});
  EXPECT_TRUE(popup("tagSelected"));
  EXPECT_TRUE(popup("untagSelected"));
  EXPECT_FALSE(popup("syncSelected"));
  {
    std::unique_ptr<QMenu> m(View()->MakeListPopup(nullptr));
    QStringList texts;
    for (QAction* a : m->actions())
      if (!a->isSeparator()) texts << a->text();
    EXPECT_EQ(texts, QStringList({"Select All", "Tag Selected Files", "Untag Selected Files", "Delete Selected Files",
                                  "Synchronize Selected Files"}));
    m->findChild<QAction*>("untagSelected")->trigger();
  }
  EXPECT_EQ(Entry("up.html")->tagged, 0);
  EXPECT_EQ(Entry("down.html")->tagged, 1);
  {
    std::unique_ptr<QMenu> m(View()->MakeListPopup(nullptr));
    m->findChild<QAction*>("selectAll")->trigger();
  }
  EXPECT_EQ(View()->List()->selectionModel()->selectedRows().size(), Model()->rowCount());

  // The tree's popup acts on the selected folder only, not on its sub-folders.
  View()->Tree()->clearSelection();
  View()->Tree()->setCurrentItem(nullptr);
  EXPECT_TRUE(std::unique_ptr<QMenu>(View()->MakeTreePopup(nullptr)) == nullptr);
  ShowRoot();
  QTreeWidgetItem* sub = View()->Tree()->findItems("sub", Qt::MatchExactly | Qt::MatchRecursive).value(0);
  ASSERT_NE(sub, nullptr);
  CFileEntry* s = CFolderTreeCtrl::Record(sub)->entries.at(0).get();
  {
    std::unique_ptr<QMenu> m(View()->MakeTreePopup(nullptr));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->findChild<QAction*>("tagFolder")->isEnabled());
    EXPECT_EQ(m->findChild<QAction*>("tagFolder")->text(), "Tag Files");
    EXPECT_EQ(m->findChild<QAction*>("untagFolder")->text(), "Untag Files");
    m->findChild<QAction*>("untagFolder")->trigger();
  }
  for (const char* n : {"up.html", "down.html", "local.txt", "remote.txt"}) EXPECT_EQ(Entry(n)->tagged, 0) << n;
  EXPECT_EQ(s->tagged, 1);
  // A folder dragged out of the tree is plain text.
  std::unique_ptr<QMimeData> drag(View()->Tree()->mimeData({sub}));
  ASSERT_NE(drag, nullptr);
  EXPECT_EQ(drag->text(), "sub");
  EXPECT_TRUE(View()->Tree()->mimeTypes().contains("text/plain"));
}

TEST_F(FileCommands, MenuKeysAndPathEnabling) {
  MakeSite();
  Start();
  frame->RefreshUi();
  // Before a connection: Browse for Local Path and the remote path are off,
  // the "..." button beside the local path is on.
  EXPECT_FALSE(Command("browseLocalCommand")->isEnabled());
  EXPECT_FALSE(View()->RemoteCombo()->isEnabled());
  EXPECT_TRUE(View()->LocalCombo()->isEnabled());
  EXPECT_EQ(Command("selectAllCommand")->shortcut(), QKeySequence("Ctrl+A"));
  EXPECT_EQ(Command("tagAllCommand")->shortcut(), QKeySequence("Ctrl+T"));
  EXPECT_EQ(Command("untagAllCommand")->shortcut(), QKeySequence("Ctrl+U"));
  EXPECT_EQ(frame->findChild<QAction*>("filter3"), nullptr);
  // Choosing a filter before any compare only records it.
  Command("filter2")->trigger();
  EXPECT_EQ(View()->Filter(), 2);
  EXPECT_EQ(frame->findChild<QAction*>("syncCommand")->shortcut(), QKeySequence(Qt::Key_F6));
  ConnectAndCompare();
  frame->RefreshUi();
  EXPECT_TRUE(Command("browseLocalCommand")->isEnabled());
  EXPECT_TRUE(View()->RemoteCombo()->isEnabled());
  // The default column widths fit the headers and the cells (times with
  // their seconds) in the fonts in use.
  CFileListCtrl* list = View()->List();
  Command("filter0")->trigger();
  ASSERT_GT(Model()->rowCount(), 0);
  for (int c = 0; c < 6; ++c) {
    const QString header = Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_GT(list->columnWidth(c), list->horizontalHeader()->fontMetrics().horizontalAdvance(header)) << c;
    for (int r = 0; r < Model()->rowCount(); ++r)
      EXPECT_GT(list->columnWidth(c), list->fontMetrics().horizontalAdvance(Model()->index(r, c).data().toString()))
          << c << " " << r;
  }
  const QString time = Model()->index(0, Model()->EntryAt(0)->local ? 2 : 4).data().toString();
  EXPECT_TRUE(time.contains(QRegularExpression("\\d:\\d\\d:\\d\\d"))) << time.toStdString();
}

}  // namespace
}  // namespace twinbay
