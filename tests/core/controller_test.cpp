// The controller's session work (connect, browse, check) on its own thread, as the window drives it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "core/controller.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using test::WriteFile;

// Hears one piece of session work at a time.
struct Heard : ISessionListener {
  std::mutex m;
  std::condition_variable cv;
  std::optional<SessionOutcome> outcome;
  void SessionWorkDone(const SessionOutcome& o) override {
    std::lock_guard g(m);
    outcome = o;
    cv.notify_all();
  }
  SessionOutcome Wait(CSyncController& controller) {
    std::unique_lock l(m);
    cv.wait_for(l, std::chrono::seconds(20), [&] { return outcome.has_value(); });
    SessionOutcome o = outcome.value_or(SessionOutcome());
    outcome.reset();
    l.unlock();
    controller.WaitForSession();
    return o;
  }
};

// Connects and listings end when cancelled; a refused login or folder is a failure.
TEST(Controller, SessionWorkConnectsBrowsesAndIsCancelledWhileTheServerIsSilent) {
  using namespace std::chrono;
  CFolderCollection collection;
  CSyncController controller(collection);
  Heard heard;
  // A port that takes connections (the kernel does) and never says a word.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), n), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&a), &n), 0);
  FileSystemTarget target;
  target.host = "127.0.0.1";
  target.user = "tester";
  target.password = "wrong";
  for (const FsProtocol p : {FsProtocol::Ftp, FsProtocol::Sftp}) {
    target.protocol = p;
    target.port = ntohs(a.sin_port);
    const auto start = steady_clock::now();
    ASSERT_TRUE(controller.StartConnect(target, {}, &heard));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(controller.SessionWorkRunning());
    controller.CancelSessionWork();
    const SessionOutcome o = heard.Wait(controller);
    EXPECT_TRUE(o.cancelled && !o.ok && o.failure.kind == OpenFailureKind::Cancelled) << o.error;
    EXPECT_LT(steady_clock::now() - start, seconds(10));  // not the time-outs (20 s, 60 s)
  }
  close(silent);
  TempDir root;
  std::string why;
  test::FtpTestServer::PyOptions options;
  options.stallList = "stall";
  auto server = FtpTestServer::StartPyftpdlib(root.path(), options, &why);
  ASSERT_TRUE(server) << why;
  for (const char* f : {"/b/x.txt", "/A/y.txt", "/stall/z.txt", "/top.txt"}) WriteFile(server->DataDir() + f, "x", 0);
  server->Own(server->DataDir());
  target.protocol = FsProtocol::Ftp;
  target.port = server->port();
  ASSERT_TRUE(controller.StartConnect(target, {}, &heard));
  SessionOutcome o = heard.Wait(controller);
  EXPECT_TRUE(!o.ok && o.failure.kind == OpenFailureKind::SignIn && !o.error.empty()) << o.error;
  target.password = "secret";
  ASSERT_TRUE(controller.StartConnect(target, {}, &heard));
  ASSERT_TRUE(heard.Wait(controller).ok);
  const std::string top = server->RemoteDir() == "/" ? "" : server->RemoteDir();
  ASSERT_TRUE(controller.StartBrowse(top + "/", &heard));
  o = heard.Wait(controller);
  std::sort(o.folders.begin(), o.folders.end());
  EXPECT_EQ(o.folders, (std::vector<std::string>{"A", "b", "stall"})) << o.error;
  ASSERT_TRUE(controller.StartBrowse(top + "/missing", &heard));
  o = heard.Wait(controller);
  EXPECT_TRUE(!o.ok && o.folders.empty() && !o.error.empty());
  ASSERT_TRUE(controller.StartBrowse(top + "/stall", &heard));
  std::this_thread::sleep_for(milliseconds(300));
  controller.CancelSessionWork();
  o = heard.Wait(controller);
  EXPECT_TRUE(o.cancelled && !o.ok);
}

}  // namespace
}  // namespace twinbay
