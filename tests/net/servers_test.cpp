// The same end-to-end cases against each server on loopback: pyftpdlib,
// vsftpd, proftpd, pure-ftpd over FTP; OpenSSH's sshd over SFTP.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <tuple>

#include "engine/comparer.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "fs/local_fs.h"
#include "net/sftp_fs.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::SshTestServer;
using test::TempDir;
using Kind = FtpTestServer::Kind;
enum class Server { Pyftpdlib, Vsftpd, Proftpd, PureFtpd, Sshd };
std::string Name(Server s) { return s == Server::Sshd ? "sshd" : FtpTestServer::Name(static_cast<Kind>(s)); }

// One server with the remote folder "site" in what it serves, a local
// mirror folder, and the remote opened as a file system.
struct Site {
  TempDir folder, localRoot;
  std::unique_ptr<FtpTestServer> ftp;
  std::unique_ptr<SshTestServer> ssh;
  CFtpSession session;
  std::unique_ptr<IFileSystem> fs;
  CFolderCollection collection;
  std::string local, remote, data, why;
  // A server that could not start leaves `why` set: each test asserts
  // Started() first, so it fails with the reason and touches nothing.
  explicit Site(Server kind, const FtpTestServer::PyOptions* py = nullptr) {
    chmod(folder.path().c_str(), 0755);
    if (kind == Server::Sshd) {
      ssh = SshTestServer::StartSshd(folder.path(), &why, {}, SshTestServer::Login::Account);
    } else if (py) {
      std::filesystem::create_directories(folder / "root");
      ftp = FtpTestServer::StartPyftpdlib(folder / "root", *py, &why);
    } else {
      ftp = FtpTestServer::Start(static_cast<Kind>(kind), folder.path(), &why);
    }
    if (!ftp && !ssh) why = Name(kind) + " did not start: " + (why.empty() ? "no reason given" : why);
    data = ssh ? ssh->Home() : ftp ? ftp->DataDir() : folder.path();
    const std::string top = ssh ? ssh->Home() : ftp ? ftp->RemoteDir() : folder.path();
    remote = top + (top == "/" ? "" : "/") + "site";
    local = localRoot / "mirror";
  }
  bool Started() const { return ftp || ssh; }
  // "" when the remote opened, else why not.
  std::string Open() {
    if (ssh) {
      auto sftp = std::make_unique<SftpFileSystem>(ssh->ClientSettings());
      if (sftp->Connect()) fs = std::move(sftp);
      return fs ? "" : "cannot connect: " + sftp->LastError();
    }
    if (ftp && session.Connect("127.0.0.1", ftp->user(), ftp->password(), ftp->port()))
      fs = std::make_unique<FtpFileSystem>(session);
    return fs ? "" : "cannot connect: " + session.LastError();
  }
  std::string R(const std::string& rel) const { return data + "/site/" + rel; }
  std::string L(const std::string& rel) const { return local + "/" + rel; }
  void Own() { ftp ? ftp->Own(data) : ssh->Own(data); }
  void Compare() { test::CompareInto(collection, *fs, local, remote); }
  // The failures of a sync, one a line; `copies` counts the outcomes, `warned` gets the warnings.
  std::string Sync(bool up, bool down, size_t* copies = nullptr, std::string* warned = nullptr, bool mirror = false) {
    SyncTotals totals;
    std::string failed;
    TransferOptions options = test::Directions(up, down);
    options.mirror = mirror;
    const auto job = test::Transfer(collection, totals, *fs, options);
    for (const auto& o : job->Outcomes()) {
      failed += o.ok ? "" : o.localPath + ": " + o.error + "\n";
      if (warned && !o.warning.empty()) *warned += o.localPath + ": " + o.warning + "\n";
    }
    if (copies) *copies = job->Outcomes().size();
    return failed;
  }
  // "<state> path" for every entry, sorted.
  std::vector<std::string> States() {
    std::vector<std::string> out;
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      const CFolderRecord* r = collection.GetAt(i);
      const std::string rel = r->localPath.substr(local.size());
      for (const auto& e : r->entries) out.push_back(std::string(1, "<=>?"[e->state]) + " " + rel + "/" + e->Name());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  CFolderRecord* Record(const std::string& rel) {
    for (size_t i = 0; i < collection.GetCount(); ++i)
      if (collection.GetAt(i)->localPath == (rel.empty() ? local : L(rel))) return collection.GetAt(i);
    return nullptr;
  }
  // Deletes `name` in the folder `rel` on the sides asked; how many went.
  int Delete(const std::string& rel, const std::string& name, bool here, bool there) {
    LocalFileSystem disk("/");
    for (auto& e : Record(rel)->entries)
      if (e->Name() == name) {
        const DeleteCounts d = DeleteEntries(collection, *Record(rel), {e.get()}, here, there, &disk, fs.get(), false,
                                             nullptr);
        return d.localDeleted + d.remoteDeleted;
      }
    return -1;
  }
  // Replies refusing a command (FTP) or a request (SFTP).
  uint64_t Refused() {
    if (ssh) return fs ? static_cast<SftpFileSystem&>(*fs).RefusedRequests() : 99;
    return session.GetConnection() ? session.GetConnection()->RefusedReplies() : 99;
  }
};

class EveryServer : public ::testing::TestWithParam<Server> {};

// Compare (folder names a listing command could misread), sync both ways with
// new folders and delete, refused nothing; a folder the server will not list
// is incomplete and nothing in it is copied or deleted. A server file changed
// or made since the compare is never replaced; a time the protocol cannot
// carry is not set (never wrapped) and never makes its side the newer one.
TEST_P(EveryServer, CompareSyncAndDeleteRefusedNothingAndNothingInAFolderNotListed) {
  FtpTestServer::PyOptions py;
  py.refuseList = "locked";  // pyftpdlib serves as root: no folder mode locks it out
  Site s(GetParam(), GetParam() == Server::Pyftpdlib ? &py : nullptr);
  ASSERT_TRUE(s.Started()) << s.why;
  const int64_t T = test::ThreeHoursAgo();
  for (const auto& [rel, there, tThere, here, tHere] :
       {std::tuple{"same.txt", "same", 0, "same", 0}, {"newer-remote.txt", "remote new", 600, "local old", 0},
        {"newer-local.txt", "remote old", 0, "local new", 600},
        {"locked/page.html", "newer on the server", 600, "older here", 0}}) {
    test::WriteFile(s.R(rel), there, T + tThere);
    test::WriteFile(s.L(rel), here, T + tHere);
  }
  test::WriteFile(s.R("from-server/inner/down.txt"), "down", T);
  test::WriteFile(s.R(".hidden-remote"), "dot", T);
  test::WriteFile(s.L("new/a.txt"), "a", T);
  test::WriteFile(s.L("empty-parent/mid/deep/b.txt"), "b", T);  // folders without files above
  test::WriteFile(s.L(".hidden-local"), "dot", T);
  test::WriteFile(s.L("locked/sub/x.txt"), "x", T);
  test::WriteFile(s.L("changed-there.txt"), "mine", T + 600);
  test::WriteFile(s.R("changed-there.txt"), "old", T);
  test::WriteFile(s.L("appeared-there.txt"), "mine", T);
  test::WriteFile(s.L("1965.txt"), "old", test::UnixTime(1965, 5, 6, 7, 8, 9));
  test::WriteFile(s.L("2110.txt"), "far", test::UnixTime(2110, 5, 6, 7, 8, 9));
  // In step on both sides: a listing of the wrong folder, or of none, shows a
  // file as one-sided. "x" is what the pattern "[x]" would match.
  const std::vector<std::string> awkward = {"two words", " leading", "trailing ", "-a", "-l", "-la x",
                                            "ünïcödé", "[x]", "a*b", "x"};
  for (const std::string& name : awkward) {
    test::WriteFile(s.R("odd/" + name + "/in.txt"), name, T);
    test::WriteFile(s.L("odd/" + name + "/in.txt"), name, T);
  }
  test::WriteFile(s.R("odd/x/only-in-x.txt"), "x", T);
  test::WriteFile(s.L("odd/x/only-in-x.txt"), "x", T);
  // Modes: a replaced file keeps its own, a new one gets its side's default
  // with the source's execute bits (where the protocol tells them).
  const int def = LocalFileSystem("/").Capabilities().newFileMode;
  const bool sftp = GetParam() == Server::Sshd;
  for (const auto& [p, mode] : {std::pair{s.R("newer-local.txt"), 0600}, {s.L("newer-remote.txt"), 0755},
                                {s.L("new/a.txt"), 0755}, {s.L(".hidden-local"), 0600},
                                {s.R(".hidden-remote"), 0755}, {s.R("from-server/inner/down.txt"), sftp ? 0600 : 0644}})
    chmod(p.c_str(), mode);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  chmod(s.R("locked").c_str(), 0);
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  std::vector<std::string> expected{"< /.hidden-remote", "< /from-server/inner/down.txt", "< /newer-remote.txt",
             "= /same.txt",       "> /.hidden-local",               "> /empty-parent/mid/deep/b.txt",
             "> /new/a.txt",      "> /newer-local.txt",             "= /odd/x/only-in-x.txt",
             "? /locked/page.html", "> /changed-there.txt", "> /appeared-there.txt", "> /1965.txt", "> /2110.txt"};
  for (const std::string& name : awkward) expected.push_back("= /odd/" + name + "/in.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(s.States(), expected);
  for (size_t i = 0; i < s.collection.GetCount(); ++i)
    EXPECT_EQ(s.collection.GetAt(i)->incomplete, s.collection.GetAt(i) == s.Record("locked"))
        << s.collection.GetAt(i)->localPath;
  for (const auto& e : s.Record("locked")->entries) EXPECT_FALSE(e->tagged) << e->Name();
  uint64_t refused = s.Refused();
  EXPECT_EQ(refused, 1u) << "only the folder not listed is refused";
  test::WriteFile(s.R("changed-there.txt"), "their edit", T + 900);
  test::WriteFile(s.R("appeared-there.txt"), "theirs", T + 900);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  size_t copies = 0;
  std::string warned;
  const std::string failed = s.Sync(true, true, &copies, &warned);
  EXPECT_EQ(std::count(failed.begin(), failed.end(), '\n'), 2) << failed;
  EXPECT_NE(failed.find("changed-there.txt: not copied: the file on the server changed since the compare"),
            std::string::npos) << failed;
  EXPECT_NE(failed.find("appeared-there.txt: not copied: the file on the server changed since the compare"),
            std::string::npos) << failed;
  EXPECT_EQ(test::ReadFile(s.R("changed-there.txt")) + test::ReadFile(s.R("appeared-there.txt")), "their edittheirs");
  EXPECT_EQ(copies, 11u);
  // 1965 is before what SFTP and FTP carry, 2110 after SFTP's: the server keeps its own clock's time.
  EXPECT_NE(warned.find("1965.txt: the time could not be set: the time 1965-05-06T07:08:09Z is outside"),
            std::string::npos) << warned;
  EXPECT_EQ(warned.find("2110.txt: the time could not be set") != std::string::npos, sftp) << warned;
  for (const char* name : {"1965.txt", "2110.txt"}) {
    struct stat st;
    EXPECT_TRUE(stat(s.R(name).c_str(), &st) == 0 && (st.st_mtime > T || !sftp)) << name;
  }
  std::string got;
  for (const std::string& f : {s.R("newer-local.txt"), s.R("empty-parent/mid/deep/b.txt"), s.L("newer-remote.txt"),
                               s.L("from-server/inner/down.txt"), s.L(".hidden-remote")})
    got += test::ReadFile(f) + "|";
  EXPECT_EQ(got, "local new|b|remote new|down|dot|");
  const std::pair<std::string, int> modes[] = {
      {s.L("newer-remote.txt"), 0755}, {s.L(".hidden-remote"), sftp ? def | (0111 & def >> 2) : def},
      {s.L("from-server/inner/down.txt"), def}, {sftp ? s.R("newer-local.txt") : "", 0600},
      {sftp ? s.R("new/a.txt") : "", 0755}, {sftp ? s.R(".hidden-local") : "", 0644}};
  for (const auto& [path, mode] : modes)
    EXPECT_TRUE(path.empty() || static_cast<int>(std::filesystem::status(path).permissions()) == mode) << path;
  EXPECT_EQ(test::ReadFile(s.R("locked/page.html")), "newer on the server");
  EXPECT_FALSE(std::filesystem::exists(s.R("locked/sub")));
  EXPECT_EQ(s.Refused(), refused) << "a normal sync drew refused replies";
  s.Compare();
  refused = s.Refused();
  // Left for the next run: the server's newer files, and its copies of the
  // files whose times it could not take (its time wins over one out of range).
  const std::set<std::string> left = {"? /locked/page.html", "< /changed-there.txt", "< /appeared-there.txt",
                                      "< /1965.txt", sftp ? "< /2110.txt" : "= /2110.txt"};
  for (const std::string& line : s.States()) EXPECT_TRUE(line[0] == '=' || left.count(line)) << line;
  // Delete one file on the server, one locally, and none in the folder not listed.
  EXPECT_EQ(s.Delete("", "same.txt", false, true), 1);
  LocalFileSystem disk("/");
  EXPECT_EQ(s.Delete("", "newer-local.txt", true, false), 1);
  EXPECT_EQ(s.Delete("locked", "page.html", true, true), 0);
  EXPECT_FALSE(std::filesystem::exists(s.R("same.txt")));
  EXPECT_FALSE(std::filesystem::exists(s.L("newer-local.txt")));
  EXPECT_EQ(test::ReadFile(s.L("locked/page.html")), "older here");
  EXPECT_EQ(test::ReadFile(s.R("locked/page.html")), "newer on the server");
  EXPECT_EQ(s.Refused(), refused) << "a normal delete drew refused replies";
  // SHA-256 where the server gives it (proftpd with mod_digest: HASH after
  // OPTS HASH; sshd: sha256sum over an exec channel), found out unrefused.
  const bool hashes = sftp || GetParam() == Server::Proftpd;
  std::string mine, theirs;
  ASSERT_TRUE(disk.Hash(s.L("odd/two words/in.txt"), HashKind::Sha256, mine));
  EXPECT_EQ(s.fs->HashKinds() & 1u, hashes ? 1u : 0u);
  EXPECT_EQ(s.fs->Hash(s.remote + "/odd/two words/in.txt", HashKind::Sha256, theirs), hashes) << s.fs->LastError();
  EXPECT_EQ(theirs, hashes ? mine : "");
  EXPECT_EQ(s.Refused(), refused) << "finding the hashes drew refused replies";
  // A file being written is made new and private (whoever could read its folder).
  for (IFileSystem* fs : {static_cast<IFileSystem*>(&disk), sftp ? s.fs.get() : nullptr}) {
    const std::string path = (fs == &disk ? s.localRoot.path() : s.data) + "/being-written";
    auto mode = std::filesystem::perms::none;
    const auto source = [&, n = 0](char* b, size_t) mutable {
      return n++ ? 0L : (mode = std::filesystem::status(path).permissions(), *b = 1, 1L);
    };
    EXPECT_TRUE(!fs || (fs->Write(path, source, 1) && static_cast<int>(mode) == 0600 && !fs->Write(path, source, 1)));
  }
}

// Names and replies that could hide a file or alias another ("\\", "total
// 123", " -> ", byte 0xFF, an unreadable folder) hide nothing, leave their
// folder incomplete where unreadable, and nothing newer there is overwritten;
// a name FTP cannot send is left alone on both sides, and the rest of its
// folder synchronises.
TEST_P(EveryServer, NamesThatCouldHideOrAliasAFileHideNothing) {
  Site s(GetParam());
  ASSERT_TRUE(s.Started()) << s.why;
  const int64_t T = test::ThreeHoursAgo();
  const std::string iac1 = "c\xff" "d.txt", iac2 = "c\xff\xff" "d.txt";
  const std::vector<std::string> newer = {"a\\b.txt", "total 123", "unread/u.txt", "iac/" + iac1,
                                           "links/t.txt", "iac/tab\tname.txt"};
  for (const std::string& name : newer) {
    test::WriteFile(s.R(name), "newer on the server", T + 600);
    test::WriteFile(s.L(name), "older here", T);
  }
  test::WriteFile(s.L("iac/" + iac2), "older here", T);
  test::WriteFile(s.R("iac-only/" + iac1), "there", T);  // a mirror never removes its folder (nor tries)
  test::WriteFile(s.R("iac/plain.txt"), "older there", T);  // newer here, beside names left alone
  test::WriteFile(s.L("iac/plain.txt"), "newer here", T + 600);
  std::filesystem::create_symlink("t.txt", s.R("links/p -> q"));
  test::WriteFile(s.L("links/p -> q"), "older here", T);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  chmod(s.R("unread").c_str(), 0333);
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  const std::vector<std::string> states = s.States();
  for (const char* kept : {"< /a\\b.txt", "< /total 123"})
    EXPECT_NE(std::find(states.begin(), states.end(), kept), states.end()) << kept;
  EXPECT_FALSE(s.Record("")->incomplete) << s.Record("")->incompleteReason;
  // pyftpdlib shows byte 0xFF as "?", serves as root (no mode locks it out), fails 0xFF uploads.
  const bool py = GetParam() == Server::Pyftpdlib, sftp = GetParam() == Server::Sshd;
  CFolderRecord* iac = s.Record("iac");
  EXPECT_FALSE(iac->incomplete) << iac->incompleteReason;
  // Over FTP the names here and the server's are left alone (pure-ftpd hides a tab, pyftpdlib shows 0xFF as "?").
  EXPECT_EQ(iac->leftAlone, sftp ? 0 : GetParam() == Server::PureFtpd ? 4 : py ? 4 : 5);
  EXPECT_EQ(iac->skipped.size(), static_cast<size_t>(iac->leftAlone));
  for (const auto& e : iac->entries) EXPECT_TRUE(sftp || e->Name().find_first_of("\t\xff") == std::string::npos);
  EXPECT_TRUE(py || s.Record("unread")->incomplete);
  for (const auto& e : s.Record("links")->entries) EXPECT_NE(e->state, CopyLocalToRemote) << e->Name();
  const uint64_t refused = s.Refused();
  EXPECT_EQ(s.Sync(true, false, nullptr, nullptr, true), "");
  EXPECT_EQ(s.Refused(), refused);
  chmod(s.R("unread").c_str(), 0755);
  EXPECT_EQ(test::ReadFile(s.R("iac/plain.txt")), "newer here");
  EXPECT_EQ(test::ReadFile(s.L("iac/" + iac1)) + test::ReadFile(s.R("iac-only/" + iac1)), "older herethere");
  // A path holding byte 0xFF never reaches an FTP server as a command.
  EXPECT_TRUE(sftp || !s.fs->Remove(s.remote + "/iac/" + iac1));
  for (const std::string& name : newer) EXPECT_EQ(test::ReadFile(s.R(name)), "newer on the server") << name;
  EXPECT_EQ(std::filesystem::exists(s.R("iac/" + iac2)), sftp);
}

// Copies never write through a link and keep long names and the local
// modes; a link on the server is what it leads to, one up the tree is not
// walked, one leading nowhere is told.
TEST_P(EveryServer, CopiesNeverWriteThroughALinkAndALinkIsWhatItLeadsTo) {
  Site s(GetParam());
  ASSERT_TRUE(s.Started()) << s.why;
  const bool py = GetParam() == Server::Pyftpdlib;
  const int64_t T = test::ThreeHoursAgo();
  // Names of 251 bytes: their temporary names are shortened (whole characters kept).
  std::string name;
  for (int i = 0; i < 122; ++i) name += "\xC3\xBC";
  test::WriteFile(s.R("dn" + name + ".txt"), "down", T + 600);
  test::WriteFile(s.L("up" + name + ".txt"), "up", T + 600);
  test::WriteFile(s.R("kept.txt"), "newer", T + 600);
  test::WriteFile(s.L("kept.txt"), "older", T);
  chmod(s.L("kept.txt").c_str(), 0600);
  // An upload of a link's name replaces the link and never makes its target.
  std::filesystem::create_symlink("../victim.txt", s.R("link.txt"));
  test::WriteFile(s.L("link.txt"), "mine", T + 600);
  if (!py) {  // pyftpdlib does not show links
    test::WriteFile(s.R("target.txt"), "12345", T);
    test::WriteFile(s.R("dir/inner.txt"), "inner", T);
    std::filesystem::create_symlink("target.txt", s.R("to-file"));
    std::filesystem::create_symlink("target.txt", s.R("up-over-link"));  // newer here: the link is replaced
    test::WriteFile(s.L("up-over-link"), "mine", T + 600);
    std::filesystem::create_directory_symlink("dir", s.R("to-dir"));
    std::filesystem::create_directory_symlink("..", s.R("up"));
    std::filesystem::create_symlink("missing.txt", s.R("nowhere"));
  }
  ASSERT_NO_FATAL_FAILURE(s.Own());
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  const CFolderRecord* root = s.Record("");
  if (!py) {
    // Over SFTP only asking after the links leading nowhere is refused.
    EXPECT_EQ(s.Refused(), s.ssh ? 2u : 0u);
    ASSERT_NE(s.Record("up"), nullptr);
    EXPECT_TRUE(s.Record("up")->entries.empty());
    // Those leading nowhere are told (proftpd leaves them out of its listing),
    // and named after every listing: there, so never read as deleted.
    EXPECT_EQ(root->skipped.size(), GetParam() == Server::Proftpd ? 0u : 2u);
    for (int listing = 0; listing < 2; ++listing) {
      ScanList entries;
      ASSERT_TRUE(s.fs->List(s.remote, entries));
      auto leftOut = s.fs->TakeLeftOut();
      std::sort(leftOut.begin(), leftOut.end());
      const std::vector<std::string> expected = {"link.txt", "nowhere"};
      EXPECT_EQ(leftOut, GetParam() == Server::Proftpd ? std::vector<std::string>() : expected);
    }
  }
  const mode_t mask = umask(027);
  EXPECT_EQ(s.Sync(true, true), "");
  umask(mask);
  EXPECT_EQ(test::ReadFile(s.L("dn" + name + ".txt")) + test::ReadFile(s.R("up" + name + ".txt")), "downup");
  EXPECT_FALSE(std::filesystem::exists(s.data + "/victim.txt"));
  EXPECT_FALSE(std::filesystem::is_symlink(s.R("link.txt")));
  EXPECT_EQ(test::ReadFile(s.R("link.txt")), "mine");
  EXPECT_EQ(py ? "12345inner" : test::ReadFile(s.L("to-file")) + test::ReadFile(s.L("to-dir/inner.txt")),
            "12345inner");
  EXPECT_TRUE(py || (!std::filesystem::is_symlink(s.R("up-over-link")) && test::ReadFile(s.R("target.txt")) == "12345"))
      << "a link the compare followed is replaced by an upload over it";
  for (const auto& [file, mode] : {std::pair{s.L("kept.txt"), 0600u}, {s.L("dn" + name + ".txt"), 0640u}}) {
    struct stat st;
    EXPECT_EQ(stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, mode) << file;  // the old file's, the umask's
  }
  EXPECT_TRUE(test::TemporaryFiles(s.folder.path()).empty() && test::TemporaryFiles(s.localRoot.path()).empty());
}

// A link on either side is followed for copies, never for a deletion (a
// mirror's, by hand) nor an emptied folder's removal: on the server a link
// to a folder synchronised under its own name and one to a folder outside,
// here one to a folder elsewhere. A loop met through a second link is not walked.
TEST_P(EveryServer, NothingIsDeletedThroughALinkAndALoopBehindOneIsNotWalked) {
  Site s(GetParam());
  // pyftpdlib lists a link as what it leads to: one folder under two names
  // (realdir, lnkdir) is all that tells it, and only one inside the served tree.
  const bool links = GetParam() != Server::Pyftpdlib;
  namespace fs = std::filesystem;
  const std::string outside = s.data + "/outside", elsewhere = s.localRoot / "elsewhere";
  for (const std::string& file : {s.R("realdir/x.txt"), outside + "/o.txt", elsewhere + "/e.txt"})
    test::WriteFile(file, "x", test::ThreeHoursAgo());
  fs::create_directories(outside + "/empty"), fs::create_directories(elsewhere + "/empty");
  std::vector<std::string> through = {"mine/linked", "lnkdir", "realdir"};
  fs::create_directory_symlink(".", s.R("realdir/loop"));
  fs::create_directory_symlink("realdir", s.R("lnkdir"));
  if (links) fs::create_directory_symlink("../outside", s.R("ext")), through.back() = "ext";
  fs::create_directories(s.L("mine"));
  fs::create_directory_symlink(".", elsewhere + "/loop");
  fs::create_directory_symlink(elsewhere, s.L("mine/linked"));
  ASSERT_NO_FATAL_FAILURE(s.Own());
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  EXPECT_TRUE(s.Record("lnkdir/loop")->entries.empty() && !s.Record("lnkdir/loop/loop") &&
              s.Record("mine/linked/loop")->entries.empty() && s.Record("realdir")->remoteThroughLink == !links);
  for (const std::string& rel : through) {
    for (auto& e : s.Record(rel)->entries) e->state = e->local ? DeleteLocal : DeleteRemote;
    EXPECT_EQ(s.Delete(rel, s.Record(rel)->entries.at(0)->Name(), true, true), 0) << rel;
  }
  TransferOptions mirror = test::Directions(true, true);
  mirror.deleteFollowing = mirror.mirror = true;
  SyncTotals totals;
  const auto job = test::Transfer(s.collection, totals, *s.fs, mirror);
  for (const TransferOutcome& o : job->Outcomes()) EXPECT_TRUE(o.ok && !o.deletion) << o.localPath << ": " << o.error;
  for (const std::string& kept : {outside + "/o.txt", outside + "/empty", elsewhere + "/e.txt", elsewhere + "/empty"})
    EXPECT_TRUE(fs::exists(kept) && fs::exists(s.R("realdir/x.txt"))) << kept;
}

INSTANTIATE_TEST_SUITE_P(Servers, EveryServer,
                         ::testing::Values(Server::Pyftpdlib, Server::Vsftpd, Server::Proftpd, Server::PureFtpd,
                                           Server::Sshd),
                         [](const auto& info) { return Name(info.param); });

}  // namespace
}  // namespace twinbay
