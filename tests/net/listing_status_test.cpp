// Listings that are not the whole folder: refused, cut, stalled, unreadable
// locally, cut short by the server, hiding dot files, symbolic links, trees
// without end. Each is either had whole or marked incomplete, and nothing in
// an incomplete folder is ever copied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "engine/comparer.h"
#include "net/curl_ftp.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "net/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const auto Base = test::ThreeHoursAgo;

// Short time limits, so that a stalled listing fails within seconds.
CFtpSession QuickSession() {
  return CFtpSession([](const FtpLogin& login) { return MakeCurlFtpConnection(login, FtpTimeouts{5, 3, 3}); });
}

struct Walk {
  CFolderCollection collection;
  std::string local, remote;

  void Run(IFileSystem& lister, const std::string& l, const std::string& r, bool tag = true) {
    local = l;
    remote = r;
    test::CompareInto(collection, lister, local, remote, false, tag);
  }
  CFolderRecord* Record(const std::string& rel) {
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      CFolderRecord* r = collection.GetAt(i);
      if (r->localPath == (rel.empty() ? local : local + "/" + rel)) return r;
    }
    return nullptr;
  }
  const CFileEntry* Entry(const std::string& rel, const std::string& name) {
    CFolderRecord* r = Record(rel);
    if (!r) return nullptr;
    for (auto& e : r->entries)
      if (e->Name() == name) return e.get();
    return nullptr;
  }
  std::vector<TransferOutcome> Sync(CFtpSession& session, bool up, bool down) {
    SyncTotals totals;
    FtpFileSystem remoteFs(session);
    return test::Transfer(collection, totals, remoteFs, test::Directions(up, down))->Outcomes();
  }
};

std::unique_ptr<FtpTestServer> StartPy(const std::string& root, const FtpTestServer::PyOptions& o) {
  std::string why;
  auto server = FtpTestServer::StartPyftpdlib(root, o, &why);
  EXPECT_TRUE(server) << why;
  return server;
}

