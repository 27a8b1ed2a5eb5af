// A synchronize whose copies fail or lose their times tells the user which
// files, in the window, instead of passing in silence.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QMessageBox>
#include <filesystem>

#include "gui_support.h"
#include "core/connections.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/view/twinbay_view.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::TempDir;
using test::WaitFor;

const int64_t T0 = test::UnixTime(2026, 2, 3, 4, 5, 6);

TEST(GuiTransferReport, FailuresAndWarningsAreShownFileByFile) {
  TempDir home, local, root;
  test::UseSettingsFolder(QString::fromStdString(home / "settings"));
  test::WriteFile(local / "up.txt", "local", T0 + 100);
  test::WriteFile(root / "site/down.txt", "twenty bytes, really", T0 + 100);
  test::FtpTestServer::PyOptions o;
  o.extraArgs = {"--truncate-downloads", "--refuse-times"};
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root.path(), o, &why);
  ASSERT_TRUE(server) << why;
  const std::string file = home / "connections.ftp";
  {
    ConnectionsList list(file);
    auto r = std::make_unique<CConnectionProperties>();
    r->description = "Test server";
    r->host = "127.0.0.1";
    r->port = server->port();
    r->anonymous = 0;
    r->userName = server->user();
    r->password = server->password();
    r->localPath = local.path();
    r->remotePath = "/site";
    list.Add(std::move(r));
    ASSERT_TRUE(list.Save().ok);
  }
  auto frame = std::make_unique<CMainFrame>(QString::fromStdString(file));
  frame->show();
  CTwinbayView* view = frame->View();
  test::ConnectWithFirstConnection(*view);
  ASSERT_TRUE(WaitFor([&] { return view->IsConnected(); }));
  view->OnCompare();
  ASSERT_TRUE(WaitFor([&] { return !view->IsBusy(); }));
  QApplication::processEvents();

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
  view->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*view));
  EXPECT_TRUE(*reported);
  EXPECT_EQ(text, "1 file could not be copied.\n1 file was copied with a warning.");
  EXPECT_TRUE(details.contains(QString::fromStdString("Not copied: " + local / "down.txt" +
                                                      ": incomplete download: 10 of 20 bytes")))
      << details.toStdString();
  EXPECT_TRUE(details.contains("Copied, but /site/up.txt: the time could not be set")) << details.toStdString();
  EXPECT_FALSE(std::filesystem::exists(local / "down.txt"));
  view->ShutDown();
}

}  // namespace
}  // namespace twinbay
