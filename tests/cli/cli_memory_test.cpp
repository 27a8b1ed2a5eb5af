// twinbay-cli with the last synchronised state, through its real binary on
// pyftpdlib (MLSD), vsftpd (LIST only) and OpenSSH's sshd (SFTP): deletions
// follow in the directions chosen, edits on both sides are conflicts, a folder
// not read whole deletes nothing, the guards refuse whole runs, the one-way
// mirror, --no-state and state forget.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <tuple>

#include "fs/paths.h"
#include "support/ftp_servers.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::SshTestServer;
namespace fs = std::filesystem;
using Kind = FtpTestServer::Kind;

// The last four serve only the checksum test (proftpd's mod_sftp, and
// sftp_server.py's hash modes).
enum class Server { Pyftpdlib, Vsftpd, Sshd, ProftpdSftp, Md5Hash, WrongKind, CutHash };

struct Outcome {
  int status;
  std::string out, err;
  bool Has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The server's folder "site" beside the local folder "here"; twinbay-cli runs
// with a home, settings and state of the test's own.
class Memory : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    chmod(folder.path().c_str(), 0755);
    std::string why;
    const Server p = GetParam();
    const char* hashes = p == Server::Md5Hash ? "md5-hash" : p == Server::WrongKind ? "check-file-md5" : "check-file-cut";
    if (p == Server::Sshd) ssh = SshTestServer::StartSshd(folder.path(), &why, {}, SshTestServer::Login::Account);
    else if (p == Server::ProftpdSftp) ssh = SshTestServer::StartProftpd(folder.path(), &why);
    else if (p > Server::ProftpdSftp) ssh = SshTestServer::StartPython(folder.path(), {"", "", "", "", hashes}, &why);
    else ftp = FtpTestServer::Start(p == Server::Vsftpd ? Kind::Vsftpd : Kind::Pyftpdlib, folder.path(), &why);
    ASSERT_TRUE(ftp || ssh) << why;
    const std::string top = ftp ? ftp->RemoteDir() : ssh->Home().empty() ? folder.path() : ssh->Home();
    data = (ftp ? ftp->DataDir() : top) + "/site";
    user = ftp ? ftp->user() : ssh->user();
    port = std::to_string(ftp ? ftp->port() : ssh->port());
    site = (top == "/" ? "" : top) + "/site";
    url = (ssh ? "sftp://" : "ftp://") + (user.empty() ? "" : user + "@") + "127.0.0.1:" + port + site;
    if (ssh) login = {"--trust-host-key", ssh->HostFingerprint()};
    if (p == Server::Sshd) login.insert(login.begin(), {"--identity", ssh->ClientKey()});
  }
  std::string R(const std::string& rel) const { return data + "/" + rel; }
  std::string L(const std::string& rel) const { return local + "/" + rel; }
  void Put(const std::string& rel, const std::string& text, int64_t time) {
    test::WriteFile(R(rel), text, time);
    ftp ? ftp->Own(data) : ssh->Own(data);
  }
  Outcome Cli(const std::vector<std::string>& args) const {
    std::string cmd = "env -u SSH_AUTH_SOCK HOME=" + Quote(home.path()) + " XDG_CONFIG_HOME=" + Quote(home / "cfg") +
                      " XDG_DATA_HOME=" + Quote(home / "state") + " TWINBAY_PASSWORD=" +
                      Quote(ftp ? ftp->password() : ssh->user() == "tester" ? "secret" : "") + " " + Quote(TWINBAY_CLI);
    for (const std::string& a : args) cmd += " " + Quote(a);
    const int raw = std::system((cmd + " </dev/null >" + Quote(home / "out") + " 2>" + Quote(home / "err")).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFile(home / "out"), test::ReadFile(home / "err")};
  }
  // compare or sync of "here" with "site", and more options.
  Outcome Do(const std::string& command, std::vector<std::string> more = {}) const {
    std::vector<std::string> args{command, "--local", local, "--remote", url};
    args.insert(args.end(), login.begin(), login.end());
    args.insert(args.end(), more.begin(), more.end());
    return Cli(args);
  }

  test::TempDir folder, home, here;
  std::unique_ptr<FtpTestServer> ftp;
  std::unique_ptr<SshTestServer> ssh;
  std::string data, user, port, site, url, local = here / "here";
  std::vector<std::string> login;
  const int64_t T = test::ThreeHoursAgo();
};

