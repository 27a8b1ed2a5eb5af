// Listing and copying over several connections gives what one connection
// gives, whatever the server allows or breaks; an abort leaves nothing half-written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "engine/parallel_lister.h"
#include "net/ftp_fs.h"
#include "fs/local_fs.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const auto Base = test::ThreeHoursAgo;

// Every record and entry in order (of an incomplete folder's reason only the
// part before the server's or libcurl's words: a cut is told in more than one way).
std::string Dump(const CFolderCollection& collection) {
  std::ostringstream o;
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    o << r->localPath << " | " << r->remotePath << " | class " << r->folderClass << (r->incomplete ? " INCOMPLETE " : "")
      << r->incompleteReason.substr(0, r->incompleteReason.find(": ")) << (r->remoteMissing ? " missing" : "") << "\n";
    for (const std::string& s : r->skipped) o << "  skipped " << s << "\n";
    for (const auto& e : r->entries)
      o << "  " << e->Name() << " state " << e->state << " tagged " << e->tagged << " local "
        << (e->local ? e->local->lastWrite : -1) << "/" << (e->local ? e->local->size : 0) << " remote "
        << (e->remote ? e->remote->lastWrite : -1) << "/" << (e->remote ? e->remote->size : 0) << "\n";
  }
  return o.str();
}

// Every file below `root` as "path size mtime digest"; temporary files as LEFTOVER.
std::string Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = std::filesystem::relative(e.path(), root).string();
    if (e.path().filename().string().rfind(".twinbay-", 0) == 0) files[rel] = "LEFTOVER";
    if (!e.is_regular_file()) continue;
    const std::string content = test::ReadFile(e.path().string());
    const auto mtime = std::filesystem::last_write_time(e.path()).time_since_epoch();
    files[rel] = std::to_string(content.size()) + " " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(mtime).count()) + " " +
                 std::to_string(std::hash<std::string>()(content));
  }
  std::ostringstream o;
  for (const auto& [path, what] : files) o << path << " " << what << "\n";
  return o.str();
}

// pure-ftpd as set up by default, or pyftpdlib with the options given, and a
// session for syncs; "/" + rel on the server is data + "/" + rel on disk.
struct Site {
  TempDir root;
  std::unique_ptr<FtpTestServer> server;
  std::string data;
  CFtpSession session;
  std::unique_ptr<FtpFileSystem> fs;  // made once connected

  explicit Site(const FtpTestServer::PyOptions* py = nullptr) {
    std::string why;
    server = py ? FtpTestServer::StartPyftpdlib(root.path(), *py, &why)
                : FtpTestServer::Start(FtpTestServer::Kind::PureFtpd, root.path(), &why);
    EXPECT_TRUE(server) << why;
    data = server ? server->DataDir() : root.path();
  }
  bool Connect() {
    if (!server) return false;
    server->Own(data);
    const bool ok = session.Connect("127.0.0.1", server->user(), server->password(), server->port());
    EXPECT_TRUE(ok) << session.LastError();
    return (fs = std::make_unique<FtpFileSystem>(session)), ok;
  }
};

struct CompareRun {
  std::string dump;
  size_t delivered = 0, folders = 0;
};

// A compare of `local` with "/" + rel over a session of its own and
// `connections` connections in all.
CompareRun Compare(const Site& site, const std::string& local, int connections, const std::string& rel = "") {
  const FtpTestServer& server = *site.server;
  CFtpSession session;
  EXPECT_TRUE(session.Connect("127.0.0.1", server.user(), server.password(), server.port())) << session.LastError();
  FtpFileSystem first(session);
  FileSystemPool pool(first, connections);
  FileSystemPool::Lease walk = pool.LeaseFirst();
  CParallelLister lister(*walk, pool, connections - 1);
  CFolderCollection collection;
  test::CompareInto(collection, lister, local, "/" + rel, false, true, &lister);
  lister.Stop();
  EXPECT_LE(pool.Opened(), connections - 1);
  return {Dump(collection), lister.Delivered(), collection.GetCount()};
}

// fanOut^3 folders on the server, a file in each of the deepest; the local
// side has part of it, older and newer, and folders of its own.
void LayOutTree(const std::string& server, const std::string& local, int fanOut) {
  const int64_t T = Base();
  for (int a = 0; a < fanOut; ++a)
    for (int b = 0; b < fanOut; ++b)
      for (int c = 0; c < fanOut; ++c) {
        const std::string rel = "a" + std::to_string(a) + "/b" + std::to_string(b) + "/c" + std::to_string(c);
        test::WriteFile(server + "/" + rel + "/page.htm", "server " + rel, T + a * 60);
        if (a < 3 && c % 2 == 0) test::WriteFile(local + "/" + rel + "/page.htm", "local", T + 120);
        if (a == 1 && b == 1) test::WriteFile(local + "/" + rel + "/local-only.txt", "x", T);
      }
  test::WriteFile(local + "/mine/only/here.txt", "local", T);
  test::WriteFile(server + "/Mixed/Case.txt", "server", T);
  test::WriteFile(local + "/mixed/case.TXT", "local", T + 600);
}

