// The transfer engine against pyftpdlib on loopback, with fault switches
// where a case needs them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "engine/number_format.h"
#include "fs/patterns.h"
#include "engine/state_rules.h"
#include "net/curl_ftp.h"
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
using test::TemporaryFiles;
using Lines = std::vector<std::string>;

const int64_t T0 = test::UnixTime(2025, 6, 7, 8, 9, 10);

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Stops the job once two files are done.
struct Stopper : ITransferListener {
  CTransferJob* job = nullptr;
  void TransferProgress() override {
    if (job->GetProgress().filesDone == 2) job->Stop();
  }
  void TransferFolderChanged(CFolderRecord*) override {}
  void TransferFinished() override {}
};

TransferOptions Both() { return test::Directions(true, true); }

// The pairs of the top folder a transfer recorded, given back to a compare.
struct Memory : ISyncRecorder, IRecordedState {
  std::map<std::string, RecordedPair> pairs;  // by folded name
  void Copied(const CFolderRecord&, const FileSide& l, const FileSide& r) override {
    pairs[FoldedName(l->name)] = {{l->size, l->lastWrite}, {r->size, r->lastWrite}};
  }
  void Deleted(const CFolderRecord&, const std::string& name) override { pairs.erase(FoldedName(name)); }
  bool Any() override { return !pairs.empty(); }
  RecordedFolderList Folder(const std::string&) override {
    RecordedFolderList out;
    for (const auto& [name, pair] : pairs) out.push_back({name, pair});
    return out;
  }
  void InStep(const std::string&, const std::string&, const RecordedPair&) override {}
  void Gone(const std::string&, const std::string&) override {}
  void Walked(const std::string&) override {}
  void Finish(bool) override {}
};

// A local folder against /site on pyftpdlib with the given fault switches.
struct Sync {
  TempDir local, serverRoot;
  std::unique_ptr<FtpTestServer> server;
  CFtpSession session;
  CFolderCollection collection;
  CFolderComparer comparer;
  SyncTotals totals;
  std::unique_ptr<FtpFileSystem> remoteFs;

  explicit Sync(const std::vector<std::string>& faults = {}) {
    std::filesystem::create_directories(serverRoot / "site");
    FtpTestServer::PyOptions o;
    o.extraArgs = faults;
    std::string why;
    server = FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
    if (!server) ADD_FAILURE() << why;
    else if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port()))
      ADD_FAILURE() << session.LastError();
  }
  bool Ready() const { return server && session.GetConnection(); }
  std::string Remote(const std::string& rel) const { return serverRoot / ("site/" + rel); }
  std::string Local(const std::string& rel) const { return local / rel; }
  void Compare(IRecordedState* state = nullptr) {
    collection.Clear();
    FtpFileSystem lister(session);
    LocalFileSystem disk("/");
    comparer.BeginCompare(nullptr, &disk, &lister, &collection, local.path(), "/site", true, false, nullptr, state);
    comparer.Run(local.path(), "/site", "*.*", true);
  }
  std::unique_ptr<CTransferJob> Run(TransferOptions o = Both(), Stopper* l = nullptr, ISyncRecorder* r = nullptr) {
    remoteFs = std::make_unique<FtpFileSystem>(session);
    CountTagged(collection, totals, o.filter);
    auto job = std::make_unique<CTransferJob>(collection, LocalFileSystem("/"), *remoteFs, totals, o, l);
    if (l) l->job = job.get();
    job->SetRecorder(r);
    job->RunTransfer();
    return job;
  }
  Lines States() {
    Lines out;
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      auto* r = collection.GetAt(i);
      std::string rel = r->localPath.substr(local.path().size());
      for (auto& e : r->entries) out.push_back(std::string(1, "<=>?"[e->state]) + " " + rel + "/" + e->Name());
    }
    return out;
  }
  const TransferOutcome* Outcome(const CTransferJob& job, const std::string& name) {
    for (const TransferOutcome& o : job.Outcomes())
      if (o.localPath == Local(name)) return &o;
    ADD_FAILURE() << "no outcome for " << name;
    return nullptr;
  }
};

