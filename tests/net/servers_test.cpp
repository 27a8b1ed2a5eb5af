// The same end-to-end cases against each server on loopback (pyftpdlib,
// vsftpd, proftpd, pure-ftpd over FTP; OpenSSH's sshd over SFTP, signed in to
// an account of its own): compare (with folder names that a listing command
// could misread), sync both ways with new folders, delete, and a folder the
// server refuses to list. A normal sync is refused nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "engine/comparer.h"
#include "engine/paths.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "net/local_fs.h"
#include "net/sftp_fs.h"
#include "net/transfer.h"
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
// The four FTP servers' kinds, then sshd.
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
  std::string local, remote, data;

  explicit Site(Server kind, const FtpTestServer::PyOptions* py = nullptr) {
    chmod(folder.path().c_str(), 0755);
    std::string why;
    if (kind == Server::Sshd) {
      ssh = SshTestServer::StartSshd(folder.path(), &why, {}, SshTestServer::Login::Account);
    } else if (py) {
      std::filesystem::create_directories(folder / "root");
      ftp = FtpTestServer::StartPyftpdlib(folder / "root", *py, &why);
    } else {
      ftp = FtpTestServer::Start(static_cast<Kind>(kind), folder.path(), &why);
    }
    // A server that cannot start fails the test: it is never skipped.
    if (!ftp && !ssh) ADD_FAILURE() << Name(kind) << ": " << why;
    data = ssh ? ssh->Home() : ftp ? ftp->DataDir() : "";
    const std::string top = ssh ? ssh->Home() : ftp ? ftp->RemoteDir() : "";
    remote = top + (top == "/" ? "" : "/") + "site";
    local = localRoot / "mirror";
  }
  // Opens the remote; "" when that worked, else why not.
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

  void Compare() {
    test::CompareInto(collection, *fs, local, remote);
  }
  std::vector<TransferOutcome> Sync(bool up, bool down) {
    SyncTotals totals;
    return test::Transfer(collection, totals, *fs, test::Directions(up, down))->Outcomes();
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
  const CFolderRecord* Record(const std::string& rel) {
    for (size_t i = 0; i < collection.GetCount(); ++i)
      if (collection.GetAt(i)->localPath == (rel.empty() ? local : L(rel))) return collection.GetAt(i);
    return nullptr;
  }
  // Replies refusing a command (FTP) or a request (SFTP).
  uint64_t Refused() {
    if (ssh) return fs ? static_cast<SftpFileSystem&>(*fs).RefusedRequests() : 99;
    return session.GetConnection() ? session.GetConnection()->RefusedReplies() : 99;
  }
};

class EveryServer : public ::testing::TestWithParam<Server> {};

std::string Failures(const std::vector<TransferOutcome>& outcomes) {
  std::string s;
  for (const auto& o : outcomes)
    if (!o.ok) s += o.localPath + ": " + o.error + "\n";
  return s;
}

