#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <numeric>
#include <set>
#include <thread>
#include <tuple>

#include "core/connect_policy.h"
#include "core/connections.h"
#include "core/keyring.h"
#include "support/processes.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using Records = std::vector<std::unique_ptr<CConnectionProperties>>;
using test::Hex;

std::unique_ptr<CConnectionProperties> Sample(const std::string& description) {
  auto c = std::make_unique<CConnectionProperties>();
  c->description = description;
  c->host = "ftp.example.com";
  c->remotePath = "/site";
  c->anonymous = 0;
  c->userName = "abc";
  c->password = "p\xC3\xA4ss";
  c->localPath = "/home/me/web";
  c->fileTypes = "*.htm;*.gif";
  c->port = 2121;
  return c;
}

// The file other versions read and write: these exact bytes, read back to
// the same records, a password not stored emptied in the record as well.
TEST(ConnectionsFile, ExactBytesAndRoundTrip) {
  Records out;
  out.push_back(Sample("one"));
  out.push_back(Sample("prompted"));
  out[1]->passwordStored = 0;
  const std::string bytes = SerializeConnections(out);
  EXPECT_EQ(out[1]->password, "");
  EXPECT_EQ(Hex(bytes.substr(0, 10)) + bytes.substr(10, 21), "02 00 00 00 FF FF 01 00 15 00CConnectionProperties");
  // First body: description, host, remote path, anonymous, then the scrambled user name.
  const std::string body1 = "\x03one\x0f" "ftp.example.com\x05/site" + std::string("\0\0\0\0", 4) + "\x03\x36\x26\x16";
  EXPECT_EQ(bytes.substr(31, body1.size()), body1);
  EXPECT_EQ(Hex(bytes.substr(bytes.find("\x08prompted") - 2, 2)), "01 80");  // the second record's tag
  // The tail of a body: port, marker 107, three zero words.
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - 20)), "49 08 00 00 6B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  Records in;
  ASSERT_TRUE(ParseConnections(bytes, in).ok);
  ASSERT_EQ(in.size(), 2u);
  EXPECT_EQ(in[0]->userName + " " + in[0]->password + " " + in[0]->fileTypes + " " + in[0]->localPath,
            "abc p\xC3\xA4ss *.htm;*.gif /home/me/web");
  EXPECT_EQ(in[0]->port + in[0]->anonymous, 2121);
  EXPECT_EQ(in[1]->password, "");
  EXPECT_EQ(SerializeConnections(in), bytes);
  // Long strings: a 0xFF escape and a 16-bit, then a 32-bit length.
  Records longOne;
  longOne.push_back(std::make_unique<CConnectionProperties>());
  longOne[0]->description = std::string(300, 'd');
  EXPECT_EQ(Hex(SerializeConnections(longOne).substr(31, 3)), "FF 2C 01");
  longOne[0]->description = std::string(70000, 'e');
  const std::string l2 = SerializeConnections(longOne);
  EXPECT_EQ(Hex(l2.substr(31, 7)), "FF FF FF 70 11 01 00");
  in.clear();
  ASSERT_TRUE(ParseConnections(l2, in).ok);
  EXPECT_EQ(SerializeConnections(in), l2);
}

// SFTP: the key file and the host key in the second and third reserved
// strings, the protocol in the word after the format marker.
TEST(ConnectionsFile, SftpRecordBytes) {
  Records one;
  one.push_back(std::make_unique<CConnectionProperties>());
  CConnectionProperties& c = *one[0];
  c.description = "s", c.host = "h", c.remotePath = "/", c.anonymous = 0, c.userName = "u";
  c.localPath = "/l", c.fileTypes = "*", c.keyFile = "/k", c.hostKey = "SHA256:x", c.port = 22, c.protocol = 1;
  const std::string bytes = SerializeConnections(one);
  EXPECT_EQ(Hex(bytes.substr(31)),
            "01 73 01 68 01 2F 00 00 00 00 01 57 00 01 00 00 00 02 2F 6C 01 2A "  // up to the file types
            "00 02 2F 6B 08 53 48 41 32 35 36 3A 78 "                             // no certificate, key, host key
            "00 00 00 00 16 00 00 00 6B 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00");  // TLS, port, marker, SFTP
  Records in;
  ASSERT_TRUE(ParseConnections(bytes, in).ok);
  EXPECT_EQ(SerializeConnections(in), bytes);
}

