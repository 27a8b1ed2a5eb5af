// A synchronize whose copies fail or lose their times tells the user which
// files, in the window, instead of passing in silence.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QMessageBox>
#include <filesystem>

#include "gui_fixture.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::WaitFor;

const int64_t T0 = test::UnixTime(2026, 2, 3, 4, 5, 6);

using GuiTransferReport = test::GuiTest;

TEST_F(GuiTransferReport, FailuresAndWarningsAreShownFileByFile) {
  test::WriteFile(local / "up.txt", "local", T0 + 100);
  test::WriteFile(serverRoot / "site/down.txt", "twenty bytes, really", T0 + 100);
  test::FtpTestServer::PyOptions o;
  o.extraArgs = {"--truncate-downloads", "--refuse-times"};
  Start(o);
  ConnectAndCompare();

  OnModal("SyncConfirmDialog", [](QWidget* w) {
    w->findChild<QCheckBox*>("up")->setChecked(true);
    w->findChild<QCheckBox*>("down")->setChecked(true);
    static_cast<QDialog*>(w)->accept();
  });
  QString text, details;
  auto reported = OnModal("TransferReport", [&](QWidget* w) {
    auto* box = static_cast<QMessageBox*>(w);
    text = box->text();
    details = box->detailedText();
    box->accept();
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_TRUE(*reported);
  EXPECT_EQ(text, "1 file could not be copied.\n1 file was copied with a warning.");
  EXPECT_TRUE(details.contains(QString::fromStdString("Not copied: " + local / "down.txt" +
                                                      ": incomplete download: 10 of 20 bytes")))
      << details.toStdString();
  EXPECT_TRUE(details.contains("Copied, but /site/up.txt: the time could not be set")) << details.toStdString();
  EXPECT_FALSE(std::filesystem::exists(local / "down.txt"));
}

}  // namespace
}  // namespace twinbay