// One pyftpdlib server whose folders named a-cut, b-stalled and locked cut
// the connection, never finish, or refuse (550) when listed.
TEST(IncompleteListings, CutStalledRefusedAndUnreadableFoldersAreMarkedAndMissingTopFoldersMade) {
  TempDir root, local, parent;
  const int64_t T = Base();
  FtpTestServer::PyOptions o;
  o.cutList = "a-cut";
  o.stallList = "b-stalled";
  o.refuseList = "locked";
  auto server = StartPy(root.path(), o);
  ASSERT_TRUE(server);
  CFtpSession session = QuickSession();
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;

  // A local folder that cannot be read is incomplete, not empty.
  test::WriteFile(root / "unread/secret/remote-only.txt", "r", T);
  test::WriteFile(root / "unread/secret/both.txt", "older on the server", T);
  test::WriteFile(local / "unread/secret/both.txt", "newer here", T + 600);
  test::WriteFile(local / "unread/open/a.txt", "a", T);
  chmod(local.path().c_str(), 0755);
  chmod((local / "unread").c_str(), 0755);
  chmod((local / "unread/open").c_str(), 0755);
  chmod((local / "unread/secret").c_str(), 0);
  // Root reads every folder: the local side is read as an ordinary account.
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    ASSERT_EQ(seteuid(65534), 0);
  }
  w.Run(lister, local / "unread", "/unread");
  if (asRoot) {
    ASSERT_EQ(seteuid(0), 0);
  }
  chmod((local / "unread/secret").c_str(), 0755);
  CFolderRecord* secret = w.Record("secret");
  ASSERT_NE(secret, nullptr);
  EXPECT_TRUE(secret->incomplete);
  EXPECT_NE(secret->incompleteReason.find("Permission denied"), std::string::npos) << secret->incompleteReason;
  for (auto& e : secret->entries) EXPECT_FALSE(e->IsTagged());
  EXPECT_EQ(w.Sync(session, true, true).size(), 1u);  // open/a.txt up
  EXPECT_FALSE(std::filesystem::exists(local / "unread/secret/remote-only.txt"));
  EXPECT_EQ(test::ReadFile(local / "unread/secret/both.txt"), "newer here");

  // A local top folder that is not there yet is made by the download.
  test::WriteFile(root / "site/index.html", "home", T);
  test::WriteFile(root / "site/img/logo.png", "png", T);
  const std::string missing = parent / "new/deeper/site";
  EXPECT_EQ(CFolderComparer::CheckPaths(missing), "");
  EXPECT_NE(CFolderComparer::CheckPaths(""), "");
  EXPECT_NE(CFolderComparer::CheckPaths("relative/site"), "");
  w.Run(lister, missing, "/site");
  EXPECT_FALSE(w.Record("")->incomplete);
  ASSERT_NE(w.Entry("", "index.html"), nullptr);
  EXPECT_TRUE(w.Entry("", "index.html")->IsTagged());
  EXPECT_EQ(w.Sync(session, false, true).size(), 2u);
  EXPECT_EQ(test::ReadFile(missing + "/index.html"), "home");
  EXPECT_EQ(test::ReadFile(missing + "/img/logo.png"), "png");

  // So is a server top folder, by the upload; one that is there but refuses
  // to be listed is not taken as empty.
  test::WriteFile(local / "up/index.html", "home", T);
  test::WriteFile(local / "up/img/logo.png", "png", T);
  test::WriteFile(root / "locked/index.html", "server, newer", T + 600);
  w.Run(lister, local / "up", "/new-site");
  EXPECT_FALSE(w.Record("")->incomplete) << w.Record("")->incompleteReason;
  EXPECT_TRUE(w.Record("")->remoteMissing);
  auto outcomes = w.Sync(session, true, false);
  EXPECT_EQ(outcomes.size(), 2u);
  for (const auto& out : outcomes) EXPECT_TRUE(out.ok) << out.remotePath << ": " << out.error;
  EXPECT_EQ(test::ReadFile(root / "new-site/img/logo.png"), "png");
  w.Run(lister, local / "up", "/locked");
  EXPECT_TRUE(w.Record("")->incomplete);
  EXPECT_FALSE(w.Record("")->remoteMissing);
  EXPECT_TRUE(w.Sync(session, true, false).empty());
  EXPECT_EQ(test::ReadFile(root / "locked/index.html"), "server, newer");

  // Cut and stalled listings mark their folder; the rest goes on.
  for (const char* name : {"a-cut", "b-stalled", "c-fine"}) {
    test::WriteFile(root / ("tree/" + std::string(name) + "/page.html"), "server, newer", T + 600);
    test::WriteFile(local / ("tree/" + std::string(name) + "/page.html"), "local, older", T);
    test::WriteFile(local / ("tree/" + std::string(name) + "/only-local.html"), "new", T);
  }
  w.Run(lister, local / "tree", "/tree");
  for (const char* name : {"a-cut", "b-stalled"}) {
    CFolderRecord* r = w.Record(name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_TRUE(r->incomplete) << name;
    EXPECT_NE(r->incompleteReason.find("cannot list /tree/" + std::string(name)), std::string::npos)
        << r->incompleteReason;
    for (auto& e : r->entries) EXPECT_FALSE(e->IsTagged()) << name << "/" << e->Name();
  }
  ASSERT_NE(w.Record("c-fine"), nullptr);
  EXPECT_FALSE(w.Record("c-fine")->incomplete);
  ASSERT_NE(w.Entry("c-fine", "page.html"), nullptr);
  EXPECT_EQ(w.Entry("c-fine", "page.html")->state, CopyRemoteToLocal);
  EXPECT_EQ(w.Sync(session, true, true).size(), 2u);  // c-fine only: page.html down, only-local.html up
  for (const char* name : {"a-cut", "b-stalled"}) {
    EXPECT_EQ(test::ReadFile(root / ("tree/" + std::string(name) + "/page.html")), "server, newer");
    EXPECT_FALSE(std::filesystem::exists(root / ("tree/" + std::string(name) + "/only-local.html")));
  }
  EXPECT_EQ(test::ReadFile(local / "tree/c-fine/page.html"), "server, newer");
}