#define START_SYNC(s, ...)       \
  Sync s{__VA_ARGS__};           \
  ASSERT_TRUE(s.Ready());

// The bandwidth limit: rates as written, and the waits (ms) of one bucket
// shared by several copies, on a clock the test moves (ms).
TEST(BandwidthLimit, RatesAsWrittenAndTheWaitsOfOneSharedBucket) {
  for (const auto& [text, rate] : std::vector<std::pair<const char*, uint64_t>>{
           {"500K", 512000}, {"2M", 2u << 20}, {"1.5m", 3u << 19}, {"100", 100}, {"1GB/s", 1u << 30},
           {"0", 0}, {"2X", 0}, {"", 0}, {"1.2.3K", 0}}) {
    uint64_t got = 0;
    EXPECT_EQ(ParseByteRate(text, got) ? got : 0, rate) << text;
  }
  auto now = std::chrono::steady_clock::time_point();
  RateLimit limit(1 << 20, [&] { return now; });  // 1 MiB/s: a burst of 256 KiB
  // A debt delays every next caller; a pause refills a burst only.
  for (const auto& [advance, bytes, wait] : std::vector<std::tuple<int, uint64_t, int>>{
           {0, 256 << 10, 0}, {0, 512 << 10, 500}, {0, 512 << 10, 1000}, {1500, 1 << 20, 750},
           {5000, 128 << 10, 0}, {0, 256 << 10, 125}}) {
    now += std::chrono::milliseconds(advance);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(limit.Reserve(bytes)).count(), wait) << bytes;
  }
}

// Only chosen directions, shown and tagged entries are copied; Stop ends between files.
TEST(Transfer, DirectionsFilterTagsAndStopDecideWhatIsCopied) {
  START_SYNC(s);
  test::WriteFile(s.Local("up.txt"), "L", T0 + 100);
  test::WriteFile(s.Remote("up.txt"), "R", T0);
  test::WriteFile(s.Remote("dn.txt"), "R", T0 + 100);
  test::WriteFile(s.Local("dn.txt"), "L", T0);
  test::WriteFile(s.Local("only.txt"), "L", T0);
  test::WriteFile(s.Remote("grew.txt"), "short", T0);
  s.Compare();
  test::WriteFile(s.Remote("grew.txt"), "rather longer now", T0);
  TransferOptions o = Both();
  o.localToRemote = false;
  const auto job = s.Run(o);  // the outcomes live as long as their job
  for (const auto& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.error;
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Local("dn.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Local("grew.txt")), "rather longer now");
  o = Both();
  o.filter = FilterOnePathOnly;
  s.Run(o);
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Remote("only.txt")), "L");
  s.collection.GetAt(0)->UntagAll();
  s.Run(Both());
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
  // f0..f4 and up.txt to upload over one connection: Stop after two.
  for (int i = 0; i < 5; ++i) test::WriteFile(s.Local("f" + std::to_string(i)), "x", T0);
  s.Compare();
  Stopper stopper;
  o = Both();
  o.connections = 1;
  EXPECT_EQ(s.Run(o, &stopper)->Outcomes().size(), 2u);
  EXPECT_TRUE(Exists(s.Remote("f1")));
  EXPECT_FALSE(Exists(s.Remote("f2")));
}