TEST_P(EveryServer, CompareSyncBothWaysWithNewFoldersThenDeleteWithoutOneRefusedReply) {
  Site s(GetParam());
  const int64_t T = test::ThreeHoursAgo();
  test::WriteFile(s.R("same.txt"), "same", T);
  test::WriteFile(s.R("newer-remote.txt"), "remote new", T + 600);
  test::WriteFile(s.R("newer-local.txt"), "remote old", T);
  test::WriteFile(s.R("from-server/inner/down.txt"), "down", T);
  test::WriteFile(s.R(".hidden-remote"), "dot", T);
  test::WriteFile(s.L("same.txt"), "same", T);
  test::WriteFile(s.L("newer-remote.txt"), "local old", T);
  test::WriteFile(s.L("newer-local.txt"), "local new", T + 600);
  test::WriteFile(s.L("new/a.txt"), "a", T);
  test::WriteFile(s.L("empty-parent/mid/deep/b.txt"), "b", T);  // folders without files above
  test::WriteFile(s.L(".hidden-local"), "dot", T);
  // Folders whose names a listing command could misread (blanks, option-like,
  // non-ASCII, pattern characters), each in step on both sides: a listing of
  // the wrong folder, or of none, shows its file as one-sided. "x" is what the
  // pattern "[x]" would match.
  const std::vector<std::string> awkward = {"two words", " leading", "trailing ", "-a", "-l", "-la x",
                                            "ünïcödé", "[x]", "a*b", "x"};
  for (const std::string& name : awkward) {
    test::WriteFile(s.R("odd/" + name + "/in.txt"), name, T);
    test::WriteFile(s.L("odd/" + name + "/in.txt"), name, T);
  }
  test::WriteFile(s.R("odd/x/only-in-x.txt"), "x", T);
  test::WriteFile(s.L("odd/x/only-in-x.txt"), "x", T);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  ASSERT_EQ(s.Open(), "");

  s.Compare();
  using V = std::vector<std::string>;
  V expected{"< /.hidden-remote", "< /from-server/inner/down.txt", "< /newer-remote.txt",
             "= /same.txt",       "> /.hidden-local",               "> /empty-parent/mid/deep/b.txt",
             "> /new/a.txt",      "> /newer-local.txt",             "= /odd/x/only-in-x.txt"};
  for (const std::string& name : awkward) expected.push_back("= /odd/" + name + "/in.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(s.States(), expected);
  for (size_t i = 0; i < s.collection.GetCount(); ++i) EXPECT_FALSE(s.collection.GetAt(i)->incomplete);

  const auto outcomes = s.Sync(true, true);
  EXPECT_EQ(outcomes.size(), 7u);
  EXPECT_EQ(Failures(outcomes), "");
  EXPECT_EQ(test::ReadFile(s.R("newer-local.txt")), "local new");
  EXPECT_EQ(test::ReadFile(s.R("empty-parent/mid/deep/b.txt")), "b");
  EXPECT_EQ(test::ReadFile(s.L("newer-remote.txt")), "remote new");
  EXPECT_EQ(test::ReadFile(s.L("from-server/inner/down.txt")), "down");
  EXPECT_EQ(test::ReadFile(s.L(".hidden-remote")), "dot");

  s.Compare();
  for (const std::string& line : s.States()) EXPECT_EQ(line[0], '=') << line;

  // Delete one file on the server and one locally.
  CFolderRecord* root = s.collection.GetAt(0);
  CFileEntry *same = nullptr, *older = nullptr;
  for (auto& e : root->entries) {
    if (e->Name() == "same.txt") same = e.get();
    if (e->Name() == "newer-local.txt") older = e.get();
  }
  ASSERT_TRUE(same && older);
  LocalFileSystem disk("/");
  DeleteCounts d = DeleteEntries(s.collection, *root, {same}, false, true, &disk, s.fs.get(), false, nullptr);
  EXPECT_EQ(d.remoteDeleted, 1);
  d = DeleteEntries(s.collection, *root, {older}, true, false, &disk, s.fs.get(), false, nullptr);
  EXPECT_EQ(d.localDeleted, 1);
  EXPECT_FALSE(std::filesystem::exists(s.R("same.txt")));
  EXPECT_FALSE(std::filesystem::exists(s.L("newer-local.txt")));

  EXPECT_EQ(s.Refused(), 0u) << "a normal compare, sync and delete drew refused replies";
}

TEST_P(EveryServer, AFolderTheServerWillNotListIsIncompleteAndNothingInItIsCopied) {
  FtpTestServer::PyOptions py;
  py.refuseList = "locked";
  // pyftpdlib serves as root, so a mode cannot lock it out: it refuses by test mode.
  Site s(GetParam(), GetParam() == Server::Pyftpdlib ? &py : nullptr);
  const int64_t T = test::ThreeHoursAgo();
  test::WriteFile(s.R("locked/page.html"), "newer on the server", T + 600);
  test::WriteFile(s.R("open/o.txt"), "o", T);
  test::WriteFile(s.L("locked/page.html"), "older here", T);
  test::WriteFile(s.L("locked/sub/x.txt"), "x", T);
  test::WriteFile(s.L("open/new.txt"), "new", T);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  chmod(s.R("locked").c_str(), 0);
  ASSERT_EQ(s.Open(), "");

  s.Compare();
  const CFolderRecord* locked = s.Record("locked");
  ASSERT_NE(locked, nullptr);
  EXPECT_TRUE(locked->incomplete);
  EXPECT_NE(locked->incompleteReason.find(s.ssh ? "permission denied" : "55"), std::string::npos)
      << locked->incompleteReason;
  for (const auto& e : locked->entries) EXPECT_FALSE(e->tagged);
  EXPECT_GT(s.Refused(), 0u) << "the refusal is counted";
  ASSERT_NE(s.Record("locked/sub"), nullptr);  // shown, but not walked
  EXPECT_TRUE(s.Record("locked/sub")->entries.empty());
  EXPECT_FALSE(s.Record("open")->incomplete);

  const auto outcomes = s.Sync(true, true);
  EXPECT_EQ(outcomes.size(), 2u) << Failures(outcomes);  // open/new.txt up, open/o.txt down
  EXPECT_EQ(Failures(outcomes), "");
  chmod(s.R("locked").c_str(), 0755);
  EXPECT_EQ(test::ReadFile(s.R("locked/page.html")), "newer on the server");
  EXPECT_FALSE(std::filesystem::exists(s.R("locked/sub")));

  // Nor is anything in it deleted.
  CFolderRecord* record = const_cast<CFolderRecord*>(s.Record("locked"));
  std::vector<CFileEntry*> all;
  for (auto& e : record->entries) all.push_back(e.get());
  ASSERT_FALSE(all.empty());
  LocalFileSystem disk("/");
  const DeleteCounts d = DeleteEntries(s.collection, *record, all, true, true, &disk, s.fs.get(), false, nullptr);
  EXPECT_EQ(d.localDeleted + d.remoteDeleted, 0);
  EXPECT_EQ(test::ReadFile(s.L("locked/page.html")), "older here");
}

// Names and replies that could hide a file or make one name stand for another:
// a "\" in a name is kept both ways, a file named "total 123" is a file, a
// folder the server cannot read (vsftpd: "226 ... failed to open directory"),
// a link whose name holds " -> " on LIST servers, and names with byte 0xFF
// (which proftpd reads differently in a command) leave their folder
// incomplete and hide nothing (SFTP names are bytes: they are copied). Nothing
// newer on the server is overwritten.
TEST_P(EveryServer, NamesThatCouldHideOrAliasAFileHideNothing) {
  Site s(GetParam());
  const int64_t T = test::ThreeHoursAgo();
  const std::string iac1 = "c\xff" "d.txt", iac2 = "c\xff\xff" "d.txt";
  const std::vector<std::string> newer = {"a\\b.txt", "total 123", "unread/u.txt", "iac/" + iac1,
                                           "links/t.txt"};
  for (const std::string& name : newer) {
    test::WriteFile(s.R(name), "newer on the server", T + 600);
    test::WriteFile(s.L(name), "older here", T);
  }
  test::WriteFile(s.L("iac/" + iac2), "older here", T);
  test::WriteFile(s.R("iac/plain.txt"), "older there", T);  // newer here, but in a folder read in part
  test::WriteFile(s.L("iac/plain.txt"), "newer here", T + 600);
  test::WriteFile(s.R("up\\c.txt"), "older there", T);  // uploaded under its own name
  test::WriteFile(s.L("up\\c.txt"), "newer here", T + 600);
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
  // pyftpdlib shows byte 0xFF as "?" and serves as root, which any folder
  // mode lets in; its uploads of the 0xFF names fail before anything is sent.
  const bool py = GetParam() == Server::Pyftpdlib, sftp = GetParam() == Server::Sshd;
  const CFolderRecord* iac = s.Record("iac");
  EXPECT_TRUE(py || sftp || (iac->incomplete && !iac->skipped.empty()));
  EXPECT_TRUE(!sftp || !iac->incomplete) << iac->incompleteReason;
  for (const auto& e : iac->entries)
    EXPECT_TRUE(py || sftp || e->state == StateUnknown || e->Name() == "plain.txt") << e->Name();
  // Tagged by hand, nothing in a folder read in part is copied all the same.
  if (iac->incomplete)
    for (auto& e : const_cast<CFolderRecord*>(iac)->entries) e->tagged = true;
  EXPECT_TRUE(py || s.Record("unread")->incomplete);
  for (const auto& e : s.Record("links")->entries) EXPECT_NE(e->state, CopyLocalToRemote) << e->Name();

  const std::string failed = Failures(s.Sync(true, false));
  // pure-ftpd refuses names with "\\" (553): a failure, told.
  const bool pure = GetParam() == Server::PureFtpd;
  EXPECT_EQ(failed.empty() ? 0 : std::count(failed.begin(), failed.end(), '\n'), py ? 2 : pure ? 1 : 0) << failed;
  chmod(s.R("unread").c_str(), 0755);
  EXPECT_EQ(test::ReadFile(s.R("iac/plain.txt")), py || sftp ? "newer here" : "older there");
  // A path holding byte 0xFF never reaches an FTP server as a command.
  EXPECT_TRUE(sftp || !s.fs->Remove(s.remote + "/iac/" + iac1));
  for (const std::string& name : newer) EXPECT_EQ(test::ReadFile(s.R(name)), "newer on the server") << name;
  EXPECT_EQ(test::ReadFile(s.R("up\\c.txt")), pure ? "older there" : "newer here");
  EXPECT_EQ(std::filesystem::exists(s.R("iac/" + iac2)), sftp);
}

TEST_P(EveryServer, CopiesNeverWriteThroughALinkKeepLongNamesAndTakeTheLocalModes) {
  Site s(GetParam());
  const int64_t T = test::ThreeHoursAgo();
  // Names of 251 bytes: their temporary names are shortened (whole
  // characters kept) to stay within 255.
  std::string name;
  for (int i = 0; i < 122; ++i) name += "\xC3\xBC";
  test::WriteFile(s.R("dn" + name + ".txt"), "down", T + 600);
  test::WriteFile(s.L("up" + name + ".txt"), "up", T + 600);
  test::WriteFile(s.R("kept.txt"), "newer", T + 600);
  test::WriteFile(s.L("kept.txt"), "older", T);
  chmod(s.L("kept.txt").c_str(), 0600);
  // A link on the server to a file that is not there: an upload of its name
  // replaces the link and never makes its target.
  std::filesystem::create_symlink("../victim.txt", s.R("link.txt"));
  test::WriteFile(s.L("link.txt"), "mine", T + 600);
  ASSERT_NO_FATAL_FAILURE(s.Own());
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  const mode_t mask = umask(027);
  EXPECT_EQ(Failures(s.Sync(true, true)), "");
  umask(mask);
  EXPECT_EQ(test::ReadFile(s.L("dn" + name + ".txt")) + test::ReadFile(s.R("up" + name + ".txt")), "downup");
  EXPECT_FALSE(std::filesystem::exists(s.data + "/victim.txt"));
  EXPECT_FALSE(std::filesystem::is_symlink(s.R("link.txt")));
  EXPECT_EQ(test::ReadFile(s.R("link.txt")), "mine");
  for (const auto& [file, mode] : {std::pair{s.L("kept.txt"), 0600u}, {s.L("dn" + name + ".txt"), 0640u}}) {
    struct stat st;
    EXPECT_EQ(stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, mode) << file;  // the old file's, the umask's
  }
  EXPECT_TRUE(test::TemporaryFiles(s.folder.path()).empty());
  EXPECT_TRUE(test::TemporaryFiles(s.localRoot.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, EveryServer,
                         ::testing::Values(Server::Pyftpdlib, Server::Vsftpd, Server::Proftpd, Server::PureFtpd,
                                           Server::Sshd),
                         [](const auto& info) { return Name(info.param); });

// Symbolic links on the servers that show them: each is what it leads to.
class LinkServers : public ::testing::TestWithParam<Server> {};

TEST_P(LinkServers, ALinkIsWhatItLeadsToAndALinkUpTheTreeIsNotWalked) {
  Site s(GetParam());
  const int64_t T = test::ThreeHoursAgo();
  test::WriteFile(s.R("target.txt"), "12345", T);
  test::WriteFile(s.R("dir/inner.txt"), "inner", T);
  std::filesystem::create_symlink("target.txt", s.R("to-file"));
  std::filesystem::create_directory_symlink("dir", s.R("to-dir"));
  std::filesystem::create_directory_symlink("..", s.R("up"));
  std::filesystem::create_symlink("missing.txt", s.R("nowhere"));
  ASSERT_NO_FATAL_FAILURE(s.Own());
  ASSERT_EQ(s.Open(), "");
  s.Compare();
  using V = std::vector<std::string>;
  V states = s.States();
  EXPECT_EQ(states, (V{"< /dir/inner.txt", "< /target.txt", "< /to-dir/inner.txt", "< /to-file"}));
  const CFolderRecord* root = s.Record("");
  for (const auto& e : root->entries)
    if (e->Name() == "to-file") {
      EXPECT_EQ(e->remote->size, 5u);
    }
  ASSERT_NE(s.Record("up"), nullptr);
  EXPECT_TRUE(s.Record("up")->entries.empty());
  // The link that leads nowhere is told (proftpd leaves it out of its listing).
  EXPECT_EQ(root->skipped.size(), GetParam() == Server::Proftpd ? 0u : 1u);
  for (const std::string& k : root->skipped) EXPECT_NE(k.find("/site/nowhere"), std::string::npos) << k;
  EXPECT_EQ(Failures(s.Sync(false, true)), "");
  EXPECT_EQ(test::ReadFile(s.L("to-file")), "12345");
  EXPECT_EQ(test::ReadFile(s.L("to-dir/inner.txt")), "inner");
  // Over SFTP only asking after the link that leads nowhere tells so; over
  // FTP what finding out cost is counted apart from a normal sync's replies.
  EXPECT_EQ(s.Refused(), s.ssh ? 1u : 0u);
  const uint64_t probes = s.ssh ? 0 : s.session.GetConnection()->RefusedProbes();
  EXPECT_TRUE(GetParam() != Server::Vsftpd || probes > 0);
  // A second compare on the same connection asks nothing again and tells the
  // dangling link no second time.
  s.Compare();
  EXPECT_EQ(s.ssh ? 0 : s.session.GetConnection()->RefusedProbes(), probes);
  EXPECT_TRUE(s.Record("")->skipped.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, LinkServers,
                         ::testing::Values(Server::Vsftpd, Server::Proftpd, Server::PureFtpd, Server::Sshd),
                         [](const auto& info) { return Name(info.param); });

}  // namespace
}  // namespace twinbay