// A record of the older layout (cut after reserved word 15, marker 0, clear text) still reads.
TEST(ConnectionsFile, OlderLayout) {
  Records one;
  one.push_back(Sample("old"));
  std::string bytes = SerializeConnections(one);
  bytes.resize(bytes.size() - 8);                               // no words 16 and 17
  bytes.replace(bytes.size() - 8, 4, std::string("\0\0\0\0", 4));  // marker 0
  const size_t user = bytes.find("\x03\x36\x26\x16");
  bytes.replace(user, 4, "\x03" "abc");
  Records in;
  ASSERT_TRUE(ParseConnections(bytes, in).ok);
  EXPECT_EQ(in[0]->port, 21);
  EXPECT_EQ(in[0]->formatMarker, 0);
  EXPECT_EQ(in[0]->userName, "abc");
  // 0xCDCDCDCD marks the same layout; whatever its reserved fields hold, it is plain FTP.
  bytes.replace(bytes.size() - 8, 8, "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD");
  bytes.replace(bytes.find("\x0b*.htm;*.gif") + 12, 3, "\x00\x01k\x01h", 5);
  in.clear();
  ASSERT_TRUE(ParseConnections(bytes, in).ok);
  EXPECT_EQ(in[0]->formatMarker, 0);
  EXPECT_EQ(in[0]->protocol, 0);
  EXPECT_EQ(in[0]->keyFile + in[0]->hostKey, "");
}

// A damaged file is an error naming what is wrong, and keeps the records
// read before the damage; no length in it makes the reader allocate blindly.
TEST(ConnectionsFile, DamagedFilesFailClearlyAndKeepWhatWasRead) {
  Records two;
  two.push_back(Sample("first"));
  two.push_back(Sample("second"));
  const std::string good = SerializeConnections(two);
  const size_t body = (good.size() - 33) / 2;
  auto with = [&](size_t at, size_t n, const std::string& part) { return std::string(good).replace(at, n, part); };
  const struct {
    std::string bytes, error;
    size_t kept;
  } cases[] = {
      {good.substr(0, good.size() - 1), "ends in the middle", 1},
      {good.substr(0, good.size() - body - 1), "ends in the middle", 1},
      {with(0, 4, "\xFF\xFF\xFF\x7F"), "", 2},                           // a count far beyond the data
      {good.substr(0, 31) + "\xFF\xFF\xFF\xFF\xFF\xFF\x7F", "", 0},  // a string length beyond the file
      {with(10, 21, "CSomethingElseEntirel"), "CSomethingElseEntirel", 0},
      {with(6, 1, "\x02"), "version 2", 0},
      {with(31 + body, 1, "\x02"), "", 1},  // a wrong tag
      {"", "", 0},
  };
  for (const auto& c : cases) {
    Records in;
    const auto r = ParseConnections(c.bytes, in);
    EXPECT_FALSE(r.ok) << Hex(c.bytes.substr(0, 40));
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    EXPECT_EQ(in.size(), c.kept) << r.error;
  }
}

