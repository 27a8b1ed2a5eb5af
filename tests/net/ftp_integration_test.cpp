// The FTP client and session against pyftpdlib and vsftpd on loopback, and
// listings that are not the whole folder: each is had whole or marked
// incomplete, and nothing in an incomplete folder is copied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "engine/comparer.h"
#include "net/curl_ftp.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const int64_t T0 = test::UnixTime(2025, 3, 4, 5, 6, 7);

std::unique_ptr<FtpTestServer> StartPy(const std::string& root, const FtpTestServer::PyOptions& o = {}) {
  std::string why;
  auto server = FtpTestServer::StartPyftpdlib(root, o, &why);
  EXPECT_TRUE(server) << why;
  return server;
}

const FindData* Named(const ScanList& l, const std::string& name) {
  auto it = std::find_if(l.begin(), l.end(), [&](const FindData& f) { return f.name == name; });
  return it == l.end() ? nullptr : &*it;
}

std::string Download(IFtpConnection& c, const std::string& path) {
  std::string got;
  return c.Retrieve(path, [&](const char* d, size_t n) { return got.append(d, n), true; }) ? got : "FAILED";
}

// Logins, times, awkward names; unsafe paths and ports never reach a server.
TEST(FtpPyftpdlib, LoginsAwkwardNamesAndUnsafePaths) {
  TempDir root;
  const std::string odd = "semi;colon #hash ?q %41 \xC3\xBCml\xC3\xA4ut.txt";
  test::WriteFile(root / "a.txt", "hello", T0);
  test::WriteFile(root / ("dir with space/" + odd), "odd", T0);
  test::WriteFile(root / "[brackets]/x*y.txt", "star", T0);
  auto server = StartPy(root.path());
  ASSERT_TRUE(server);
  CFtpSession anon, refused, s;
  ASSERT_TRUE(anon.Connect("127.0.0.1", "", "", server->port())) << anon.LastError();
  EXPECT_EQ(anon.LoginFolder(), "/");
  EXPECT_FALSE(refused.Connect("127.0.0.1", server->user(), "wrong", server->port()));
  EXPECT_EQ(refused.GetConnection(), nullptr);
  EXPECT_NE(refused.LastError().find("refused the login"), std::string::npos) << refused.LastError();
  EXPECT_FALSE(refused.Connect("127.0.0.1", "", "", 65536 + 21));  // not cut to 21
  EXPECT_FALSE(refused.Connect("bad host\r\nQUIT", "", "", 21));
  EXPECT_FALSE(refused.EnsureConnected());
  ASSERT_TRUE(s.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  IFtpConnection& c = *s.GetConnection();
  EXPECT_EQ(Download(c, "/a.txt"), "hello");
  ScanList l;
  ASSERT_TRUE(c.ListDirectory("/", l)) << c.LastError();
  ASSERT_NE(Named(l, "a.txt"), nullptr);
  EXPECT_EQ(Named(l, "a.txt")->lastWrite, TicksFromUnix(T0));
  ASSERT_TRUE(c.ListDirectory("/dir with space", l)) << c.LastError();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].name, odd);
  EXPECT_EQ(Download(c, "/dir with space/" + odd), "odd");
  ASSERT_TRUE(c.ListDirectory("/[brackets]", l));  // not taken as a wildcard
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].name, "x*y.txt");
  EXPECT_FALSE(c.ListDirectory("/no such folder", l));
  EXPECT_TRUE(l.empty());
  EXPECT_FALSE(c.Remove("/x\r\nDELE /a"));
  EXPECT_FALSE(c.CreateDirectory("/ff\xff"));
  EXPECT_FALSE(std::filesystem::exists(root / "ff\xff"));
  EXPECT_FALSE(c.CreateDirectory("relative"));
  EXPECT_EQ(ResolveRemotePath("site", "/home/me"), "/home/me/site");
  EXPECT_EQ(ResolveRemotePath("/abs//x\\y/", "/home/me"), "/abs/x/y");
}

// Unsafe listed names are told, never used; a dropped connection is made again.
TEST(FtpPyftpdlib, AHostileListingAndADroppedControlConnection) {
  TempDir root;
  FtpTestServer::PyOptions o;
  o.hostile = true;
  o.idleTimeoutSeconds = 1;
  auto server = StartPy(root.path(), o);
  ASSERT_TRUE(server);
  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  // The listing is read as sent: a name holding a CR is left out alone, and
  // the rest of the folder is whole.
  const auto listHostile = [&] {
    ScanList l;
    ASSERT_TRUE(s.GetConnection()->ListDirectory("/", l)) << s.GetConnection()->LastError();
    std::string names;
    for (auto& f : l) names += "[" + f.name + "]";
    EXPECT_EQ(names, "[back\\slash][good.txt]");
    EXPECT_GE(s.GetConnection()->TakeSkipped().size(), 4u);
  };
  listHostile();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the server drops the idle connection
  ASSERT_TRUE(s.EnsureConnected()) << s.LastError();
  listHostile();
  s.CloseConnection();
  EXPECT_TRUE(s.EnsureConnected());
  server->Stop();
  EXPECT_FALSE(s.EnsureConnected());
  EXPECT_EQ(s.GetConnection(), nullptr);
}

