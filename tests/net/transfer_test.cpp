// The transfer engine and deletion against pyftpdlib on loopback, with fault
// switches where a case needs them: a copy counts only when every byte
// arrived, a failure keeps the old file, uploads go through a temporary file,
// and the temporary files an abrupt end leaves behind are swept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

#include "engine/comparer.h"
#include "engine/patterns.h"
#include "net/curl_ftp.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"
#include "net/transfer.h"
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

int64_t MTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::string Bytes(size_t n, char seed) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
  return s;
}

struct Listener : ITransferListener {
  CTransferJob* job = nullptr;  // the job running, for onProgress
  std::function<void()> onProgress;
  int progress = 0, finished = 0;
  std::vector<CFolderRecord*> folders;
  void TransferProgress() override {
    ++progress;
    if (onProgress) onProgress();
  }
  void TransferFolderChanged(CFolderRecord* r) override { folders.push_back(r); }
  void TransferFinished() override { ++finished; }
};

TransferOptions Both() { return test::Directions(true, true); }

// A local folder against /site on a pyftpdlib server started with the given
// fault switches of ftp_server.py, compared and copied over one session.
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
  void Compare(bool ignoreSeconds = false) {
    collection.Clear();
    FtpFileSystem lister(session);
    LocalFileSystem disk("/");
    comparer.BeginCompare(nullptr, &disk, &lister, &collection, local.path(), "/site", true, ignoreSeconds);
    comparer.Run(local.path(), "/site", "*.*", true);
  }
  std::unique_ptr<CTransferJob> Run(TransferOptions o = Both(), Listener* l = nullptr) {
    remoteFs = std::make_unique<FtpFileSystem>(session);
    CountTagged(collection, totals, o.filter);
    auto job = std::make_unique<CTransferJob>(collection, LocalFileSystem("/"), *remoteFs, totals, o, l);
    if (l) l->job = job.get();
    job->RunTransfer();
    return job;
  }
  // "<state> relative-path" for every entry, in the comparer's order.
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

