// One run through the controller, as both front ends drive it: compare on its
// thread, sync on its thread, compare again; against a real server.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/controller.h"
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
  std::atomic<int> comparesDone{0}, transfersDone{0}, changedFolders{0};
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
  void TransferFolderChanged(CFolderRecord*) override { ++changedFolders; }
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
  WriteFile(local / "same.txt", "same", t0);
  WriteFile(data + "/same.txt", "same", t0);
  WriteFile(local / "newer-here.txt", "local text", t0 + 600);
  WriteFile(data + "/newer-here.txt", "old", t0);
  WriteFile(local / "docs/older-here.txt", "old", t0);
  WriteFile(data + "/docs/older-here.txt", "server text", t0 + 600);
  WriteFile(local / "only-here/a/deep.txt", "deep", t0);
  WriteFile(data + "/only-there/b.txt", "b", t0);
  // Temporary files a broken run left two days ago, on both sides: a compare
  // names them and leaves them; the sync removes them first.
  const std::vector<std::string> stale = {local / ".twinbay-same.txt.part", data + "/.twinbay-same.txt.part2"};
  for (const std::string& path : stale) WriteFile(path, "partial", t0 - 2 * 86400);
  server->Own(data);

  CFolderCollection collection;
  CSyncController controller(collection);
  FileSystemTarget target;
  target.host = "127.0.0.1";
  target.port = server->port();
  target.user = server->user();
  target.password = server->password();
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(target, failure)) << failure.message;
  EXPECT_EQ(controller.Host(), "127.0.0.1");
  CompareOptions options;
  options.localPath = local.path() + "/";
  options.remotePath = server->RemoteDir();
  options.ignoreSeconds = false;
  options.connections = 4;

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
  EXPECT_EQ(before.allUp, 2);  // newer-here.txt, only-here/a/deep.txt
  EXPECT_EQ(before.allDown, 2);  // docs/older-here.txt, only-there/b.txt
  EXPECT_EQ(before.taggedUp + before.taggedDown, 4);
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
  EXPECT_EQ(test::ReadFile(data + "/only-here/a/deep.txt"), "deep");
  EXPECT_EQ(test::ReadFile(local / "docs/older-here.txt"), "server text");
  for (const std::string& path : stale) EXPECT_FALSE(std::filesystem::exists(path)) << path;

  // A new compare, on the caller's thread, finds everything in step.
  collection.Clear();
  ASSERT_TRUE(controller.RunCompare(options, nullptr, why)) << why;
  const SyncTotals after = Count(collection);
  EXPECT_EQ(after.allUp + after.allDown, 0);
  EXPECT_EQ(collection.GetCount(), 5u);
  size_t entries = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) entries += collection.GetAt(i)->entries.size();
  EXPECT_EQ(entries, 5u);

  // A local path that is not a full path starts nothing.
  options.localPath = "relative";
  EXPECT_FALSE(controller.StartCompare(options, &heard, why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(heard.comparesDone.load(), 1);
}

}  // namespace
}  // namespace twinbay