// LIST-only times are to the minute; a refused folder is a failure, not empty.
TEST(FtpVsftpd, ListOnlyServerTimesToTheMinuteAndRefusedFolders) {
  TempDir folder;
  std::string why;
  auto server = FtpTestServer::StartVsftpd(folder.path(), &why);
  ASSERT_TRUE(server) << why;
  const std::string pub = folder / "anon/pub";
  const int64_t recent = test::UnixTime(2026, 11, 30, 8, 15, 42);
  test::WriteFile(pub + "/recent.txt", "r", recent);
  test::WriteFile(pub + "/locked/secret.txt", "s", T0);
  test::GiveToFtpUser(pub);
  chown((pub + "/locked").c_str(), 0, 0);
  chmod((pub + "/locked").c_str(), 0700);
  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", "", "", server->port())) << s.LastError();
  IFtpConnection& c = *s.GetConnection();
  ScanList l;
  ASSERT_TRUE(c.ListDirectory("/pub", l)) << c.LastError();
  ASSERT_EQ(l.size(), 2u);
  const FindData* r = Named(l, "recent.txt");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->precision, TimePrecision::Minutes);
  EXPECT_EQ(r->lastWrite, TicksFromUnix(recent - 42));
  EXPECT_FALSE(c.ListDirectory("/pub/locked", l));
  EXPECT_TRUE(l.empty());
}

const auto Base = test::ThreeHoursAgo;

// Short time limits, so that a stalled listing fails within seconds.
CFtpSession QuickSession() {
  return CFtpSession([](const FtpLogin& login) { return MakeCurlFtpConnection(login, FtpTimeouts{5, 3, 3}); });
}