// A failed copy keeps the old file and the entry's state, and leaves no part;
// a destination changed since the compare (edited, appeared) is left alone.
TEST(Transfer, FailuresKeepTheOldVersionAndTheEntryState) {
  START_SYNC(s);
  test::WriteFile(s.Local("gone.txt"), "L", T0 + 100);
  test::WriteFile(s.Remote("gone.txt"), "old remote", T0);
  test::WriteFile(s.Remote("ro.txt"), "new remote", T0 + 100);
  test::WriteFile(s.Local("ro.txt"), "read-only local", T0);
  chmod(s.Local("ro.txt").c_str(), 0444);
  test::WriteFile(s.Remote("vanished-remote.txt"), std::string(1 << 20, 'R'), T0);  // large: a refusal keeps no part
  test::WriteFile(s.Remote("appeared.txt"), "R", T0);
  for (const char* up : {"edited-there.txt", "appeared-there.txt"}) test::WriteFile(s.Local(up), "L", T0 + 100);
  test::WriteFile(s.Remote("edited-there.txt"), "R", T0);
  test::WriteFile(s.Remote("edited-here.txt"), "R", T0 + 100);
  test::WriteFile(s.Local("edited-here.txt"), "L", T0);
  s.Compare();
  std::filesystem::remove(s.Local("gone.txt"));
  std::filesystem::remove(s.Remote("vanished-remote.txt"));
  test::WriteFile(s.Local("appeared.txt"), "the user's own", T0);
  test::WriteFile(s.Remote("edited-there.txt"), "their edit", T0 + 50);
  test::WriteFile(s.Remote("appeared-there.txt"), "theirs", T0);
  test::WriteFile(s.Local("edited-here.txt"), "my edit", T0 + 50);
  const Lines before = s.States();
  auto job = s.Run(Both());
  int changed = 0;
  for (auto& o : job->Outcomes()) {
    EXPECT_FALSE(o.ok) << o.localPath;
    changed += o.error.find("changed since the compare") != std::string::npos;
  }
  EXPECT_EQ(job->Outcomes().size(), 7u);
  EXPECT_EQ(changed, 4);
  EXPECT_EQ(test::ReadFile(s.Local("appeared.txt")), "the user's own");
  EXPECT_EQ(test::ReadFile(s.Remote("edited-there.txt")) + test::ReadFile(s.Remote("appeared-there.txt")) +
                test::ReadFile(s.Local("edited-here.txt")),
            "their edittheirsmy edit");
  EXPECT_EQ(test::ReadFile(s.Remote("gone.txt")), "old remote");
  EXPECT_EQ(test::ReadFile(s.Local("ro.txt")), "read-only local");
  EXPECT_FALSE(Exists(s.Local("vanished-remote.txt")));
  EXPECT_EQ(s.States(), before);
  EXPECT_TRUE(TemporaryFiles(s.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(s.serverRoot.path()).empty());
}

// A copy cut short is a failure that keeps the old file; an unset time a warning.
TEST(TransferIntegrity, ACopyCutShortIsAFailureAndAnUnsetTimeAWarning) {
  START_SYNC(f, {"--truncate-downloads", "--truncate-uploads", "--refuse-times"});
  test::WriteFile(f.Remote("new.bin"), std::string(300000, 'a'), T0);
  test::WriteFile(f.Remote("newer.bin"), std::string(200000, 'b'), T0 + 100);
  test::WriteFile(f.Local("newer.bin"), "the old local version", T0);
  test::WriteFile(f.Local("up-new.bin"), std::string(100000, 'c'), T0);
  test::WriteFile(f.Local("up-newer.bin"), std::string(150000, 'd'), T0 + 100);
  test::WriteFile(f.Remote("up-newer.bin"), "the old remote version", T0);
  test::WriteFile(f.Local("up.txt"), "local", T0);  // under the 4096 bytes the server keeps
  f.Compare();
  const Lines states{"< /new.bin", "< /newer.bin", "> /up-new.bin", "> /up-newer.bin"};
  auto job = f.Run(Both());
  ASSERT_EQ(job->Outcomes().size(), 5u);
  for (const TransferOutcome& o : job->Outcomes()) EXPECT_EQ(o.ok, o.localPath == f.Local("up.txt")) << o.localPath;
  const TransferOutcome* up = f.Outcome(*job, "up.txt");
  ASSERT_TRUE(up);
  EXPECT_NE(up->warning.find("the time could not be set"), std::string::npos) << up->warning;
  EXPECT_FALSE(Exists(f.Local("new.bin")));
  EXPECT_EQ(test::ReadFile(f.Local("newer.bin")), "the old local version");
  EXPECT_FALSE(Exists(f.Remote("up-new.bin")));
  EXPECT_EQ(test::ReadFile(f.Remote("up-newer.bin")), "the old remote version");
  EXPECT_TRUE(TemporaryFiles(f.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(f.serverRoot.path()).empty());
  f.Compare();  // nothing cut short passes for in step
  Lines after = f.States();
  after.resize(4);  // then up.txt, its time not set
  EXPECT_EQ(after, states);
}

// A copy is recorded as both sides now show it, also where the server took a
// time and ignored it (a warning): the next compare finds the pair in step,
// and a later edit here is copied up, never the server's copy down over it.
TEST(TransferIntegrity, ACopyIsRecordedAsBothSidesShowItAndATimeIgnoredIsAWarning) {
  START_SYNC(f, {"--ignore-times"});
  test::WriteFile(f.Local("up.txt"), "mine", T0);
  test::WriteFile(f.Remote("dn.txt"), "theirs", T0);
  f.Compare();
  Memory memory;
  const auto job = f.Run(Both(), nullptr, &memory);
  const TransferOutcome *up = f.Outcome(*job, "up.txt"), *down = f.Outcome(*job, "dn.txt");
  ASSERT_TRUE(up && down && up->ok && down->ok);
  EXPECT_NE(up->warning.find("the time did not stick: the server shows"), std::string::npos) << up->warning;
  EXPECT_EQ(down->warning, "");
  struct stat st;
  ASSERT_EQ(stat(f.Remote("up.txt").c_str(), &st), 0);
  EXPECT_EQ(memory.pairs["up.txt"], (RecordedPair{{4, TicksFromUnix(T0)}, {4, TicksFromUnix(st.st_mtime)}}));
  EXPECT_EQ(memory.pairs["dn.txt"], (RecordedPair{{6, TicksFromUnix(T0)}, {6, TicksFromUnix(T0)}}));
  f.Compare(&memory);
  EXPECT_EQ(f.States(), (Lines{"= /dn.txt", "= /up.txt"}));
  test::WriteFile(f.Local("up.txt"), "my edit", T0 + 60);  // older than the server's clock
  f.Compare(&memory);
  EXPECT_EQ(f.States(), (Lines{"= /dn.txt", "> /up.txt"}));
}

// Stale temporary files are named by a compare; only old, own ones swept before a sync.
TEST(TransferIntegrity, AStaleTemporaryFileIsNamedByACompareAndSweptBeforeASync) {
  START_SYNC(f);
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  const int64_t twoDaysAgo = now - 2 * 86400;
  test::WriteFile(f.Local(".twinbay-a.bin.partX1y2Z3"), "partial", twoDaysAgo);
  test::WriteFile(f.Remote("sub/.twinbay-d.bin.part2-0123456789ab"), "partial", twoDaysAgo);
  test::WriteFile(f.Local(".twinbay-e.bin.partQWERTY"), "busy", now - 3600);  // perhaps a copy under way
  test::WriteFile(f.Remote(".twinbay-g.bin.part.keep"), "mine", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-h.bin.part-0123456789AB"), "mine", twoDaysAgo);
  test::WriteFile(f.Local("sub/x.txt"), "x", T0);
  // Broken downloads, old but of sources still as they were, are kept and
  // continued where private; one of big.bin before it changed goes.
  const std::string big(1 << 20, 'b');
  const auto part = [&](const std::string& name, int64_t t) { return f.Local(ResumableTempName(name, big.size(), t)); };
  for (const char* name : {"big.bin", "big2.bin"}) test::WriteFile(f.Remote(name), big, T0);
  test::WriteFile(part("big.bin", TicksFromUnix(T0)), big.substr(0, 300000), twoDaysAgo);
  test::WriteFile(part("big.bin", TicksFromUnix(T0 - 600)), "before big.bin changed", twoDaysAgo);
  test::WriteFile(part("big2.bin", TicksFromUnix(T0)), "not private: started again", twoDaysAgo);
  chmod(part("big.bin", TicksFromUnix(T0)).c_str(), 0600);
  chmod(part("big2.bin", TicksFromUnix(T0)).c_str(), 0644);
  f.Compare();
  std::vector<std::string> kept = f.comparer.StaleTempsKept();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (Lines{"local " + f.Local(".twinbay-a.bin.partX1y2Z3"), "local " + part("big.bin", TicksFromUnix(T0 - 600)),
                         "remote /site/sub/.twinbay-d.bin.part2-0123456789ab"}));
  EXPECT_EQ(TemporaryFiles(f.local.path()).size() + TemporaryFiles(f.serverRoot.path()).size(), 8u);
  f.comparer.SetRemoveStaleTemps(true);
  f.Compare();
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 3);
  EXPECT_FALSE(Exists(f.Local(".twinbay-a.bin.partX1y2Z3")));
  EXPECT_EQ(TemporaryFiles(f.local.path()).size() + TemporaryFiles(f.serverRoot.path()).size(), 5u);
  EXPECT_EQ(f.States(), (Lines{"< /big.bin", "< /big2.bin", "> /sub/x.txt"}));
  auto job = f.Run(test::Directions(false, true));
  EXPECT_EQ(f.Outcome(*job, "big.bin")->resumedFrom, 300000u);
  EXPECT_EQ(f.Outcome(*job, "big2.bin")->resumedFrom, 0u);
  for (const char* name : {"big.bin", "big2.bin"}) EXPECT_TRUE(test::ReadFile(f.Local(name)) == big) << name;
}

// A real connection that refuses some renames (or all), and may break a store
// under the file's own name; it logs commands with a temporary name's run tag
// as "*" (the tags go to `runTags`).
std::set<std::string> runTags;
class RefusingRenames : public IFtpConnection {
 public:
  enum Mode { OverExisting, All, AllAndBreak };
  RefusingRenames(std::unique_ptr<IFtpConnection> real, Mode mode, std::vector<std::string>* log)
      : real_(std::move(real)), mode_(mode), log_(log) {}
  static std::string Untagged(std::string path) {
    const size_t dash = path.rfind('-');
    if (path.find("/.twinbay-") != std::string::npos && dash != std::string::npos && path.size() - dash == 13) {
      EXPECT_TRUE(IsOwnTempName(path.substr(path.rfind('/') + 1))) << path;
      runTags.insert(path.substr(dash + 1));
      path.replace(dash + 1, 12, "*");
    }
    return path;
  }
  bool Rename(const std::string& from, const std::string& to) override {
    log_->push_back("RNTO " + Untagged(to));
    if (mode_ != OverExisting) return false;
    FindData existing;
    if (real_->StatFile(to, existing)) return false;  // will not replace a file
    return real_->Rename(from, to);
  }
  bool Remove(const std::string& path) override {
    log_->push_back("DELE " + Untagged(path));
    return real_->Remove(path);
  }
  bool Store(const std::string& path, const FtpSource& source, uint64_t size) override {
    log_->push_back("STOR " + Untagged(path));
    if (mode_ == AllAndBreak && path == "/site/a.txt")
      return real_->Store(path, [](char*, size_t) -> long { return -1; }, size);  // the local read fails
    return real_->Store(path, source, size);
  }
  bool Open() override { return real_->Open(); }
  bool GetCurrentDirectory(std::string& d) override { return real_->GetCurrentDirectory(d); }
  bool SetCurrentDirectory(const std::string& p) override { return real_->SetCurrentDirectory(p); }
  bool CreateDirectory(const std::string& p) override { return real_->CreateDirectory(p); }
  bool GetModificationTime(const std::string& p, int64_t& t) override { return real_->GetModificationTime(p, t); }
  bool SetModificationTime(const std::string& p, int64_t t) override { return real_->SetModificationTime(p, t); }
  bool ListDirectory(const std::string& p, ScanList& out) override { return real_->ListDirectory(p, out); }
  bool StatFile(const std::string& p, FindData& out) override { return real_->StatFile(p, out); }
  bool Retrieve(const std::string& p, const FtpSink& sink) override { return real_->Retrieve(p, sink); }
  const FtpFeatures& Features() const override { return real_->Features(); }
  const std::string& LoginFolder() const override { return real_->LoginFolder(); }
  std::string LastError() const override { return real_->LastError(); }

 private:
  std::unique_ptr<IFtpConnection> real_;
  Mode mode_;
  std::vector<std::string>* log_;
};

struct RenameCase {
  RefusingRenames::Mode mode;
  bool replacing;
  std::vector<std::string> expected;
};

// Uploads go through a temporary name; without renames the old file is not lost needlessly.
TEST(Transfer, UploadsGoThroughATemporaryFileAndNeverLeaveAPartOrLoseTheOldFileNeedlessly) {
  const std::string tmp = "/site/.twinbay-a.txt.part-*", tmp2 = "/site/.twinbay-a.txt.part2-*";
  TempDir root;
  auto server = FtpTestServer::StartPyftpdlib(root.path(), {});
  ASSERT_TRUE(server) << "pyftpdlib did not start";
  for (const RenameCase& c : {
           RenameCase{RefusingRenames::OverExisting, false, {"STOR " + tmp, "RNTO /site/a.txt"}},
           RenameCase{RefusingRenames::OverExisting, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE /site/a.txt", "RNTO /site/a.txt"}},
           RenameCase{RefusingRenames::All, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE " + tmp, "STOR /site/a.txt"}},
           RenameCase{RefusingRenames::AllAndBreak, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE " + tmp, "STOR /site/a.txt",
                       "DELE /site/a.txt"}},
       }) {
    SCOPED_TRACE(c.expected.back());
    TempDir local;
    test::WriteFile(local / "a.txt", "new version", T0 + 100);
    std::filesystem::remove_all(root / "site");
    if (c.replacing) test::WriteFile(root / "site/a.txt", "old", T0);
    else test::MakeFolder(root / "site");
    std::vector<std::string> log;
    CFtpSession session([&](const FtpLogin& login) -> std::unique_ptr<IFtpConnection> {
      return std::make_unique<RefusingRenames>(MakeCurlFtpConnection(login), c.mode, &log);
    });
    ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
    CFolderCollection collection;
    FtpFileSystem remoteFs(session);
    test::CompareInto(collection, remoteFs, local.path(), "/site");
    SyncTotals totals;
    const auto job = test::Transfer(collection, totals, remoteFs, Both());
    ASSERT_EQ(job->Outcomes().size(), 1u);
    EXPECT_EQ(log, c.expected);
    EXPECT_TRUE(TemporaryFiles(root.path()).empty());
    const bool broke = c.mode == RefusingRenames::AllAndBreak;
    EXPECT_EQ(job->Outcomes()[0].ok, !broke) << job->Outcomes()[0].error;
    EXPECT_EQ(Exists(root / "site/a.txt"), !broke);
    EXPECT_EQ(broke ? "" : test::ReadFile(root / "site/a.txt"), broke ? "" : "new version");
    EXPECT_EQ(collection.GetAt(0)->entries[0]->state, broke ? CopyLocalToRemote : InStep);
  }
  EXPECT_EQ(runTags.size(), 4u);  // each run its own temporary names
}

}  // namespace
}  // namespace twinbay