TEST(Transfer, BothDirectionsWithFoldersMadeOnTheWay) {
  START_SYNC(s);
  test::WriteFile(s.Local("up.txt"), "new local", T0 + 100);
  test::WriteFile(s.Remote("up.txt"), "old remote", T0);
  test::WriteFile(s.Local("new/deep/a.txt"), "only local", T0);
  test::WriteFile(s.Remote("dn.txt"), "new remote", T0 + 100);
  test::WriteFile(s.Local("dn.txt"), "old local", T0);
  test::WriteFile(s.Remote("Down/X.txt"), "only remote", T0 + 5);
  s.Compare();
  ASSERT_EQ(s.States(), (Lines{"< /dn.txt", "> /up.txt", "< /Down/X.txt", "> /new/deep/a.txt"}));
  Listener l;
  TransferOptions o = Both();
  o.setLocalTimestamps = true;
  auto job = s.Run(o, &l);
  for (auto& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.localPath << ": " << out.error;
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "new local");
  EXPECT_EQ(test::ReadFile(s.Local("dn.txt")), "new remote");
  EXPECT_EQ(test::ReadFile(s.Local("Down/X.txt")), "only remote");
  EXPECT_EQ(test::ReadFile(s.Remote("new/deep/a.txt")), "only local");
  // Downloads carry the server's time; uploads give the server the local time.
  EXPECT_EQ(MTime(s.Local("Down/X.txt")), T0 + 5);
  EXPECT_EQ(MTime(s.Remote("up.txt")), T0 + 100);
  EXPECT_EQ(MTime(s.Local("new/deep/a.txt")), MTime(s.Remote("new/deep/a.txt")));  // set local timestamps
  // Every copied entry is in step at once, and so after a fresh compare.
  for (const std::string& line : s.States()) EXPECT_EQ(line[0], '=') << line;
  EXPECT_EQ(s.collection.GetAt(3)->folderClass, FolderOnBoth);  // "new" was local only
  s.Compare();
  for (const std::string& line : s.States()) EXPECT_EQ(line[0], '=') << line;
  EXPECT_EQ(l.finished, 1);
  EXPECT_GE(l.folders.size(), 3u);
  EXPECT_TRUE(TemporaryFiles(s.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(s.serverRoot.path()).empty());
  const SyncTotals t = job->Totals();
  EXPECT_EQ(t.AllDone(), 9 + 10 + 11 + 10);
  EXPECT_EQ(t.TotalPercent(), 100);
}

TEST(Transfer, DirectionsAndFilterDecideWhatIsCopied) {
  START_SYNC(s);
  test::WriteFile(s.Local("up.txt"), "L", T0 + 100);
  test::WriteFile(s.Remote("up.txt"), "R", T0);
  test::WriteFile(s.Remote("dn.txt"), "R", T0 + 100);
  test::WriteFile(s.Local("dn.txt"), "L", T0);
  test::WriteFile(s.Local("only.txt"), "L", T0);
  test::WriteFile(s.Remote("grew.txt"), "short", T0);
  s.Compare();
  // A file that changed since the compare is copied whole all the same.
  test::WriteFile(s.Remote("grew.txt"), "rather longer now", T0);
  TransferOptions o = Both();
  o.localToRemote = false;
  for (const auto& out : s.Run(o)->Outcomes()) EXPECT_TRUE(out.ok) << out.error;
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Local("dn.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Local("grew.txt")), "rather longer now");
  // A tagged entry that the filter hides stays where it is.
  o = Both();
  o.filter = FilterOnePathOnly;
  s.Run(o);
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
  EXPECT_EQ(test::ReadFile(s.Remote("only.txt")), "L");
  // An untagged entry is not copied either.
  s.collection.GetAt(0)->UntagAll();
  s.Run(Both());
  EXPECT_EQ(test::ReadFile(s.Remote("up.txt")), "R");
}

TEST(Transfer, CancelStopsBetweenFiles) {
  START_SYNC(s);
  for (int i = 0; i < 5; ++i) test::WriteFile(s.Local("f" + std::to_string(i)), "x", T0);
  s.Compare();
  Listener l;
  l.onProgress = [&] {
    if (l.job->GetProgress().filesDone == 2) l.job->Stop();
  };
  TransferOptions o = Both();
  o.connections = 1;  // the point it stops at is exact over one connection
  EXPECT_EQ(s.Run(o, &l)->Outcomes().size(), 2u);
  EXPECT_TRUE(Exists(s.Remote("f1")));
  EXPECT_FALSE(Exists(s.Remote("f2")));
  EXPECT_EQ(l.finished, 1);
}

TEST(Transfer, FailuresKeepTheOldVersionAndTheEntryState) {
  START_SYNC(s);
  test::WriteFile(s.Local("gone.txt"), "L", T0 + 100);  // vanishes before the copy
  test::WriteFile(s.Remote("gone.txt"), "old remote", T0);
  test::WriteFile(s.Remote("ro.txt"), "new remote", T0 + 100);
  test::WriteFile(s.Local("ro.txt"), "read-only local", T0);
  chmod(s.Local("ro.txt").c_str(), 0444);
  test::WriteFile(s.Remote("vanished-remote.txt"), "R", T0);
  test::WriteFile(s.Remote("appeared.txt"), "R", T0);  // a local file of its name appears before the copy
  s.Compare();
  std::filesystem::remove(s.Local("gone.txt"));
  std::filesystem::remove(s.Remote("vanished-remote.txt"));
  test::WriteFile(s.Local("appeared.txt"), "the user's own", T0);
  const Lines before = s.States();
  auto job = s.Run(Both());
  for (auto& o : job->Outcomes()) EXPECT_FALSE(o.ok) << o.localPath;
  EXPECT_EQ(job->Outcomes().size(), 4u);
  EXPECT_EQ(test::ReadFile(s.Local("appeared.txt")), "the user's own");
  EXPECT_EQ(test::ReadFile(s.Remote("gone.txt")), "old remote");
  EXPECT_EQ(test::ReadFile(s.Local("ro.txt")), "read-only local");
  EXPECT_FALSE(Exists(s.Local("vanished-remote.txt")));
  EXPECT_EQ(s.States(), before);
  EXPECT_TRUE(TemporaryFiles(s.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(s.serverRoot.path()).empty());
}

TEST(Transfer, AServerDroppedInTheMiddleOfALargeFile) {
  START_SYNC(s);
  const std::string big = s.Remote("big.bin");
  {
    std::FILE* f = std::fopen(big.c_str(), "wb");
    std::string block(1 << 20, 'b');
    for (int i = 0; i < 200; ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
  }
  test::WriteFile(s.Local("big.bin"), "the old local version", T0);
  s.Compare();
  Listener l;
  l.onProgress = [&] {
    if (l.job->Totals().currentFileDone > 0) s.server->Stop();
  };
  const auto job = s.Run(Both(), &l);
  ASSERT_EQ(job->Outcomes().size(), 1u);
  EXPECT_FALSE(job->Outcomes()[0].ok);
  EXPECT_EQ(test::ReadFile(s.Local("big.bin")), "the old local version");
  EXPECT_TRUE(TemporaryFiles(s.local.path()).empty());
  EXPECT_EQ(s.States(), (Lines{"< /big.bin"}));
}

TEST(Delete, EitherSideAndBoth) {
  START_SYNC(s);
  test::WriteFile(s.Local("both.txt"), "L", T0);
  test::WriteFile(s.Remote("both.txt"), "R", T0);
  test::WriteFile(s.Local("a.txt"), "L", T0);
  test::WriteFile(s.Remote("A.TXT"), "R", T0);
  test::WriteFile(s.Local("b.txt"), "L", T0);
  test::WriteFile(s.Remote("b.txt"), "R", T0);
  chmod(s.Local("b.txt").c_str(), 0444);  // read-only files can be deleted
  s.Compare();
  CFolderRecord& root = *s.collection.GetAt(0);
  ASSERT_EQ(root.entries.size(), 3u);
  CFileEntry* a = root.entries[0].get();
  CFileEntry* b = root.entries[1].get();
  CFileEntry* both = root.entries[2].get();
  struct : IFolderNotify {
    int n = 0;
    void FolderChanged(CFolderRecord*) override { ++n; }
  } notify;
  // Remote only: the remote name is the server's own spelling.
  FtpFileSystem remote(s.session);
  LocalFileSystem disk("/");
  DeleteCounts c = DeleteEntries(s.collection, root, {a}, false, true, &disk, &remote, false, &notify);
  EXPECT_EQ(c.remoteDeleted, 1);
  EXPECT_FALSE(Exists(s.Remote("A.TXT")));
  EXPECT_EQ(a->state, CopyLocalToRemote);
  // Local only.
  c = DeleteEntries(s.collection, root, {b}, true, false, &disk, &remote, false, &notify);
  EXPECT_EQ(c.localDeleted, 1);
  EXPECT_FALSE(Exists(s.Local("b.txt")));
  EXPECT_EQ(b->state, CopyRemoteToLocal);
  // Both sides: the entry goes.
  c = DeleteEntries(s.collection, root, {both}, true, true, &disk, &remote, false, &notify);
  EXPECT_EQ(c.localDeleted + c.remoteDeleted, 2);
  EXPECT_EQ(root.entries.size(), 2u);
  EXPECT_EQ(notify.n, 3);
  // A remote file that is already gone: the side stays, nothing else changes.
  std::filesystem::remove(s.Remote("b.txt"));
  c = DeleteEntries(s.collection, root, {b}, false, true, &disk, &remote, false, &notify);
  EXPECT_EQ(c.failed, 1);
  EXPECT_TRUE(b->remote.has_value());
}

TEST(TransferIntegrity, ACopyCutShortIsAFailureAndTheOldFileStays) {
  START_SYNC(f, {"--truncate-downloads", "--truncate-uploads"});
  test::WriteFile(f.Remote("new.bin"), Bytes(300000, 'a'), T0);
  test::WriteFile(f.Remote("newer.bin"), Bytes(200000, 'b'), T0 + 100);
  test::WriteFile(f.Local("newer.bin"), "the old local version", T0);
  test::WriteFile(f.Local("up-new.bin"), Bytes(100000, 'c'), T0);
  test::WriteFile(f.Local("up-newer.bin"), Bytes(150000, 'd'), T0 + 100);
  test::WriteFile(f.Remote("up-newer.bin"), "the old remote version", T0);
  f.Compare();
  const Lines states{"< /new.bin", "< /newer.bin", "> /up-new.bin", "> /up-newer.bin"};
  ASSERT_EQ(f.States(), states);
  auto job = f.Run(Both());
  ASSERT_EQ(job->Outcomes().size(), 4u);
  // Downloads are checked against the listed size, uploads' temporary files
  // before the rename.
  for (const auto& [name, text] : {std::pair{"new.bin", "incomplete download"}, {"newer.bin", "incomplete download"},
                                   {"up-new.bin", "4096 of 100000 bytes"}, {"up-newer.bin", "4096 of 150000 bytes"}}) {
    const TransferOutcome* o = f.Outcome(*job, name);
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->ok) << name;
    EXPECT_NE(o->error.find(text), std::string::npos) << o->error;
  }
  EXPECT_FALSE(std::filesystem::exists(f.Local("new.bin")));
  EXPECT_EQ(test::ReadFile(f.Local("newer.bin")), "the old local version");
  EXPECT_FALSE(std::filesystem::exists(f.Remote("up-new.bin")));
  EXPECT_EQ(test::ReadFile(f.Remote("up-newer.bin")), "the old remote version");
  EXPECT_TRUE(TemporaryFiles(f.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(f.serverRoot.path()).empty());
  // Nothing passes for in step, now or after a fresh compare.
  EXPECT_EQ(f.States(), states);
  f.Compare();
  EXPECT_EQ(f.States(), states);
}

TEST(TransferIntegrity, ATimeTheServerWillNotSetIsAWarningForThatFile) {
  START_SYNC(f, {"--refuse-times"});
  test::WriteFile(f.Local("up.txt"), "local", T0);
  test::WriteFile(f.Remote("down.txt"), "remote", T0);
  f.Compare();
  auto job = f.Run(Both());
  ASSERT_EQ(job->Outcomes().size(), 2u);
  const TransferOutcome* up = f.Outcome(*job, "up.txt");
  const TransferOutcome* down = f.Outcome(*job, "down.txt");
  ASSERT_TRUE(up && down);
  EXPECT_TRUE(up->ok);  // the bytes are there
  EXPECT_NE(up->warning.find("the time could not be set"), std::string::npos) << up->warning;
  EXPECT_NE(up->warning.find("550"), std::string::npos) << up->warning;
  EXPECT_EQ(test::ReadFile(f.Remote("up.txt")), "local");
  EXPECT_TRUE(down->ok);
  EXPECT_TRUE(down->warning.empty()) << down->warning;
}

TEST(TransferIntegrity, AStaleTemporaryFileIsNamedByACompareAndSweptBeforeASync) {
  START_SYNC(f);
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t twoDaysAgo = now - 2 * 86400, anHourAgo = now - 3600;
  // Left by a run that ended abruptly, more than a day ago: swept.
  test::WriteFile(f.Local(".twinbay-a.bin.partX1y2Z3"), "partial", twoDaysAgo);
  test::WriteFile(f.Local("sub/.twinbay-b.bin.part"), "partial", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-c.bin.part"), "partial", twoDaysAgo);
  test::WriteFile(f.Remote("sub/.twinbay-d.bin.part2-0123456789ab"), "partial", twoDaysAgo);
  // Too young (perhaps another run's copy in progress), or not a name the
  // transfer makes: kept.
  test::WriteFile(f.Local(".twinbay-e.bin.partQWERTY"), "busy", anHourAgo);
  test::WriteFile(f.Remote(".twinbay-f.bin.part"), "busy", anHourAgo);
  test::WriteFile(f.Local(".twinbay-notes.partial"), "mine", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-g.bin.part.keep"), "mine", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-h.bin.part-0123456789AB"), "mine", twoDaysAgo);
  test::WriteFile(f.Local("sub/x.txt"), "x", T0);
  // A compare only names them.
  f.Compare();
  std::vector<std::string> kept = f.comparer.StaleTempsKept();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (Lines{"local " + f.Local(".twinbay-a.bin.partX1y2Z3"), "local " + f.Local("sub/.twinbay-b.bin.part"),
                         "remote /site/.twinbay-c.bin.part", "remote /site/sub/.twinbay-d.bin.part2-0123456789ab"}));
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 0);
  EXPECT_EQ(TemporaryFiles(f.local.path()).size() + TemporaryFiles(f.serverRoot.path()).size(), 9u);
  f.comparer.SetRemoveStaleTemps(true);
  f.Compare();
  EXPECT_TRUE(f.comparer.StaleTempsKept().empty());
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 4);
  EXPECT_EQ(TemporaryFiles(f.local.path()).size(), 2u);
  EXPECT_EQ(TemporaryFiles(f.serverRoot.path()).size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(f.Local(".twinbay-e.bin.partQWERTY")));
  EXPECT_TRUE(std::filesystem::exists(f.Remote(".twinbay-f.bin.part")));
  EXPECT_TRUE(std::filesystem::exists(f.Local(".twinbay-notes.partial")));
  EXPECT_TRUE(std::filesystem::exists(f.Remote(".twinbay-g.bin.part.keep")));
  EXPECT_EQ(f.States(), (Lines{"> /sub/x.txt"}));
  f.Compare();
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 0);
}

