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

#include <sqlite3.h>

#include <cstring>
#include <future>
#include <semaphore>

#include "core/controller.h"
#include "core/free_space.h"
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
  a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), n), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&a), &n), 0);
  FileSystemTarget target;
  target.host = "127.0.0.1", target.user = "tester", target.password = "wrong";
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

struct CompareHeard : ISyncListener {  // hears the end of a compare
  std::promise<void> done;
  void FolderAdded(size_t) override {}
  void FolderFinished(CFolderRecord*) override {}
  void CompareDone() override { done.set_value(); }
};

// The state, held by another program's write, is waited for on the compare's thread (Stop ends the wait); the
// free space on a thread of its own, only the newest request answered and none once the query is gone.
TEST(Controller, TheStateAndTheFreeSpaceAreWaitedForOffTheCallersThread) {
  using namespace std::chrono;
  TempDir t;
  for (const char* f : {"l/a", "r/a", "junk"}) WriteFile(t / f, "not a database, not at all", 0);
  CFolderCollection collection;
  CSyncController controller(collection);
  FileSystemTarget target;
  target.protocol = FsProtocol::Local, target.localRoot = t / "r";
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(target, failure));
  sqlite3* other = nullptr;  // the other program
  ASSERT_EQ(sqlite3_open((t / "state").c_str(), &other), SQLITE_OK);
  CompareOptions c;
  std::string problem;
  c.localPath = t / "l";
  auto sql = [&](const char* what) { ASSERT_EQ(sqlite3_exec(other, what, nullptr, nullptr, nullptr), SQLITE_OK); };
  for (const std::string step : {"junk", "stop", "commit"}) {
    controller.SetStateFile(t / (step == "junk" ? "junk" : "state"));
    if (step != "junk") sql("BEGIN EXCLUSIVE");
    CompareHeard heard;
    auto done = heard.done.get_future();
    ASSERT_TRUE(controller.StartCompare(c, &heard, problem)) << problem;
    if (step != "junk") {
      EXPECT_EQ(done.wait_for(milliseconds(300)), std::future_status::timeout) << step;  // held
      step == "stop" ? controller.StopCompare() : sql("COMMIT");
    }
    ASSERT_EQ(done.wait_for(seconds(5)), std::future_status::ready) << step;  // not the 10 s time-out
    controller.WaitForCompare();
    EXPECT_EQ(controller.StartProblem().substr(0, 50), step == "junk" ? "The last synchronised state cannot be used: cannot" : "");
    EXPECT_EQ(collection.GetCount(), step == "commit" ? 1u : 0u) << step;
    if (step == "stop") sql("COMMIT");
  }
  sqlite3_close(other);

  struct Gate {  // each measurement waits for `go`; the semaphores order the log's writes and reads
    std::counting_semaphore<> in{0}, go{0}, answered{0};
    std::vector<std::string> log;  // measurements as they begin, answers
  };
  auto gate = std::make_shared<Gate>();
  auto query = std::make_unique<FreeSpaceQuery>([gate](bool known, double bytes) {
    gate->log.push_back(known ? std::to_string(static_cast<int>(bytes)) : "unknown"), gate->answered.release();
  });
  query->SetMeasure([gate](const char* path, struct statvfs* st) {
    gate->log.push_back(path), gate->in.release(), gate->go.acquire();
    st->f_bavail = std::strlen(path), st->f_frsize = 10;
    return std::strstr(path, "missing") ? -1 : 0;
  });
  query->Ask("/1st");
  ASSERT_TRUE(gate->in.try_acquire_for(seconds(5)));  // it hangs: the requests after it return at once
  for (const char* path : {"/second", "relative", "/third/missing"}) query->Ask(path);
  gate->go.release(3);
  ASSERT_TRUE(gate->answered.try_acquire_for(seconds(5)));
  query->Ask("/fourth");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(gate->in.try_acquire_for(seconds(5)));
  query.reset();  // while the measurement hangs
  gate->go.release();
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(gate->log, (std::vector<std::string>{"/1st", "/third/missing", "/third", "60", "/fourth"}));
}

}  // namespace
}  // namespace twinbay