TEST(ConnectionsList, SaveLoadAndADamagedFileKeptAside) {
  test::TempDir t;
  ConnectionsList list(t / "connections.ftp"), again(t / "connections.ftp");
  EXPECT_TRUE(list.Load().ok);  // no file: empty, no error
  list.Add(Sample("a")), list.Add(Sample("b"));
  ASSERT_TRUE(list.Save().ok && again.Load().ok && again.Count() == 2);
  EXPECT_EQ(again.FindByDescription("b")->host, "ftp.example.com");
  ConnectionsFileLock held;  // the lock beside the file: private, one holder at a time
  std::string error;
  EXPECT_TRUE(held.Take(list.FileName(), error) && !ConnectionsFileLock().Take(list.FileName(), error, 0));
  struct stat st {};
  EXPECT_TRUE(stat((list.FileName() + ".lock").c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  ConnectionsList nowhere(t / "missing-folder/connections.ftp"), fifo(t / "fifo.ftp");
  nowhere.Add(Sample("x")), fifo.Add(Sample("y"));
  ASSERT_EQ(mkfifo((t / "fifo.ftp").c_str(), 0600), 0);  // never replaced: it may be a device
  EXPECT_FALSE(nowhere.Save().ok || fifo.Save().ok);
  EXPECT_TRUE(lstat((t / "fifo.ftp").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  test::WriteFile(t / "bad.ftp", std::string("\x05\x00\x00\x00\xFF\xFF", 6), 0);
  ConnectionsList bad(t / "bad.ftp");
  EXPECT_NE(bad.Load().error.find("bad.ftp"), std::string::npos);
  EXPECT_EQ(bad.KeepAside(), t / "bad.ftp.bad");
  ConnectionsList late(t / "bad.ftp.bad");  // unreadable when saved: not overwritten
  late.Add(Sample("z"));
  EXPECT_NE(late.Save().error.find("not saved"), std::string::npos);
  EXPECT_EQ(test::ReadFile(t / "bad.ftp.bad").size(), 6u);
}

// A stored password goes to the desktop keyring where one answers (a private one here),
// the file's field then empty, and a renamed record keeps it; without one it stays
// scrambled in the file, and a password the keyring cannot give is an error, never empty.
TEST(ConnectionsList, PasswordsInTheKeyringElseScrambledInTheFile) {
  test::TempDir t;
  const std::string file = t / "c.ftp", scrambled = ScrambleText("p\xC3\xA4ss");
  ConnectionsList list(file);
  list.Add(Sample("a"));
  ASSERT_TRUE(list.Save().ok);
  EXPECT_EQ(PasswordHomeText(*list.At(0)), "Password kept scrambled in the connections file (no desktop keyring)");
  EXPECT_NE(test::ReadFile(file).find(scrambled), std::string::npos);
  FileSystemTarget target;
  std::string problem;
  {
    test::PrivateKeyring keyring(t / "keyring");
    ASSERT_TRUE(keyring.ok()) << test::ReadFile(keyring.log());
    ASSERT_TRUE(list.Load().ok && list.Save().ok);  // an existing record moves on its next save
    EXPECT_EQ(PasswordHomeText(*list.At(0)), "Password kept in the desktop keyring");
    EXPECT_EQ(test::ReadFile(file).find(scrambled), std::string::npos);
    ASSERT_TRUE(list.Load().ok);
    CConnectionProperties& r = *list.At(0);
    EXPECT_TRUE(r.password.empty() && !RecordTarget(r, "typed", target, problem));  // not read yet
    r.description = "renamed";
    ASSERT_TRUE(FetchRecordPassword(r, problem) && RecordTarget(r, "", target, problem)) << problem;
    EXPECT_EQ(target.password, "p\xC3\xA4ss");
    ASSERT_TRUE(list.Save().ok && list.Load().ok && FetchRecordPassword(*list.At(0), problem)) << problem;
    EXPECT_EQ(list.At(0)->description + " " + list.At(0)->password, "renamed p\xC3\xA4ss");
    ASSERT_TRUE(list.Load().ok);
  }
  // The keyring gone: the record that keeps its password there cannot connect, and says why.
  EXPECT_FALSE(FetchRecordPassword(*list.At(0), problem));
  EXPECT_NE(problem.find("kept in the desktop keyring, but it could not be read: no session bus"), std::string::npos)
      << problem;
  EXPECT_FALSE(RecordTarget(*list.At(0), "", target, problem));
}

// The window and twinbay-cli on one file: each save merges what its program
// changed into the file as it now stands, field by field, under the lock.
TEST(ConnectionsList, ASaveKeepsWhatAnotherProgramChangedMeanwhile) {
  using Edit = std::function<void(ConnectionsList&)>;
  using C = CConnectionProperties;
  auto set = [](const char* name, std::string C::*f, const char* v, int stored = 1) -> Edit {  // 0: typed at a prompt
    return [=](ConnectionsList& l) { l.FindByDescription(name)->*f = v, l.FindByDescription(name)->passwordStored = stored; };
  };
  auto add = [](const char* name) -> Edit { return [=](ConnectionsList& l) { l.Add(Sample(name)); }; };
  auto remove = [](const char* name) -> Edit { return [=](ConnectionsList& l) { l.Remove(l.FindByDescription(name)); }; };
  auto summary = [](const ConnectionsList& l) {
    std::multiset<std::string> out;
    for (size_t i = 0; i < l.Count(); ++i)
      out.insert(l.At(i)->description + "=" + l.At(i)->localPath + "/" + l.At(i)->hostKey + "/" + l.At(i)->password + " ");
    return std::accumulate(out.begin(), out.end(), std::string());
  };
  const std::string p = "p\xC3\xA4ss", l = "=/home/me/web//";
  const struct {
    Edit cli, window;
    std::string want, lingers = {};  // what the window also holds
  } rows[] = {
      {add("C"), set("A", &C::localPath, "/w"), "A=/w//" + p + " B" + l + p + " C" + l + p + " "},
      {set("B", &C::hostKey, "SHA256:k"), set("B", &C::localPath, "/w"), "A" + l + p + " B=/w/SHA256:k/" + p + " "},  // a pin survives
      {set("A", &C::localPath, "/cli"), set("A", &C::localPath, "/w"), "A=/w//" + p + " B" + l + p + " "},                        // this save wins
      {add("C"), remove("A"), "B" + l + p + " C" + l + p + " "},
      {remove("B"), [](ConnectionsList&) {}, "A" + l + p + " ", "B" + l + p + " "},  // gone, not written back
      {remove("B"), set("B", &C::localPath, "/w"), "A" + l + p + " B=/w//" + p + " "},  // an edit outlives a removal there
      {add("C"), add("D"), "A" + l + p + " B" + l + p + " C" + l + p + " D" + l + p + " "},
      {set("B", &C::password, "new"), set("B", &C::password, "typed", 0), "A" + l + p + " B" + l + "new "},  // a prompted one is no change
  };
  for (const auto& row : rows) {
    test::TempDir t;
    ConnectionsList first(t / "c.ftp"), window(t / "c.ftp"), cli(t / "c.ftp"), after(t / "c.ftp");
    first.Add(Sample("A")), first.Add(Sample("B"));
    ASSERT_TRUE(first.Save().ok && window.Load().ok && cli.Load().ok);
    row.cli(cli), row.window(window);  // the window saves last
    ASSERT_TRUE(cli.Save().ok && window.Save().ok && after.Load().ok);
    EXPECT_EQ(summary(after), row.want);
    EXPECT_EQ(summary(window), row.want + row.lingers);  // the window now holds what it wrote
  }
}

// The exclusions and backup folder live beside the file (its bytes as ever),
// follow a rename, go with a removal, merge like its fields and survive
// names two records share; a settings file that cannot be read holds back.
TEST(ConnectionsList, SettingsBesideTheFileFollowTheirRecords) {
  test::TempDir t;
  const std::string file = t / "c.ftp", side = file + ".settings";
  ConnectionsList list(file), window(file), cli(file), after(file);
  list.Add(Sample("A")), list.Add(Sample("B")), list.Add(Sample("D\\\n")), list.Add(Sample("D\\\n"));
  std::tie(list.At(0)->exclude, list.At(0)->backupDir, list.At(3)->exclude) = std::tuple("*.tmp\n\n.git/", "bak", "x");
  ASSERT_TRUE(list.Save().ok && window.Load().ok && cli.Load().ok);
  Records plain;
  for (size_t i = 0; i < 4; ++i) plain.push_back(Sample(list.At(i)->description));
  EXPECT_EQ(test::ReadFile(file), SerializeConnections(plain));
  EXPECT_NE(test::ReadFile(side).find("connection A\nexclude *.tmp\nexclude \nexclude .git/\nbackup-dir bak\nconnection "
                                      "D\\\\\\n\nconnection D\\\\\\n\nexclude x\n"), std::string::npos) << test::ReadFile(side);
  struct stat st {};
  EXPECT_TRUE(stat(side.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  auto summary = [](const ConnectionsList& l) {
    std::string out;
    for (size_t i = 0; i < l.Count(); ++i) out += l.At(i)->description + "=" + l.At(i)->exclude + "/" + l.At(i)->backupDir + " ";
    return out;
  };
  EXPECT_EQ(summary(window), "A=*.tmp\n\n.git//bak B=/ D\\\n=/ D\\\n=x/ ");
  cli.FindByDescription("B")->backupDir = "b2";  // two programs: each keeps the other's
  window.At(0)->exclude = "y";
  window.At(0)->description = "A2";  // renamed: its settings go with it
  window.Remove(window.At(2));
  test::WriteFile(side, test::ReadFile(side) + "future z\n", 0);  // a line of a newer version's stays
  ASSERT_TRUE(cli.Save().ok && window.Save().ok && after.Load().ok);
  EXPECT_EQ(summary(after), "A2=y/bak B=/b2 D\\\n=x/ ");
  EXPECT_EQ(after.At(2)->settingsOther, "future z");
  EXPECT_EQ(test::ReadFile(side).find("connection A\n"), std::string::npos);
  after.Remove(after.At(0));
  ASSERT_TRUE(after.Save().ok && after.Load().ok);
  EXPECT_EQ(summary(after), "B=/b2 D\\\n=x/ ");
  test::WriteFile(side, "exclude *.o\n", 0);  // outside any entry: unreadable, never read as no settings
  ASSERT_TRUE(after.Load().ok);
  EXPECT_NE(after.SettingsProblem().find("c.ftp.settings cannot be read: line 1"), std::string::npos) << after.SettingsProblem();
  EXPECT_EQ(summary(after), "B=/ D\\\n=/ ");
  EXPECT_NE(after.Save().error.find("not saved"), std::string::npos);
  EXPECT_EQ(test::ReadFile(side), "exclude *.o\n");
}

// A record's connect takes the login and pin of its protocol; a newer protocol or TLS mode is refused.
TEST(ConnectionRecord, TargetTakesTheLoginAndPinOfItsProtocol) {
  struct Case {
    int32_t protocol, tlsMode, anonymous;
    std::string user, stored;
    bool usable;
    FsProtocol want;
    std::string wantUser, wantPassword, wantPin;
  };
  for (const Case& c : std::vector<Case>{
           {0, 0, 1, "nobody-real", "whatever", true, FsProtocol::Ftp, "", "", ""},
           {0, 0, 0, "", "pw", true, FsProtocol::Ftp, "", "", ""},
           {0, 0, 0, "abc", "", true, FsProtocol::Ftp, "abc", "typed", ""},
           {0, 1, 0, "abc", "kept", true, FsProtocol::FtpTlsExplicit, "abc", "kept", "AB:CD"},
           {0, 2, 1, "abc", "kept", true, FsProtocol::FtpTlsImplicit, "", "", "AB:CD"},
           {1, 0, 1, "abc", "", true, FsProtocol::Sftp, "abc", "typed", "SHA256:key"},
           {0, 9, 0, "abc", "", false, FsProtocol::Ftp, "", "", ""},
           {2, 0, 0, "abc", "", false, FsProtocol::Ftp, "", "", ""},
       }) {
    CConnectionProperties r;
    r.host = "h", r.port = 2222, r.protocol = c.protocol, r.tlsMode = c.tlsMode, r.anonymous = c.anonymous;
    r.userName = c.user, r.password = c.stored, r.pinnedFingerprint = "AB:CD", r.hostKey = "SHA256:key", r.keyFile = "/k";
    FileSystemTarget t;
    std::string problem;
    const std::string label = std::to_string(c.protocol) + "/" + std::to_string(c.tlsMode) + " " + c.user;
    ASSERT_EQ(RecordTarget(r, "typed", t, problem), c.usable) << label;
    if (!c.usable) continue;
    EXPECT_EQ(t.protocol, c.want) << label;
    EXPECT_EQ(t.host + ":" + std::to_string(t.port) + " " + t.user + "/" + t.password + " " + t.pin + " " + t.keyFile,
              "h:2222 " + c.wantUser + "/" + c.wantPassword + " " + c.wantPin + " " +
                  (c.want == FsProtocol::Sftp ? "/k" : ""))
        << label;
    CConnectionProperties back;  // written back, the protocol (and TLS) reads the same
    FsProtocol again;
    SetRecordProtocol(back, t.protocol);
    EXPECT_TRUE(RecordProtocol(back, again) && again == c.want) << label;
  }
}

// Addresses are read as curl reads them; each fault is told apart.
TEST(ConnectionRecord, AddressesAreReadAsCurlReadsThem) {
  const std::pair<const char*, std::string> cases[] = {
      {"ftp://h/a%20b", "1 @h:21 /a b anonymous"},
      {"FTPS://u%40x@h", "3 u@x@h:990  tls"},
      {"ftpes://u@[::1]:2121/", "2 u@::1:2121 / tls"},
      {"sftp://h:2222/p", "4 @h:2222 /p"},
      {"http://h/", "fault 1"}, {"ftp://u:pw@h/", "fault 2"}, {"ftp://[::1/", "fault 3"},
      {"ftp:///p", "fault 4"}, {"ftp://h:0/", "fault 5 0"}, {"sftp://h:/", "fault 5 "},
  };
  for (const auto& [address, want] : cases) {
    ConnectTarget t;
    std::string port = "-";
    const AddressFault fault = ReadAddress(address, t, &port);
    const FileSystemTarget& p = t.place;
    EXPECT_EQ(fault != AddressFault::None
                  ? "fault " + std::to_string(static_cast<int>(fault)) + (fault == AddressFault::Port ? " " + port : "")
                  : std::to_string(static_cast<int>(p.protocol)) + " " + p.user + "@" + p.host + ":" +
                        std::to_string(p.port) + " " + t.path + (t.anonymous ? " anonymous" : "") +
                        (t.tlsFromScheme ? " tls" : ""),
              want)
        << address;
  }
}

// The window asks for a key's passphrase before it connects, only for a key that has one
// (and hands it over once); a password first only without an agent or key; after a failure
// only a refused certificate or unknown host key (never a changed one) or, once SFTP's keys
// were refused, a password. A pin goes to the field of the record's protocol.
TEST(ConnectionRecord, KeyFilesWithAPassphraseAreToldApart) {
  test::TempDir t;
  ASSERT_TRUE(test::MakeSshKey(t / "plain", "ed25519") && test::MakeSshKey(t / "locked", "ecdsa", "open sesame"));
  EXPECT_FALSE(KeyFileNeedsPassphrase(t / "plain"));
  EXPECT_TRUE(KeyFileNeedsPassphrase(t / "locked"));
  EXPECT_FALSE(KeyFileNeedsPassphrase(t / "missing"));
  unsetenv("SSH_AUTH_SOCK");
  ConnectTarget ftp, sftp;
  ftp.anonymous = false, sftp.place.protocol = FsProtocol::Sftp;
  EXPECT_TRUE(SecretsBeforeConnect(ftp).password && SecretsBeforeConnect(sftp).password);
  sftp.place.keyFile = t / "locked";
  EXPECT_TRUE(!SecretsBeforeConnect(sftp).password && SecretsBeforeConnect(sftp).passphrase);
  using Q = ConnectQuestion;
  using K = OpenFailureKind;
  for (const auto& [place, kind, want] :
       {std::tuple{sftp.place, K::SignIn, Q::Password}, {ftp.place, K::SignIn, Q::None},
        {sftp.place, K::UnknownHostKey, Q::TrustHostKey}, {sftp.place, K::ChangedHostKey, Q::None},
        {ftp.place, K::UntrustedCertificate, Q::TrustCertificate}})
    EXPECT_EQ(QuestionAfter(place, {kind, "SHA256:x", ""}), want) << static_cast<int>(kind);
  CConnectionProperties r;
  r.protocol = 1;
  EXPECT_TRUE(TrustOnRecord(r, "SHA256:x") && !TrustOnRecord(r, "SHA256:x") && r.pinnedFingerprint.empty());
  std::string typed = "open sesame";
  const PassphraseQuestion once = PassphraseOnce(typed);
  EXPECT_TRUE(typed.empty() && once("k") == "open sesame" && !once("k"));
}

}  // namespace
}  // namespace twinbay