// A real connection that refuses some renames, as some servers do, and may
// break a store under the file's own name part way. It logs the commands with
// the run's tag of a temporary name as "*" (the tags go to `runTags`).
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
  std::vector<std::string> expected;  // what reached the server for the upload
};

TEST(Transfer, UploadsGoThroughATemporaryFileAndNeverLeaveAPartOrLoseTheOldFileNeedlessly) {
  const std::string tmp = "/site/.twinbay-a.txt.part-*", tmp2 = "/site/.twinbay-a.txt.part2-*";
  for (const RenameCase& c : {
           // A new file too goes to a temporary name first.
           RenameCase{RefusingRenames::OverExisting, false, {"STOR " + tmp, "RNTO /site/a.txt"}},
           // Renames work, but not over a file: the old one goes just before the rename.
           RenameCase{RefusingRenames::OverExisting, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE /site/a.txt", "RNTO /site/a.txt"}},
           // No renames at all: the old file is never deleted; the upload goes straight over it.
           RenameCase{RefusingRenames::All, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE " + tmp, "STOR /site/a.txt"}},
           // ... and what a store that broke left is removed.
           RenameCase{RefusingRenames::AllAndBreak, true,
                      {"STOR " + tmp, "RNTO /site/a.txt", "RNTO " + tmp2, "DELE " + tmp, "STOR /site/a.txt",
                       "DELE /site/a.txt"}},
       }) {
    SCOPED_TRACE(c.expected.back());
    TempDir local, root;
    test::WriteFile(local / "a.txt", "new version", T0 + 100);
    if (c.replacing) test::WriteFile(root / "site/a.txt", "old", T0);
    else test::MakeFolder(root / "site");
    auto server = FtpTestServer::StartPyftpdlib(root.path(), {});
    ASSERT_TRUE(server) << "pyftpdlib did not start";
    std::vector<std::string> log;
    CFtpSession session([&](const FtpLogin& login) -> std::unique_ptr<IFtpConnection> {
      return std::make_unique<RefusingRenames>(MakeCurlFtpConnection(login), c.mode, &log);
    });
    ASSERT_TRUE(session.Connect("127.0.0.1", server->user(), server->password(), server->port()));
    CFolderCollection collection;
    FtpFileSystem lister(session);
    test::CompareInto(collection, lister, local.path(), "/site");
    SyncTotals totals;
    FtpFileSystem remoteFs(session);
    const auto job = test::Transfer(collection, totals, remoteFs, Both());
    ASSERT_EQ(job->Outcomes().size(), 1u);
    EXPECT_EQ(log, c.expected);
    EXPECT_TRUE(TemporaryFiles(root.path()).empty());
    const TransferOutcome& out = job->Outcomes()[0];
    if (c.mode == RefusingRenames::AllAndBreak) {
      EXPECT_FALSE(out.ok);
      EXPECT_NE(out.error.find("the partial copy was removed"), std::string::npos) << out.error;
      EXPECT_FALSE(std::filesystem::exists(root / "site/a.txt"));
      EXPECT_EQ(collection.GetAt(0)->entries[0]->state, CopyLocalToRemote);
    } else {
      EXPECT_TRUE(out.ok) << out.error;
      EXPECT_EQ(test::ReadFile(root / "site/a.txt"), "new version");
      EXPECT_EQ(collection.GetAt(0)->entries[0]->state, InStep);
    }
  }
  EXPECT_EQ(runTags.size(), 4u);  // each run its own temporary names
}

}  // namespace
}  // namespace twinbay