TEST_P(Memory, DeletionsFollowConflictsStayAndGuardsRefuseWholeRuns) {
  // pyftpdlib serves as root: no mode locks a folder of it.
  const bool lockable = GetParam() != Server::Pyftpdlib;
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "keep", "locked/l", "locked/m"}) {
    if (!lockable && name[0] == 'l') continue;
    Put(name + std::string(".txt"), name, T);
    test::WriteFile(L(name + std::string(".txt")), name, T);
  }
  test::WriteFile(L("up.txt"), "up", T);
  Put("down.txt", "down", T);
  Put("skip.dat", "skip", T);
  // The first run knows nothing: a file on one side is copied, none deleted;
  // what --types skips or --up leaves is not taken as synchronised.
  Outcome r = Do("sync", {"--types", "*.txt", "--up"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(R("up.txt")), "up");
  EXPECT_FALSE(fs::exists(L("down.txt")));

  fs::remove(L("a.txt"));
  fs::remove(R("b.txt"));
  test::WriteFile(L("c.txt"), "edited here", T + 600);
  Put("c.txt", "edited on the server", T + 1200);
  fs::remove(L("d.txt"));
  Put("d.txt", "edited on the server", T + 600);
  r = Do("compare", {"--format", "tsv"});
  EXPECT_EQ(r.status, 1) << r.err;
  for (const char* row : {"F\tx>\ta.txt\t", "F\t<x\tb.txt\t", "F\t!\tc.txt\t", "F\t!\td.txt\t", "F\t<\tdown.txt\t",
                          "F\t<\tskip.dat\t", "F\t=\tup.txt\t"})
    EXPECT_TRUE(r.Has(std::string("\n") + row)) << row << "\n" << r.out;
  EXPECT_TRUE(Do("compare").Has("on the server, 1 locally\nConflicts (changed on both sides, or deleted on one"));

  // Deletions left alone, then followed one direction at a time; conflicts
  // are named and touched by no run.
  r = Do("sync", {"--keep-deleted"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(r.Has("CONFLICT c.txt: changed on both sides since the last sync\n")) << r.out;
  EXPECT_TRUE(r.Has("CONFLICT d.txt: deleted here and changed on the server since the last sync\n")) << r.out;
  EXPECT_TRUE(r.Has("2 files left as they are on both sides\n1 file deleted here is still on the server "
                    "(--keep-deleted)\n1 file deleted on the server is still here (--keep-deleted)\n2 copied, 0 "
                    "failed, 0 warnings\n")) << r.out;
  EXPECT_TRUE(fs::exists(R("a.txt")) && fs::exists(L("b.txt")) && !fs::exists(L("a.txt")) && !fs::exists(R("b.txt")));
  EXPECT_EQ(test::ReadFile(L("skip.dat")), "skip");
  r = Do("sync", {"--up"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(r.Has("deleted remote a.txt\n")) << r.out;
  EXPECT_TRUE(r.Has("1 file deleted on the server is still here (a run --up leaves it)\n0 copied, 1 deleted, 0 "
                    "failed, 0 warnings\n")) << r.out;
  EXPECT_FALSE(fs::exists(R("a.txt")));
  EXPECT_TRUE(fs::exists(L("b.txt")));
  r = Do("sync", {"--down"});
  EXPECT_TRUE(r.Has("deleted local b.txt (kept at " + home / "state/Trash/files/b.txt)\n")) << r.out << r.err;
  EXPECT_FALSE(fs::exists(L("b.txt")) || fs::exists(L("a.txt")) || fs::exists(L("d.txt")));
  EXPECT_EQ(test::ReadFile(L("c.txt")), "edited here");
  EXPECT_EQ(test::ReadFile(R("c.txt")), "edited on the server");
  EXPECT_EQ(test::ReadFile(R("d.txt")), "edited on the server");

  // A server folder that cannot be read: nothing in it is deleted, and its
  // records wait for a run that reads it.
  if (lockable) {
    fs::remove(L("locked/l.txt"));
    chmod(R("locked").c_str(), 0);
    r = Do("sync");
    chmod(R("locked").c_str(), 0755);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("incomplete folder locked"), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadFile(R("locked/l.txt")), "locked/l");
    EXPECT_EQ(test::ReadFile(L("locked/m.txt")), "locked/m");
    EXPECT_TRUE(Do("sync").Has("deleted remote locked/l.txt\n"));
    EXPECT_FALSE(fs::exists(R("locked/l.txt")));
  }

  // More deletions than allowed: nothing copied or deleted, the dry run names them.
  fs::remove(L("e.txt"));
  fs::remove(L("f.txt"));
  test::WriteFile(L("new.txt"), "new", T);
  r = Do("sync", {"--max-delete", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("would delete 2 files, more than the 1 allowed"), std::string::npos) << r.err;
  r = Do("sync", {"--max-delete", "1", "--dry-run"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.Has("would delete remote e.txt\nwould delete remote f.txt\nwould copy up   new.txt\n")) << r.out;
  EXPECT_TRUE(r.Has("The run would be refused")) << r.out;
  EXPECT_TRUE(fs::exists(R("e.txt")) && fs::exists(R("f.txt")) && !fs::exists(R("new.txt")));
  r = Do("sync", {"--max-delete", "2"});
  EXPECT_TRUE(r.Has("1 copied, 2 deleted")) << r.out << r.err;
  EXPECT_FALSE(fs::exists(R("e.txt")) || fs::exists(R("f.txt")));

  // The local folder gone is not everything deleted; emptied, more than half
  // of what was in step would go: refused.
  fs::remove_all(local);
  r = Do("sync");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is missing, but files there were synchronised before"), std::string::npos) << r.err;
  fs::create_directory(local);
  r = Do("sync");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("(more than 50 %): nothing was copied or deleted"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFile(R("keep.txt")), "keep");
  // Without the state the times decide: everything comes back.
  r = Do("sync", {"--no-state"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(L("keep.txt")), "keep");
  // Forgotten, a deletion is new again: the file is copied back.
  fs::remove(L("keep.txt"));
  r = Cli({"state", "forget", "--remote", url});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string place = (ssh ? "sftp://" : "ftp://") + (user.empty() ? "anonymous" : user) + "@127.0.0.1:" + port;
  EXPECT_EQ(r.out, "1 folder pair of " + place + " forgotten\n");
  EXPECT_TRUE(Do("compare", {"--format", "tsv"}).Has("\nF\t<\tkeep.txt\t"));

  // The records are the place's: two stored connections to it (a rename is
  // one more name) and --remote share them; forgetting one forgets the place.
  std::vector<std::string> add{"connections", "add", "--file", home / "c.ftp", "--description", "Site",
                               "--host", "127.0.0.1", "--port", port, "--local", local, "--remote", site};
  if (!user.empty()) add.insert(add.end(), {"--user", user});
  if (ssh) add.insert(add.end(), {"--protocol", "sftp", "--identity", ssh->ClientKey()});
  ASSERT_EQ(Cli(add).status, 0);
  add[5] = "Other";
  ASSERT_EQ(Cli(add).status, 0);
  fs::remove(L("g.txt"));
  for (const char* name : {"Site", "Other"}) {
    std::vector<std::string> run{"compare", "--format", "tsv", "--connection", name, "--file", home / "c.ftp"};
    if (ssh) run.insert(run.end(), {"--trust-host-key", ssh->HostFingerprint()});
    r = Cli(run);
    EXPECT_TRUE(r.Has("\nF\tx>\tg.txt\t")) << name << r.out << r.err;
  }
  r = Cli({"state", "forget", "--connection", "Site", "--file", home / "c.ftp"});
  EXPECT_EQ(r.out, "1 folder pair of " + place + " forgotten\n") << r.err;
  EXPECT_TRUE(Do("compare", {"--format", "tsv"}).Has("\nF\t<\tg.txt\t"));
}

// 17 files in step, 40 new ones on the server, every file here deleted (an
// emptied mount): the new files do not dilute the share, the dry run refuses
// as the run does, and a run down copies the new files and names the
// deletions it leaves. Each side's deletions are measured alone.
TEST_P(Memory, TheGuardCountsWhatWasInStepAndAOneWayRunSaysWhatItLeaves) {
  for (int i = 0; i < 17; ++i) {
    test::WriteFile(L("f" + std::to_string(i)), "f", T);
    Put("f" + std::to_string(i), "f", T);
  }
  ASSERT_EQ(Do("sync").status, 0);
  for (int i = 0; i < 40; ++i) Put("n" + std::to_string(i), "n", T);
  fs::remove_all(local);
  fs::create_directory(local);
  for (const bool dry : {true, false}) {
    const Outcome r = Do("sync", dry ? std::vector<std::string>{"--dry-run"} : std::vector<std::string>{});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE((dry ? r.out : r.err).find("would delete on the server 17 of the 17 files in step at the last sync "
                                         "(more than 50 %)"), std::string::npos) << r.out << r.err;
  }
  EXPECT_TRUE(fs::exists(R("f0")) && !fs::exists(L("n0")));
  for (const std::vector<std::string>& down : {std::vector<std::string>{"--down", "--dry-run"}, {"--down"}}) {
    const bool dry = down.size() == 2;
    const Outcome r = Do("sync", down);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(r.Has(std::string("17 files deleted here are still on the server (a run --down leaves them)\n") +
                      (dry ? "40 files would be copied\n" : "40 copied, 0 failed"))) << r.out << r.err;
  }
  EXPECT_TRUE(fs::exists(R("f0")) && fs::exists(L("n0")));
  // Now 57 in step: 17 deletions on the server are within the share, 30 here
  // are not, and the run is refused whole.
  for (int i = 0; i < 30; ++i) fs::remove(R("n" + std::to_string(i)));
  const Outcome r = Do("sync");
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("would delete here 30 of the 57 files in step"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(R("f0")) && fs::exists(L("n0")));
}

// sshd runs sha256sum; proftpd lists check-file and sftp_server.py md5-hash
// (neither runs programs); pyftpdlib and vsftpd offer no hash. A check-file
// answered in MD5 when SHA-256 was asked leads to MD5 for both sides; one cut
// short is no answer: sizes and times decide, a copy it cannot check fails.
class Checksum : public Memory {};
TEST_P(Checksum, ComparesEqualSizesByContentAndVerifyChecksCopies) {
  const Server p = GetParam();
  const bool cut = p == Server::CutHash, hashes = p >= Server::Sshd && !cut;
  test::WriteFile(L("same.txt"), "hello", T), Put("same.txt", "hello", T + 3600);
  test::WriteFile(L("diff.txt"), "aaaaa", T + 1), Put("diff.txt", "bbbbb", T);
  test::WriteFile(L("empty.txt"), "", T), Put("empty.txt", "", T + 3600);
  const Outcome c = Do("compare", {"--checksum", "--no-state"});
  EXPECT_EQ(c.err.find("the server offers no hash: sizes and times decide") != std::string::npos, !hashes && !cut);
  EXPECT_EQ(c.err.find("2 files could not be hashed (sizes and times decided): the server's hash of " + data +
                       "/diff.txt cannot be read") != std::string::npos, cut) << c.err;
  EXPECT_TRUE(c.Has(hashes ? "= same.txt" : "< same.txt") && c.Has(hashes ? "> diff.txt" : "= diff.txt") &&
              c.Has(hashes || cut ? "= empty.txt" : "< empty.txt")) << c.out;
  // The copies pass their check (without a hash: copied, and told once; for
  // WrongKind, the first hash of its connection); a copy whose hash cannot be
  // read fails, the old version kept.
  const Outcome s = Do("sync", {p == Server::WrongKind ? "--verify" : "--checksum", "--verify", "--no-state"});
  EXPECT_EQ(s.status == 0, !cut) << s.out << s.err;
  EXPECT_EQ(test::ReadFile(R("diff.txt")), hashes && p != Server::WrongKind ? "aaaaa" : "bbbbb");
  EXPECT_EQ(test::ReadFile(L("same.txt")) + test::ReadFile(R("same.txt")), "hellohello");
  EXPECT_EQ((s.out + s.err).find("not verified: the server offers no hash") != std::string::npos, !hashes && !cut)
      << s.out;
  EXPECT_EQ((s.out + s.err).find("the copy could not be verified") != std::string::npos, cut) << s.out;
  // Each was the extension, never a program over an exec channel.
  EXPECT_TRUE(p != Server::ProftpdSftp || ssh->Log().find("'exec' channel request") == std::string::npos);
  EXPECT_TRUE(p != Server::Md5Hash || ssh->Log().find("md5-hash") != std::string::npos) << ssh->Log();
}

TEST_P(Memory, OneWayMirrorEachWayAndItsDryRun) {
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--delete"}, {"--up", "--down", "--delete"},
                                              {"--up", "--delete", "--keep-deleted"}}) {
    const Outcome r = Do("sync", bad);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--delete"), std::string::npos) << r.err;
  }
  for (const auto& [name, hereLater, thereLater] : {std::tuple{"same.txt", 0, 0}, {"newer-here.txt", 600, 0},
                                                   {"newer-there.txt", 0, 600}}) {
    test::WriteFile(L(name), std::string(name) + " here", T + hereLater);
    Put(name, std::string(name) + " there", T + thereLater);
  }
  test::WriteFile(L("sub/only-here.txt"), "o", T);
  Put("extra.txt", "x", T);
  Put("gone/deep/x.txt", "x", T);
  Put("gone/p.jpg", "p", T);  // of a type the mirror leaves: its folder stays

  Outcome r = Do("sync", {"--up", "--delete", "--dry-run", "--types", "*.txt"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(r.Has("would copy up   newer-here.txt\n")) << r.out;
  EXPECT_TRUE(r.Has("would delete remote extra.txt\n")) << r.out;
  EXPECT_TRUE(r.Has("would delete remote gone/deep/x.txt\n") && r.Has("would copy up   sub/only-here.txt\n")) << r.out;
  EXPECT_TRUE(r.Has("would delete remote gone/deep/ (if no other file is in it)\nwould delete remote gone/ (if no "
                    "other file is in it)\nkept remote newer-there.txt: newer on the server than here\n")) << r.out;
  EXPECT_EQ(test::ReadFile(R("newer-here.txt")), "newer-here.txt there");
  EXPECT_TRUE(fs::exists(R("extra.txt")) && fs::exists(R("gone/deep/x.txt")));

  r = Do("sync", {"--up", "--delete", "--types", "*.txt"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(r.Has("deleted remote gone/deep/\nkept remote newer-there.txt")) << r.out;
  EXPECT_TRUE(r.Has("2 copied, 2 deleted, 0 failed")) << r.out;
  EXPECT_FALSE(fs::exists(R("extra.txt")) || fs::exists(R("gone/deep")));
  EXPECT_EQ(test::ReadFile(R("gone/p.jpg")), "p");
  EXPECT_EQ(test::ReadFile(R("newer-here.txt")), "newer-here.txt here");
  EXPECT_EQ(test::ReadFile(R("newer-there.txt")), "newer-there.txt there");
  EXPECT_EQ(test::ReadFile(R("sub/only-here.txt")), "o");

  test::WriteFile(L("stray/s.txt"), "s", T);
  r = Do("sync", {"--down", "--delete"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(r.Has("deleted local stray/s.txt (kept at " + home / "state/Trash/files/s.txt)\ndeleted local "
                    "stray/\n2 copied, 1 deleted")) << r.out;
  EXPECT_FALSE(fs::exists(L("stray")));
  EXPECT_EQ(test::ReadFile(L("newer-there.txt")), "newer-there.txt there");
  EXPECT_EQ(Do("compare").status, 0);

  // The safety net: what a sync replaces or deletes is kept, here in the
  // trash (with its .trashinfo), on the server in the run's backup folder.
  // The backup folder and exclusions of a stored connection: k5 deleted
  // here and a new k6 are left out, neither deleted there nor copied.
  for (const char* n : {"k1", "k2", "k3", "k4", "k5"}) Put(n, "old", T), test::WriteFile(L(n), "old", T);
  ASSERT_EQ(Do("sync").status, 0);
  test::WriteFile(L("k1"), "new here", T + 600);
  Put("k2", "new there", T + 600);
  fs::remove(L("k3"));
  fs::remove(R("k4"));
  fs::remove(L("k5"));
  test::WriteFile(L("k6"), "new", T);
  std::vector<std::string> add{"connections", "add", "--description", "S", "--host", "127.0.0.1", "--port", port,
                               "--user", user, "--remote", site, "--local", local, "--backup-dir", "bak",
                               "--exclude", "k5", "--exclude", "/k6"};
  if (ssh) add.insert(add.end(), {"--protocol", "sftp", "--identity", login[1], "--trust-host-key", login[3]});
  r = Cli(add);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Cli({"connections", "list"}).Has("  exclude: k5, /k6\n  backup folder on the server: bak\n"));
  r = Cli({"sync", "--connection", "S"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(fs::exists(R("k5")) && !fs::exists(R("k6")));
  const std::string trash = home / "state/Trash";
  for (const char* n : {"k2", "k4"}) {
    EXPECT_TRUE(r.Has(" " + std::string(n) + " (kept at " + trash + "/files/" + n + ")\n")) << r.out;
    EXPECT_EQ(test::ReadFile(trash + "/files/" + n), "old");
    EXPECT_NE(test::ReadFile(trash + "/info/" + n + ".trashinfo").find("\nPath=" + L(n) + "\nDeletionDate=20"),
              std::string::npos);
  }
  ASSERT_TRUE(fs::is_directory(R("bak")));
  const std::string run = fs::directory_iterator(R("bak"))->path().string();  // bak/YYYY-MM-DD_HHMMSS
  EXPECT_EQ(run.size(), R("bak/").size() + 17) << run;
  for (const char* n : {"k1", "k3"}) {
    EXPECT_TRUE(r.Has(" " + std::string(n) + " (kept at " + site + "/bak/" + PathName(run) + "/" + n + ")\n")) << r.out;
    EXPECT_EQ(test::ReadFile(run + "/" + n), "old");
  }
  EXPECT_EQ(Cli({"compare", "--connection", "S"}).status, 0);  // the backup folder is never compared
}

// Nothing is deleted through a link, nor outside the two folders: the copies
// of what the server's links lead to (a folder synchronised under its own
// name, one outside) deleted here; a mirror over a local link to a folder
// elsewhere; a local link leading nowhere is not replaced.
TEST_P(Memory, ADeletionNeverGoesThroughALink) {
  const bool links = GetParam() != Server::Pyftpdlib;  // pyftpdlib lists a link as what it leads to (not ext)
  for (const char* name : {"a.txt", "b.txt", "c.txt", "realdir/x.txt", "dangle.txt", "../outside/o.txt"})
    Put(name, name, T);
  fs::create_directory_symlink("realdir", R("lnkdir"));
  if (links) fs::create_directory_symlink("../outside", R("ext"));
  fs::create_directories(local);
  fs::create_symlink("missing", L("dangle.txt"));
  Outcome r = Do("sync");
  EXPECT_TRUE(r.Has("dangle.txt is a link that leads nowhere; it was left as it is\n") && fs::is_symlink(L("dangle.txt")));
  EXPECT_EQ(test::ReadFile(L("lnkdir/x.txt")) + test::ReadFile(L(links ? "ext/o.txt" : "realdir/x.txt")),
            links ? "realdir/x.txt../outside/o.txt" : "realdir/x.txtrealdir/x.txt");
  fs::remove_all(L("lnkdir"));
  fs::remove_all(L("ext"));
  r = Do("sync");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(r.Has("kept remote lnkdir/x.txt: in a folder reached through a link; nothing is deleted through a "
                    "link\n") && (!links || r.Has("kept remote ext/o.txt: in a folder reached"))) << r.out;
  EXPECT_EQ(test::ReadFile(R("realdir/x.txt")) + test::ReadFile(R("../outside/o.txt")), "realdir/x.txt../outside/o.txt");
  test::WriteFile(here / "elsewhere/e.txt", "e", T);
  fs::create_directory_symlink(here / "elsewhere", L("linked"));
  EXPECT_FALSE(Do("sync", {"--down", "--delete", "--dry-run"}).Has("would delete"));
  r = Do("sync", {"--down", "--delete"});
  EXPECT_TRUE(r.Has("kept local linked/e.txt: in a folder reached") && r.Has("kept local linked/: a link")) << r.out;
  EXPECT_EQ(test::ReadFile(L("linked/e.txt")), "e");
}

std::string ServerName(const ::testing::TestParamInfo<Server>& info) {
  static const char* names[] = {"pyftpdlib", "vsftpd", "sshd", "proftpd", "md5hash", "wrongkind", "cuthash"};
  return names[static_cast<int>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Servers, Memory, ::testing::Values(Server::Pyftpdlib, Server::Vsftpd, Server::Sshd),
                         ServerName);
INSTANTIATE_TEST_SUITE_P(Servers, Checksum,
                         ::testing::Values(Server::Pyftpdlib, Server::Vsftpd, Server::Sshd, Server::ProftpdSftp,
                                           Server::Md5Hash, Server::WrongKind, Server::CutHash),
                         ServerName);

}  // namespace
}  // namespace twinbay