struct Walk {
  CFolderCollection collection;
  std::string local;
  void Run(IFileSystem& lister, const std::string& l, const std::string& r) {
    local = l;
    test::CompareInto(collection, lister, local, r);
  }
  CFolderRecord* Record(const std::string& rel) {
    for (size_t i = 0; i < collection.GetCount(); ++i)
      if (collection.GetAt(i)->localPath == (rel.empty() ? local : local + "/" + rel)) return collection.GetAt(i);
    return nullptr;
  }
  const CFileEntry* Entry(const std::string& rel, const std::string& name) {
    if (CFolderRecord* r = Record(rel))
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

// Unreadable, cut, stalled or dropped folders (the data connection lost
// part-way) are incomplete and nothing in them is copied.
TEST(IncompleteListings, CutStalledAndUnreadableFoldersAreMarkedAndNothingInThemCopied) {
  TempDir root, local;
  const int64_t T = Base();
  FtpTestServer::PyOptions o;
  o.cutList = "a-cut";
  o.stallList = "b-stalled";
  o.extraArgs = {"--drop-list", "d-dropped"};
  auto server = StartPy(root.path(), o);
  ASSERT_TRUE(server);
  CFtpSession session = QuickSession();
  ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  FtpFileSystem lister(session);
  Walk w;
  test::WriteFile(root / "unread/secret/remote-only.txt", "r", T);
  test::WriteFile(root / "unread/secret/both.txt", "older on the server", T);
  test::WriteFile(local / "unread/secret/both.txt", "newer here", T + 600);
  test::WriteFile(local / "unread/open/a.txt", "a", T);
  for (const char* d : {"", "/unread", "/unread/open"}) chmod((local.path() + d).c_str(), 0755);
  chmod((local / "unread/secret").c_str(), 0);
  const bool asRoot = geteuid() == 0;  // root reads every folder: read as an ordinary account
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
  EXPECT_EQ(w.Sync(session, true, true).size(), 1u);  // open/a.txt up
  EXPECT_FALSE(std::filesystem::exists(local / "unread/secret/remote-only.txt"));
  EXPECT_EQ(test::ReadFile(local / "unread/secret/both.txt"), "newer here");
  for (int i = 0; i < 40; ++i) test::WriteFile(root / ("tree/d-dropped/p" + std::to_string(i)), "s", T);
  for (const std::string name : {"a-cut", "b-stalled", "c-fine", "d-dropped"}) {
    test::WriteFile(root / ("tree/" + name + "/page.html"), "server, newer", T + 600);
    test::WriteFile(local / ("tree/" + name + "/page.html"), "local, older", T);
    test::WriteFile(local / ("tree/" + name + "/only-local.html"), "new", T);
  }
  w.Run(lister, local / "tree", "/tree");
  for (const std::string name : {"a-cut", "b-stalled", "d-dropped"}) {
    CFolderRecord* r = w.Record(name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_TRUE(r->incomplete) << name;
    EXPECT_NE(r->incompleteReason.find("cannot list /tree/" + name), std::string::npos) << r->incompleteReason;
    for (auto& e : r->entries) {
      EXPECT_FALSE(e->IsTagged()) << name << "/" << e->Name();
      e->state = CopyLocalToRemote, e->tagged = true;  // forced: the transfer still refuses
    }
  }
  EXPECT_EQ(w.Sync(session, true, true).size(), 2u);  // c-fine only: page.html down, only-local.html up
  for (const std::string name : {"a-cut", "b-stalled", "d-dropped"}) {
    EXPECT_EQ(test::ReadFile(root / ("tree/" + name + "/page.html")), "server, newer");
    EXPECT_FALSE(std::filesystem::exists(root / ("tree/" + name + "/only-local.html")));
  }
  EXPECT_EQ(test::ReadFile(local / "tree/c-fine/page.html"), "server, newer");
}

// A tree without end stops at the depth limit, marked; a folder met again is not walked.
TEST(IncompleteListings, ATreeWithoutEndStopsAtTheDepthLimitAndALoopIsNotWalkedTwice) {
  TempDir root, local;
  test::WriteFile(root / "deep/f.txt", "f", Base());
  test::MakeFolder(root / "deep/d");
  test::WriteFile(root / "loop/g.txt", "g", Base());
  std::filesystem::create_directory_symlink(".", root / "loop/self");
  for (const bool unique : {false, true}) {
    FtpTestServer::PyOptions o;
    o.endless = "deep";
    o.noUnique = !unique;
    auto server = StartPy(root.path(), o);
    ASSERT_TRUE(server);
    CFtpSession session;
    ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
    FtpFileSystem lister(session);
    Walk w;
    w.Run(lister, local.path(), unique ? "/" : "/deep");
    size_t incomplete = 0;
    for (size_t i = 0; i < w.collection.GetCount(); ++i)
      if (w.collection.GetAt(i)->incomplete) {
        ++incomplete;
        EXPECT_NE(w.collection.GetAt(i)->incompleteReason.find("nested more than"), std::string::npos);
      }
    if (!unique) {
      EXPECT_EQ(incomplete, 1u);
      EXPECT_EQ(w.collection.GetCount(), static_cast<size_t>(CFolderComparer::kMaxDepth) + 1);
      continue;
    }
    EXPECT_EQ(incomplete, 0u);
    for (const std::string shown : {"loop/self", "deep/d/d"}) {
      ASSERT_NE(w.Record(shown), nullptr) << shown;
      EXPECT_TRUE(w.Record(shown)->entries.empty()) << shown;
      EXPECT_EQ(w.Record(shown + (shown == "deep/d/d" ? "/d" : "/self")), nullptr) << shown;
    }
    EXPECT_NE(w.Entry("loop", "g.txt"), nullptr);
  }
}

// Past pure-ftpd's 10,000-entry limit a folder is read whole, or marked incomplete.
TEST(PureFtpd, AFolderOfTwelveThousandFilesIsReadWholeDespiteTheDefaultLimit) {
  TempDir folder, local;
  chmod(folder.path().c_str(), 0755);
  std::string why;
  auto server = FtpTestServer::StartPureFtpd(folder.path(), &why);
  ASSERT_TRUE(server) << why;
  const std::string big = server->DataDir() + "/big", huge = server->DataDir() + "/huge";
  const int64_t T = Base();
  char name[32];
  for (int i = 0; i < 12000; ++i) {
    std::snprintf(name, sizeof name, "/f%05d.txt", i);
    test::WriteFile(big + name, "server", T + 600);
    if (i >= 11936) test::WriteFile(local / "big" + name, "local, older", T);
  }
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
  ASSERT_NE(w.Entry("big", "f11999.txt"), nullptr);  // beyond the first 10,000, paired with the local file
  EXPECT_EQ(w.Entry("big", "f11999.txt")->state, CopyRemoteToLocal);
  CFolderRecord* h = w.Record("huge");
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->incomplete);
  EXPECT_NE(h->incompleteReason.find("truncated"), std::string::npos) << h->incompleteReason;
  EXPECT_TRUE(w.Sync(session, true, false).empty());
  EXPECT_EQ(session.GetConnection()->RefusedReplies(), 0u);
}

}  // namespace
}  // namespace twinbay
