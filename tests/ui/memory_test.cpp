// The window over the last synchronised state: deletions that follow, conflicts
// left to the user, and the memory turned off for one connection.
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
using Names = std::vector<std::string>;

struct GuiMemory : test::GuiTest {
  void Trigger(const char* name) { frame->findChild<QAction*>(name)->trigger(); }
  int Select(const std::string& name) {  // returns the row
    int row = 0;
    while (View()->List()->Model()->EntryAt(row)->Name() != name) ++row;
    View()->List()->selectRow(row);
    return row;
  }
  // Whether the list popup's item is enabled; runs it when asked to.
  bool Popup(const char* item, bool run = false) {
    std::unique_ptr<QMenu> menu(View()->MakeListPopup(nullptr));
    if (run) menu->findChild<QAction*>(item)->trigger();
    return menu->findChild<QAction*>(item)->isEnabled();
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
  for (std::string name : {"keep.txt", "gone.txt", "c1.txt", "c2.txt"})
    test::WriteFile(local / name, "same", t0), test::WriteFile(serverRoot / ("site/" + name), "same", t0);
  Start();
  ConnectAndCompare();  // all in step: recorded
  std::filesystem::remove(local / "gone.txt");
  for (std::string name : {"c1.txt", "c2.txt"})
    test::WriteFile(local / name, "local", t0 + 100), test::WriteFile(serverRoot / ("site/" + name), "server's", t0 + 200);
  Compare();
  EXPECT_EQ(Rows(), (Names{"x> gone.txt", "! c1.txt", "! c2.txt", "= keep.txt"}));
  const int row = Select("c1.txt");
  for (int c : {1, 2, 4, 5})  // a conflict shows both sides
    EXPECT_NE(View()->List()->Model()->index(row, c).data().toString().trimmed(), "") << c;
  EXPECT_EQ(View()->Tree()->ItemMark(View()->Tree()->topLevelItem(0)), kConflictOverlay);
  EXPECT_TRUE(View()->LocalPaneText().contains(", 1 of 1 deletion -"));
  EXPECT_TRUE(View()->RemotePaneText().endsWith(", 2 conflicts"));
  Trigger("filter9");
  EXPECT_EQ(Rows(), Names{"x> gone.txt"});
  Trigger("filter8");
  EXPECT_EQ(Rows(), (Names{"! c1.txt", "! c2.txt"}));
  Trigger("filter0");
  // Tag All leaves conflicts; Keep Local makes one a tagged upload.
  Trigger("tagAllCommand");
  Select("keep.txt");
  EXPECT_FALSE(Popup("keepLocal"));
  Select("c1.txt");
  EXPECT_TRUE(Popup("keepLocal", true));
  EXPECT_EQ(Rows()[1], "> c1.txt");
  EXPECT_TRUE(View()->RemotePaneText().endsWith(", 1 conflict"));
  EXPECT_TRUE(View()->LocalPaneText().startsWith("1 of 1 file tagged"));
  QString deletions, conflicts, report;
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    auto* box = w->findChild<QCheckBox*>("deletions");
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
  // c1 as kept, c2 left alone on both sides.
  EXPECT_EQ(test::ReadFile(serverRoot / "site/c1.txt") + "|" + test::ReadFile(serverRoot / "site/c2.txt") + "|" +
                test::ReadFile(local / "c2.txt"),
            "local|server's|local");

  // Without the memory the clock decides again, for this connection only.
  OnModal("OptionsSheet", [](QWidget* w) {
    w->findChild<QCheckBox*>("rememberSync")->setChecked(false);
    static_cast<QDialog*>(w)->accept();
  });
  View()->OnOptions();
  Compare();
  EXPECT_EQ(Rows(), (Names{"= c1.txt", "< c2.txt", "= keep.txt"}));
}

}  // namespace
}  // namespace twinbay