// `count` files each way in folders the other side lacks, and some replacing older copies.
void LayOutCopies(const std::string& server, const std::string& local, int count, const int64_t T = Base()) {
  for (int i = 0; i < count; ++i) {
    const std::string folder = "d" + std::to_string(i % 7) + "/";
    const std::string content(100 + i * 37 % 3000, static_cast<char>('a' + i % 26));
    test::WriteFile(local + "/up/" + folder + "u" + std::to_string(i) + ".txt", content, T + i);
    test::WriteFile(server + "/down/" + folder + "w" + std::to_string(i) + ".txt", content, T + i);
  }
  for (int i = 0; i < count / 10; ++i) {
    const std::string n = std::to_string(i);
    test::WriteFile(local + "/both/newer-here" + n, "here, newer", T + 3600);
    test::WriteFile(server + "/both/newer-here" + n, "there, older", T);
    test::WriteFile(local + "/both/newer-there" + n, "here, older", T);
    test::WriteFile(server + "/both/newer-there" + n, "there, newer", T + 3600);
  }
}

// A compare of `local` with "/" + rel over the site's session, then a sync
// both ways over `connections`: its outcomes, the entries' states, its job.
struct Sync {
  CFolderCollection collection;
  SyncTotals totals;
  std::unique_ptr<CTransferJob> job;
  std::string outcomes, states;

  Sync(Site& site, const std::string& local, int connections, const std::string& rel = "") {
    test::CompareInto(collection, *site.fs, local, "/" + rel);
    TransferOptions o = test::Directions(true, true);
    o.connections = connections;
    job = test::Transfer(collection, totals, *site.fs, o);
    std::ostringstream out, st;
    for (const TransferOutcome& t : job->Outcomes()) {
      out << (t.upload ? "up " : "down ") << t.localPath.substr(local.size()) << " "
          << t.remotePath.substr(rel.size() + 1) << (t.ok ? " ok" : " FAILED ") << t.error
          << (t.warning.empty() ? "" : " warning ") << t.warning << "\n";
    }
    for (size_t i = 0; i < collection.GetCount(); ++i)
      for (const auto& e : collection.GetAt(i)->entries)
        st << collection.GetAt(i)->localPath.substr(local.size()) << "/" << e->Name() << " " << e->state << "\n";
    outcomes = out.str();
    states = st.str();
  }
};

// Over eight connections the same records, files, times and outcomes as over one.
TEST(ConnectionPool, OneAndEightConnectionsGiveTheSameRecordsAndCopies) {
  Site site;
  ASSERT_TRUE(site.Connect());
  TempDir local, locals[2];
  const int64_t T = Base();
  LayOutTree(site.data + "/tree", local.path(), 10);
  site.server->Own(site.data);
  const CompareRun one = Compare(site, local.path(), 1, "tree");
  const CompareRun eight = Compare(site, local.path(), 8, "tree");
  EXPECT_GT(one.folders, 1110u);
  EXPECT_EQ(one.dump.find("INCOMPLETE"), std::string::npos);
  EXPECT_EQ(one.dump, eight.dump);
  EXPECT_GT(eight.delivered, 0u);  // the helpers listed some
  std::string got[2];
  for (const int k : {0, 1}) {
    const std::string rel = k ? "eight" : "one", data = site.data + "/" + rel;
    LayOutCopies(data, locals[k].path(), 150, T);  // one time for both: a minute may pass between
    site.server->Own(site.data);
    const Sync r(site, locals[k].path(), k ? 8 : 1, rel);
    EXPECT_EQ(r.job->Outcomes().size(), 330u);
    EXPECT_EQ(r.outcomes.find("FAILED"), std::string::npos) << r.outcomes;
    EXPECT_EQ(r.job->ConnectionsUsed() > 1, k == 1);
    EXPECT_EQ(Snapshot(locals[k].path()), Snapshot(data));
    EXPECT_EQ(r.states.find(" 0\n"), std::string::npos);
    EXPECT_EQ(r.states.find(" 2\n"), std::string::npos);
    got[k] = r.outcomes + r.states + Snapshot(data);
  }
  EXPECT_EQ(got[0], got[1]);
}

