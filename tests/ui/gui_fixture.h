// What the window tests share: settings and the connections file in a home
// folder of their own, a local folder, pyftpdlib over a server root (its
// "site" folder the remote side) and the main window.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "gui_support.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/view/file_list.h"

namespace twinbay::test {

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

  bool StartServer(const FtpTestServer::PyOptions& o = {}) {
    std::filesystem::create_directories(serverRoot / "site");
    std::string why;
    server = FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
    EXPECT_TRUE(server) << why;
    return server != nullptr;
  }
  // Adds a record to the connections file: 127.0.0.1:port as tester/secret,
  // the local folder, remote folder /site.
  void StoreRecord(int port, const std::string& description = "Test server") {
    ConnectionsList list(ConnectionsFile());
    list.Load();
    auto r = std::make_unique<CConnectionProperties>();
    r->description = description;
    r->host = "127.0.0.1";
    r->port = port;
    r->anonymous = 0;
    r->userName = "tester";
    r->password = "secret";
    r->localPath = local.path();
    r->remotePath = "/site";
    list.Add(std::move(r));
    ASSERT_TRUE(list.Save().ok);
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
  void ConnectAndCompare() {
    Connect();
    ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
    View()->OnCompare();
    ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
    QApplication::processEvents();
  }
  // "<symbol> name" for every row of the list, by name.
  std::vector<std::string> Rows() const {
    FileListModel* m = View()->List()->Model();
    std::vector<std::string> out;
    for (int r = 0; r < m->rowCount(); ++r)
      out.push_back(m->index(r, 0).data(Qt::UserRole).toString().toStdString() + " " +
                    m->index(r, 0).data().toString().trimmed().toStdString());
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return a.substr(2) < b.substr(2); });
    return out;
  }
};

}  // namespace twinbay::test
