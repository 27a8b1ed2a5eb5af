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

TEST(IncompleteListings, CutAndStalledListingsMarkTheFolderAndTheRestGoesOn) {
  TempDir root, local;
  const int64_t T = Base();
  for (const char* name : {"a-cut", "b-stalled", "c-fine"}) {
    test::WriteFile(root / (std::string(name) + "/page.html"), "server, newer", T + 600);
    test::WriteFile(local / (std::string(name) + "/page.html"), "local, older", T);
    test::WriteFile(local / (std::string(name) + "/only-local.html"), "new", T);
  }
  FtpTestServer::PyOptions o;
  o.cutList = "a-cut";
  o.stallList = "b-stalled";
  auto server = StartPy(root.path(), o);
  ASSERT_TRUE(server);
  CFtpSession session = QuickSession();
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;
  w.Run(lister, local.path(), "/");

  for (const char* name : {"a-cut", "b-stalled"}) {
    CFolderRecord* r = w.Record(name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_TRUE(r->incomplete) << name;
    EXPECT_NE(r->incompleteReason.find("cannot list /" + std::string(name)), std::string::npos) << r->incompleteReason;
    for (auto& e : r->entries) EXPECT_FALSE(e->IsTagged()) << name << "/" << e->Name();
  }
  ASSERT_NE(w.Record("c-fine"), nullptr);
  EXPECT_FALSE(w.Record("c-fine")->incomplete);
  ASSERT_NE(w.Entry("c-fine", "page.html"), nullptr);
  EXPECT_EQ(w.Entry("c-fine", "page.html")->state, CopyRemoteToLocal);

  const auto outcomes = w.Sync(session, true, true);
  EXPECT_EQ(outcomes.size(), 2u);  // c-fine only: page.html down, only-local.html up
  for (const char* name : {"a-cut", "b-stalled"}) {
    EXPECT_EQ(test::ReadFile(root / (std::string(name) + "/page.html")), "server, newer");
    EXPECT_FALSE(std::filesystem::exists(root / (std::string(name) + "/only-local.html")));
  }
  EXPECT_EQ(test::ReadFile(local / "c-fine/page.html"), "server, newer");
}

TEST(IncompleteListings, AnUnreadableLocalFolderIsIncompleteNotEmpty) {
  TempDir root, local;
  const int64_t T = Base();
  test::WriteFile(root / "secret/remote-only.txt", "r", T);
  test::WriteFile(root / "secret/both.txt", "older on the server", T);
  test::WriteFile(local / "secret/both.txt", "newer here", T + 600);
  test::WriteFile(local / "open/a.txt", "a", T);
  auto server = StartPy(root.path(), {});
  ASSERT_TRUE(server);
  CFtpSession session;
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  chmod(local.path().c_str(), 0755);
  chmod((local / "open").c_str(), 0755);
  chmod((local / "secret").c_str(), 0);
  FtpFileSystem lister(session);
  Walk w;
  // Root reads every folder: the local side is read as an ordinary account.
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    ASSERT_EQ(seteuid(65534), 0);
  }
  w.Run(lister, local.path(), "/");
  if (asRoot) {
    ASSERT_EQ(seteuid(0), 0);
  }
  chmod((local / "secret").c_str(), 0755);

  CFolderRecord* secret = w.Record("secret");
  ASSERT_NE(secret, nullptr);
  EXPECT_TRUE(secret->incomplete);
  EXPECT_NE(secret->incompleteReason.find("Permission denied"), std::string::npos) << secret->incompleteReason;
  for (auto& e : secret->entries) EXPECT_FALSE(e->IsTagged());
  const auto outcomes = w.Sync(session, true, true);
  EXPECT_EQ(outcomes.size(), 1u);  // open/a.txt up
  EXPECT_FALSE(std::filesystem::exists(local / "secret/remote-only.txt"));
  EXPECT_EQ(test::ReadFile(local / "secret/both.txt"), "newer here");
}

TEST(IncompleteListings, ADownloadIntoALocalFolderThatDoesNotExistYetCreatesIt) {
  TempDir root, parent;
  const int64_t T = Base();
  test::WriteFile(root / "site/index.html", "home", T);
  test::WriteFile(root / "site/img/logo.png", "png", T);
  auto server = StartPy(root.path(), {});
  ASSERT_TRUE(server);
  CFtpSession session;
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  const std::string missing = parent / "new/deeper/site";
  EXPECT_EQ(CFolderComparer::CheckPaths(missing), "");
  EXPECT_NE(CFolderComparer::CheckPaths(""), "");
  EXPECT_NE(CFolderComparer::CheckPaths("relative/site"), "");
  FtpFileSystem lister(session);
  Walk w;
  w.Run(lister, missing, "/site");
  EXPECT_FALSE(w.Record("")->incomplete);
  ASSERT_NE(w.Entry("", "index.html"), nullptr);
  EXPECT_TRUE(w.Entry("", "index.html")->IsTagged());
  const auto outcomes = w.Sync(session, false, true);
  EXPECT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(test::ReadFile(missing + "/index.html"), "home");
  EXPECT_EQ(test::ReadFile(missing + "/img/logo.png"), "png");
}