// Two logins only, or cut logins (made again), or refused folders, or a
// server whose FEAT offers neither EPSV nor MLSD (LIST over PASV): as over
// one connection.
TEST(ConnectionPool, TwoLoginsOrACutConnectionListAndCopyAsOneConnectionDoes) {
  for (const int row : {0, 1, 2}) {
    const bool cut = row == 1;
    SCOPED_TRACE(row == 0 ? "two logins" : cut ? "cut" : "old commands");
    FtpTestServer::PyOptions o;
    o.maxLogins = row == 0 ? 2 : 0;
    o.cutSecondLogin = cut;
    if (cut) o.refuseList = "locked", o.cutList = "broken";
    if (row == 2) o.extraArgs = {"--old-commands"};
    Site site(&o);
    TempDir tree, local;
    LayOutTree(site.data + "/tree", tree.path(), cut ? 5 : 4);
    test::WriteFile(site.data + "/tree/a1/locked/x.txt", "x", Base());
    test::WriteFile(site.data + "/tree/a2/b0/broken/y.txt", "y", Base());
    const CompareRun eight = Compare(site, tree.path(), 8, "tree");
    const CompareRun one = Compare(site, tree.path(), 1, "tree");
    EXPECT_EQ(one.dump.find("locked | /tree/a1/locked | class 3 INCOMPLETE") != std::string::npos, cut);
    EXPECT_EQ(one.dump.find("broken | /tree/a2/b0/broken | class 3 INCOMPLETE") != std::string::npos, cut);
    EXPECT_EQ(one.dump, eight.dump);
    EXPECT_GT(eight.delivered, 0u);
    if (row == 2) continue;  // LIST times are to the minute: the copies' snapshot would differ
    Site copies(&o);  // the transfers' own second login
    LayOutCopies(copies.data, local.path(), 40);
    ASSERT_TRUE(copies.Connect());
    const Sync r(copies, local.path(), 8);
    EXPECT_TRUE(row == 0 ? r.job->ConnectionsUsed() == 2 : r.job->ConnectionsUsed() > 1);
    EXPECT_EQ(r.job->Outcomes().size(), 88u);
    EXPECT_EQ(r.outcomes.find("FAILED"), std::string::npos) << r.outcomes;
    EXPECT_EQ(Snapshot(local.path()), Snapshot(copies.data));
    EXPECT_EQ(r.states.find(" 0\n"), std::string::npos) << r.states;
  }
}

// Abort with eight copies in flight: every one cancelled, both sides as before.
TEST(TransferPool, AbortWithCopiesInFlightKeepsWhatArrivedAndNoHalfWrittenDestination) {
  FtpTestServer::PyOptions o;
  o.extraArgs = {"--throttle", "1000000"};  // a second, per data connection
  Site site(&o);
  ASSERT_TRUE(site.Connect());
  TempDir local;
  const std::string big(4u << 20, 'z');
  const int64_t T = Base();
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i);
    test::WriteFile(local / ("new-up" + n), big, T + 100);
    test::WriteFile(local / ("old-up" + n), big, T + 100);
    test::WriteFile(site.data + "/old-up" + n, "old remote", T);
    test::WriteFile(site.data + "/new-down" + n, big, T + 100);
    test::WriteFile(site.data + "/old-down" + n, big, T + 100);
    test::WriteFile(local / ("old-down" + n), "old local", T);
  }
  CFolderCollection collection;
  test::CompareInto(collection, *site.fs, local.path(), "/");
  const std::string localBefore = Snapshot(local.path()), serverBefore = Snapshot(site.data);
  struct Aborter : ITransferListener {
    CTransferJob* job = nullptr;
    void TransferProgress() override {  // once all eight move (at 1 MB/s each)
      const CTransferJob::Progress p = job ? job->GetProgress() : CTransferJob::Progress();
      if (p.filesStarted == 8 && p.bytesDone > (2 << 20) && !job->Aborted()) job->Abort();
    }
    void TransferFolderChanged(CFolderRecord*) override {}
    void TransferFinished() override {}
  } aborter;
  SyncTotals totals;
  CountTagged(collection, totals, FilterAll);
  CTransferJob job(collection, LocalFileSystem("/"), *site.fs, totals, test::Directions(true, true), &aborter);
  aborter.job = &job;
  job.RunTransfer();
  ASSERT_TRUE(job.Aborted());
  EXPECT_EQ(job.ConnectionsUsed(), 8);
  ASSERT_EQ(job.Outcomes().size(), 8u);
  for (const TransferOutcome& out : job.Outcomes()) {
    EXPECT_FALSE(out.ok) << out.localPath;
    EXPECT_TRUE(out.cancelled) << out.localPath;
  }
  // What arrived of each copy (at most 4 a side: one may not have begun) is kept for the next run
  // to continue, and nothing else changed (the server may still be closing the abandoned uploads).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (const std::string& root : {local.path(), site.data})
    EXPECT_TRUE(!test::TemporaryFiles(root).empty() && test::TemporaryFiles(root).size() <= 4) << root;
  const auto withoutTemps = [](const std::string& root) {
    for (const std::string& tmp : test::TemporaryFiles(root)) std::filesystem::remove(tmp);
    return Snapshot(root);
  };
  EXPECT_EQ(withoutTemps(local.path()), localBefore);
  for (int i = 0; i < 100 && withoutTemps(site.data) != serverBefore; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(withoutTemps(site.data), serverBefore);
}

}  // namespace
}  // namespace twinbay
