// The window over the last synchronised state: a file deleted locally shows
// as a deletion (filter, counts) and follows to the server when the sync is
// confirmed; files edited on both sides are conflicts that Tag All and the
// sync leave alone until one side is kept; the memory can be turned off for
// the connection.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <filesystem>

#include "gui_fixture.h"
#include "ui/view/folder_tree_ctrl.h"

namespace twinbay {
namespace {

using test::OnModal;

struct GuiMemory : test::GuiTest {
  void Trigger(const char* name) { frame->findChild<QAction*>(name)->trigger(); }
  void Select(const std::string& name) {
    FileListModel* m = View()->List()->Model();
    View()->List()->clearSelection();
    for (int r = 0; r < m->rowCount(); ++r)
      if (m->EntryAt(r)->Name() == name)
        View()->List()->selectionModel()->select(m->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  // The list popup's item, enabled as it is for the current selection.
  bool Popup(const char* item, bool run = false) {
    std::unique_ptr<QMenu> menu(View()->MakeListPopup(nullptr));
    QAction* a = menu->findChild<QAction*>(item);
    if (run) a->trigger();
    return a->isEnabled();
  }
  void Compare() {
    View()->OnCompare();
    ASSERT_TRUE(test::WaitFor([&] { return !View()->IsBusy(); }));
    View()->Tree()->setCurrentItem(View()->Tree()->topLevelItem(0));
    ASSERT_TRUE(test::WaitFor([&] { return View()->List()->Model()->ShownFolder() != nullptr; }));
  }
};

TEST_F(GuiMemory, DeletionsFollowConflictsWaitForTheUser) {
  const int64_t t0 = test::ThreeHoursAgo();
  for (const char* name : {"keep.txt", "gone.txt", "c1.txt", "c2.txt"}) {
    test::WriteFile(local / name, "same", t0);
    test::WriteFile(serverRoot / ("site/" + std::string(name)), "same", t0);
  }
  Start();
  ConnectAndCompare();  // all in step: recorded
  std::filesystem::remove(local / "gone.txt");
  for (const char* name : {"c1.txt", "c2.txt"}) {
    test::WriteFile(local / name, "local edit", t0 + 100);
    test::WriteFile(serverRoot / ("site/" + std::string(name)), "server's edit", t0 + 200);
  }
  Compare();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"! c1.txt", "! c2.txt", "} gone.txt", "= keep.txt"}));
  // A conflict shows both sides.
  FileListModel* m = View()->List()->Model();
  Select("c1.txt");
  const int row = View()->List()->selectionModel()->selectedRows().value(0).row();
  for (int c : {1, 2, 4, 5}) {
    EXPECT_FALSE(m->index(row, c).data().toString().trimmed().isEmpty()) << c;
    EXPECT_GT(View()->List()->columnWidth(c), 0) << c;
  }
  EXPECT_EQ(View()->Tree()->ItemMark(View()->Tree()->topLevelItem(0)), kConflictOverlay);
  EXPECT_TRUE(View()->LocalPaneText().contains(", 1 of 1 deletion -"))
      << View()->LocalPaneText().toStdString();
  EXPECT_TRUE(View()->RemotePaneText().endsWith(", 2 conflicts")) << View()->RemotePaneText().toStdString();
  Trigger("filter9");
  EXPECT_EQ(Rows(), std::vector<std::string>{"} gone.txt"});
  Trigger("filter8");
  EXPECT_EQ(Rows().size(), 2u);
  Trigger("filter0");

  // Tag All leaves conflicts; Keep Local makes one an upload, tagged.
  Trigger("tagAllCommand");
  Select("keep.txt");
  EXPECT_FALSE(Popup("keepLocal"));
  Select("c1.txt");
  EXPECT_TRUE(Popup("keepLocal", true));
  EXPECT_EQ(Rows()[0], "> c1.txt");
  EXPECT_TRUE(View()->RemotePaneText().endsWith(", 1 conflict"));
  EXPECT_TRUE(View()->LocalPaneText().startsWith("1 of 1 file tagged"));

  QString deletions, conflicts, report;
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    auto* box = w->findChild<QCheckBox*>("deletions");
    EXPECT_FALSE(box->isEnabled());
    w->findChild<QCheckBox*>("up")->setChecked(true);
    deletions = box->isChecked() && box->isEnabled() ? box->text() : QString();
    conflicts = w->findChild<QLabel*>("conflicts")->text();
    static_cast<QDialog*>(w)->accept();
  });
  auto reported = OnModal("TransferReport", [&](QWidget* w) {
    report = static_cast<QMessageBox*>(w)->text();
    static_cast<QMessageBox*>(w)->accept();
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitFor([&] { return *reported && !View()->IsBusy(); }));
  EXPECT_EQ(deletions, "Delete files deleted on the other side (1)");
  EXPECT_EQ(conflicts, "1 conflict is left alone: keep one side of it from the list's popup.");
  EXPECT_EQ(report, "1 file was deleted on the server.");
  EXPECT_FALSE(std::filesystem::exists(serverRoot / "site/gone.txt"));
  EXPECT_EQ(test::ReadFile(serverRoot / "site/c1.txt"), "local edit");
  EXPECT_EQ(test::ReadFile(serverRoot / "site/c2.txt"), "server's edit");
  EXPECT_EQ(test::ReadFile(local / "c2.txt"), "local edit");

  // Without the memory the clock decides again (for this connection only).
  OnModal("OptionsSheet", [](QWidget* w) {
    auto* box = w->findChild<QCheckBox*>("rememberSync");
    EXPECT_TRUE(box->isChecked() && box->isEnabled());
    box->setChecked(false);
    static_cast<QDialog*>(w)->accept();
  });
  View()->OnOptions();
  EXPECT_FALSE(View()->Settings().RemembersSync("Test server"));
  EXPECT_TRUE(View()->Settings().RemembersSync("Another"));
  Compare();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"= c1.txt", "< c2.txt", "= keep.txt"}));
}

}  // namespace
}  // namespace twinbay