TEST(IncompleteListings, ATreeWithoutEndStopsAtTheDepthLimitAndALoopIsNotWalkedTwice) {
  TempDir root, local;
  test::WriteFile(root / "deep/f.txt", "f", Base());
  test::MakeFolder(root / "deep/d");
  test::WriteFile(root / "loop/g.txt", "g", Base());
  std::filesystem::create_directory_symlink(".", root / "loop/self");
  FtpTestServer::PyOptions endless;
  // On this server deep/d leads back to deep: deep/d/d/d/... has no end
  // (10,000 levels and more). Without the MLSD unique fact nothing tells the
  // levels apart.
  endless.endless = "deep";
  {
    FtpTestServer::PyOptions o = endless;
    o.noUnique = true;
    auto server = StartPy(root.path(), o);
    ASSERT_TRUE(server);
    CFtpSession session;
    ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
    FtpFileSystem lister(session);
    Walk w;
    w.Run(lister, local.path(), "/deep");
    size_t incomplete = 0;
    for (size_t i = 0; i < w.collection.GetCount(); ++i)
      if (w.collection.GetAt(i)->incomplete) {
        ++incomplete;
        EXPECT_NE(w.collection.GetAt(i)->incompleteReason.find("nested more than"), std::string::npos);
      }
    EXPECT_EQ(incomplete, 1u);
    EXPECT_EQ(w.collection.GetCount(), static_cast<size_t>(CFolderComparer::kMaxDepth) + 1);
  }
  // With it, the folder that names itself again is shown but not walked.
  auto server = StartPy(root.path(), endless);
  ASSERT_TRUE(server);
  CFtpSession session;
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;
  w.Run(lister, local.path(), "/");
  ASSERT_NE(w.Record("loop/self"), nullptr);
  EXPECT_EQ(w.Record("loop/self/self"), nullptr);
  EXPECT_TRUE(w.Record("loop/self")->entries.empty());
  EXPECT_NE(w.Entry("loop", "g.txt"), nullptr);
  // deep/d/d is deep/d again, named the same: shown, not walked.
  ASSERT_NE(w.Record("deep/d/d"), nullptr);
  EXPECT_TRUE(w.Record("deep/d/d")->entries.empty());
  EXPECT_EQ(w.Record("deep/d/d/d"), nullptr);
  for (size_t i = 0; i < w.collection.GetCount(); ++i) EXPECT_FALSE(w.collection.GetAt(i)->incomplete);
}

TEST(PureFtpd, AFolderOfTwelveThousandFilesIsReadWholeDespiteTheDefaultLimit) {
  TempDir folder, local;
  chmod(folder.path().c_str(), 0755);
  std::string why;
  auto server = FtpTestServer::StartPureFtpd(folder.path(), &why);  // default limit: 10,000
  ASSERT_TRUE(server) << why;
  const std::string big = server->DataDir() + "/big", huge = server->DataDir() + "/huge";
  std::filesystem::create_directories(big);
  std::filesystem::create_directories(huge);
  const int64_t T = Base();
  char name[32];
  for (int i = 0; i < 12000; ++i) {
    std::snprintf(name, sizeof name, "/f%05d.txt", i);
    test::WriteFile(big + name, "server", T + 600);
  }
  // The last 64 by name are beyond the 10,000 the server lists at once; they
  // exist locally, older.
  for (int i = 11936; i < 12000; ++i) {
    std::snprintf(name, sizeof name, "/f%05d.txt", i);
    test::WriteFile(local / "big" + name, "local, older", T);
  }
  // More than twice the limit cannot be had whole at all.
  for (int i = 0; i < 20010; ++i) {
    std::snprintf(name, sizeof name, "/h%05d", i);
    test::WriteFile(huge + name, "", T);
  }
  test::WriteFile(local / "huge/h20005", "local", T + 600);
  server->Own(server->DataDir());
  CFtpSession session;
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;
  w.Run(lister, local.path(), "/");

  CFolderRecord* b = w.Record("big");
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(b->incomplete) << b->incompleteReason;
  EXPECT_EQ(b->entries.size(), 12000u);
  for (int i = 11936; i < 12000; ++i) {
    std::snprintf(name, sizeof name, "f%05d.txt", i);
    const CFileEntry* e = w.Entry("big", name);
    ASSERT_NE(e, nullptr) << name;
    EXPECT_EQ(e->state, CopyRemoteToLocal) << name;
  }
  CFolderRecord* h = w.Record("huge");
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->incomplete);
  EXPECT_NE(h->incompleteReason.find("truncated"), std::string::npos) << h->incompleteReason;

  const auto outcomes = w.Sync(session, true, false);
  EXPECT_TRUE(outcomes.empty());
  EXPECT_EQ(test::ReadFile(big + "/f11999.txt"), "server");
  EXPECT_EQ(session.GetConnection()->RefusedReplies(), 0u);
}

}  // namespace
}  // namespace twinbay
