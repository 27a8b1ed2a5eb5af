// One run through the controller, as both front ends drive it: compare on its
// thread, sync on its thread, compare again; against a real server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "core/controller.h"
#include "net/open_fs.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using test::WriteFile;

struct Listener : ISyncListener, ITransferListener {
  std::mutex m;
  size_t added = 0;
  std::vector<CFolderRecord*> finished;
  std::atomic<int> comparesDone{0}, transfersDone{0};
  std::thread::id compareThread;
  void FolderAdded(size_t count) override {
    std::lock_guard g(m);
    added = count;
  }
  void FolderFinished(CFolderRecord* record) override {
    std::lock_guard g(m);
    finished.push_back(record);
    compareThread = std::this_thread::get_id();
  }
  void CompareDone() override { ++comparesDone; }
  void TransferProgress() override {}
  void TransferFolderChanged(CFolderRecord*) override {}
  void TransferFinished() override { ++transfersDone; }
};

SyncTotals Count(const CFolderCollection& collection) {
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  return t;
}

TEST(Controller, CompareSyncAndCompareAgainLeaveBothSidesInStep) {
  TempDir local, folder;
  std::string why;
  auto server = FtpTestServer::Start(FtpTestServer::Kind::Pyftpdlib, folder.path(), &why);
  ASSERT_TRUE(server) << why;
  const std::string data = server->DataDir();
  const int64_t t0 = test::ThreeHoursAgo();
  for (const auto& [side, name, text, time] : std::vector<std::tuple<std::string, std::string, std::string, int64_t>>{
           {local.path(), "same.txt", "same", t0},           {data, "same.txt", "same", t0},
           {local.path(), "newer-here.txt", "local", t0 + 600}, {data, "newer-here.txt", "old", t0},
           {local.path(), "docs/older-here.txt", "old", t0},   {data, "docs/older-here.txt", "server text", t0 + 600},
           {local.path(), "only-here/a/deep.txt", "deep", t0}, {data, "only-there/b.txt", "b", t0}})
    WriteFile(side + "/" + name, text, time);
  // Temporary files a broken run left two days ago, on both sides: a compare
  // names them and leaves them; the sync removes them first.
  const std::vector<std::string> stale = {local / ".twinbay-same.txt.part", data + "/.twinbay-same.txt.part2"};
  for (const std::string& path : stale) WriteFile(path, "partial", t0 - 2 * 86400);
  server->Own(data);

  CFolderCollection collection;
  CSyncController controller(collection);
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(server->Target(), failure)) << failure.message;
  CompareOptions options;
  options.localPath = local.path() + "/", options.remotePath = server->RemoteDir();
  options.ignoreSeconds = false, options.connections = 4;

  // Compare on the controller's thread; the listener hears each folder and the end.
  Listener heard;
  ASSERT_TRUE(controller.StartCompare(options, &heard, why)) << why;
  controller.WaitForCompare();
  EXPECT_EQ(heard.comparesDone.load(), 1);
  EXPECT_NE(heard.compareThread, std::this_thread::get_id());
  EXPECT_EQ(controller.LocalRoot(), local.path());
  EXPECT_EQ(heard.added, collection.GetCount());
  ASSERT_EQ(heard.finished.size(), collection.GetCount());
  EXPECT_EQ(heard.finished.back(), collection.GetAt(0));
  EXPECT_EQ(collection.GetCount(), 5u);  // root, docs, only-here, only-here/a, only-there
  EXPECT_TRUE(controller.IncompleteFolders().empty());
  SyncTotals before = Count(collection);
  EXPECT_EQ(std::vector<long>({before.allUp, before.allDown, before.taggedUp, before.taggedDown}),
            std::vector<long>({2, 2, 2, 2}));  // up: newer-here, deep; down: older-here, b
  EXPECT_EQ(controller.StaleTempsKept().size(), 2u);
  for (const std::string& path : stale) EXPECT_TRUE(std::filesystem::exists(path)) << path;

  // Sync both ways on the controller's thread.
  TransferOptions sync;
  sync.localToRemote = sync.remoteToLocal = true;
  sync.ignoreSeconds = false;
  SyncTotals totals = before;
  ASSERT_TRUE(controller.StartSync(sync, totals, &heard, why)) << why;
  controller.WaitForSync();
  EXPECT_EQ(heard.transfersDone.load(), 1);
  ASSERT_NE(controller.Job(), nullptr);
  ASSERT_EQ(controller.Job()->Outcomes().size(), 4u);
  for (const TransferOutcome& out : controller.Job()->Outcomes()) EXPECT_TRUE(out.ok) << out.localPath << ": " << out.error;
  EXPECT_EQ(Count(collection).allUp + Count(collection).allDown, 0);
  EXPECT_EQ(test::ReadFile(data + "/only-here/a/deep.txt") + test::ReadFile(local / "docs/older-here.txt"),
            "deepserver text");
  for (const std::string& path : stale) EXPECT_FALSE(std::filesystem::exists(path)) << path;

  // A new compare, on the caller's thread, finds everything in step.
  collection.Clear();
  ASSERT_TRUE(controller.RunCompare(options, nullptr, why)) << why;
  EXPECT_EQ(Count(collection).allUp + Count(collection).allDown, 0);
  EXPECT_EQ(collection.GetCount(), 5u);
  size_t entries = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) entries += collection.GetAt(i)->entries.size();
  EXPECT_EQ(entries, 5u);

  // A local path that is not a full path starts nothing.
  options.localPath = "relative";
  EXPECT_FALSE(controller.StartCompare(options, &heard, why) || why.empty());
  EXPECT_EQ(heard.comparesDone.load(), 1);
}

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

TEST(Controller, SessionWorkConnectsBrowsesAndIsCancelledWhileTheServerIsSilent) {
  using namespace std::chrono;
  CFolderCollection collection;
  CSyncController controller(collection);
  Heard heard;
  // A port that takes connections (the kernel does) and never says a word:
  // an FTP and an SFTP connect both end as soon as they are cancelled.
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

  // A real server: a refused login says so; then folders are browsed one
  // level at a time, a folder that cannot be listed is no empty folder, and
  // a listing the server never finishes ends when cancelled.
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
  EXPECT_TRUE(controller.Opened() && controller.Host() == "127.0.0.1" && !controller.Encrypted());
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
  // The check after it logs in again.
  ASSERT_TRUE(controller.StartCheck(&heard));
  EXPECT_TRUE(heard.Wait(controller).ok);

  // An FTP file system's abort flag ends any command, not only a copy: a
  // listing the server never finishes ends a second after it is raised.
  auto fs = OpenFileSystem(target, nullptr, o.failure);
  ASSERT_TRUE(fs) << o.failure.message;
  std::atomic<bool> abort{true};
  fs->SetAbortFlag(&abort);
  ScanList list;
  const auto start = steady_clock::now();
  EXPECT_FALSE(fs->List(top + "/stall", list));
  EXPECT_LT(steady_clock::now() - start, seconds(10));
}

}  // namespace
}  // namespace twinbay