TEST(IncompleteListings, AServerTopFolderThatIsNotThereYetIsMadeButARefusedOneIsLeftAlone) {
  TempDir root, local;
  const int64_t T = Base();
  test::WriteFile(local / "index.html", "home", T);
  test::WriteFile(local / "img/logo.png", "png", T);
  test::WriteFile(root / "locked/index.html", "server, newer", T + 600);
  FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  auto server = StartPy(root.path(), o);
  ASSERT_TRUE(server);
  CFtpSession session;
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;
  w.Run(lister, local.path(), "/new-site");
  EXPECT_FALSE(w.Record("")->incomplete) << w.Record("")->incompleteReason;
  EXPECT_TRUE(w.Record("")->remoteMissing);
  auto outcomes = w.Sync(session, true, false);
  EXPECT_EQ(outcomes.size(), 2u);
  for (const auto& out : outcomes) EXPECT_TRUE(out.ok) << out.remotePath << ": " << out.error;
  EXPECT_EQ(test::ReadFile(root / "new-site/img/logo.png"), "png");

  // A top folder that is there but refuses to be listed is not taken as empty.
  w.Run(lister, local.path(), "/locked");
  EXPECT_TRUE(w.Record("")->incomplete);
  EXPECT_FALSE(w.Record("")->remoteMissing);
  outcomes = w.Sync(session, true, false);
  EXPECT_TRUE(outcomes.empty());
  EXPECT_EQ(test::ReadFile(root / "locked/index.html"), "server, newer");
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

struct Vsftpd {
  TempDir folder;
  std::unique_ptr<FtpTestServer> server;
  CFtpSession session;
  Vsftpd() {
    chmod(folder.path().c_str(), 0755);
    std::string why;
    server = FtpTestServer::StartVsftpd(folder.path(), &why);
    EXPECT_TRUE(server) << why;
  }
  std::string Pub(const std::string& rel) const { return server->DataDir() + "/" + rel; }
  bool Connect() { return server && session.Connect("127.0.0.1", "", "", server->port()); }
};

TEST(VsftpdDefaults, DotFilesAreListedAndANewerRemoteHtaccessIsNotOverwritten) {
  Vsftpd v;
  ASSERT_TRUE(v.server);
  TempDir local;
  const int64_t T = Base();
  test::WriteFile(v.Pub("site/.htaccess"), "deny from bad (newer)", T + 600);
  test::WriteFile(v.Pub("site/index.html"), "home", T);
  test::WriteFile(local / ".htaccess", "old rules", T);
  test::WriteFile(local / "index.html", "home", T);
  v.server->Own(v.server->DataDir());
  ASSERT_TRUE(v.Connect());
  FtpFileSystem lister(v.session);
  Walk w;
  w.Run(lister, local.path(), "/pub/site");
  const CFileEntry* h = w.Entry("", ".htaccess");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(h->remote.has_value()) << "vsftpd's plain LIST hides dot files";
  EXPECT_EQ(h->state, CopyRemoteToLocal);
  const auto outcomes = w.Sync(v.session, true, true);
  EXPECT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(test::ReadFile(v.Pub("site/.htaccess")), "deny from bad (newer)");
  EXPECT_EQ(test::ReadFile(local / ".htaccess"), "deny from bad (newer)");
  EXPECT_EQ(v.session.GetConnection()->RefusedReplies(), 0u);
}

TEST(VsftpdDefaults, LinksToAFileAFolderUpTheTreeAndNowhere) {
  Vsftpd v;
  ASSERT_TRUE(v.server);
  TempDir local;
  const int64_t T = Base();
  test::WriteFile(v.Pub("site/target.txt"), "12345", T);
  test::WriteFile(v.Pub("site/dir/inner.txt"), "inner", T);
  std::filesystem::create_symlink("target.txt", v.Pub("site/to-file"));
  std::filesystem::create_directory_symlink("dir", v.Pub("site/to-dir"));
  std::filesystem::create_directory_symlink("..", v.Pub("site/up"));
  std::filesystem::create_symlink("missing.txt", v.Pub("site/nowhere"));
  v.server->Own(v.server->DataDir());
  ASSERT_TRUE(v.Connect());
  FtpFileSystem lister(v.session);
  Walk w;
  w.Run(lister, local.path(), "/pub/site");

  const CFileEntry* f = w.Entry("", "to-file");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->remote.has_value());
  EXPECT_EQ(f->remote->size, 5u);  // the target's size, not the link text's
  EXPECT_FALSE(f->remote->IsDirectory());
  EXPECT_EQ(w.Entry("", "nowhere"), nullptr);
  ASSERT_NE(w.Record("to-dir"), nullptr);
  EXPECT_NE(w.Entry("to-dir", "inner.txt"), nullptr);
  ASSERT_NE(w.Record("up"), nullptr);  // shown, not walked
  EXPECT_TRUE(w.Record("up")->entries.empty());
  EXPECT_EQ(w.Record("up/site"), nullptr);
  const std::vector<std::string>& skipped = w.Record("")->skipped;
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("/pub/site/nowhere"), std::string::npos) << skipped[0];

  const auto outcomes = w.Sync(v.session, false, true);
  for (const auto& o : outcomes) EXPECT_TRUE(o.ok) << o.remotePath << ": " << o.error;
  EXPECT_EQ(outcomes.size(), 4u);  // target.txt, to-file, dir/inner.txt, to-dir/inner.txt
  EXPECT_EQ(test::ReadFile(local / "to-file"), "12345");
  EXPECT_EQ(test::ReadFile(local / "to-dir/inner.txt"), "inner");
  // What finding out cost is counted apart from a normal sync's replies.
  EXPECT_EQ(v.session.GetConnection()->RefusedReplies(), 0u);
  EXPECT_GT(v.session.GetConnection()->RefusedProbes(), 0u);

  // A second compare on the same connection asks nothing again and tells the
  // dangling link no second time.
  const uint64_t probes = v.session.GetConnection()->RefusedProbes();
  w.Run(lister, local.path(), "/pub/site");
  EXPECT_EQ(v.session.GetConnection()->RefusedProbes(), probes);
  EXPECT_TRUE(w.Record("")->skipped.empty());
}

}  // namespace
}  // namespace twinbay
