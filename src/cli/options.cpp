// twinbay-cli: the command line read into Options, and the usage text.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "engine/number_format.h"
#include "fs/patterns.h"

namespace twinbay::cli {
namespace {

const char* kUsage =
    "usage:\n"
    "  twinbay-cli compare --local DIR (--remote URL | --connection NAME | --remote-dir DIR)\n"
    "                      [--types TEXT] [--no-subfolders] [--exact-seconds] [--format text|tsv]\n"
    "                      [--server-offset auto|+HH:MM|-HH:MM] [--exclude PATTERN]... [--exclude-from FILE]\n"
"                      [--tls none|explicit|implicit] [--trust-fingerprint SHA256]\n"
    "                      [--identity FILE] [--trust-host-key SHA256:...] [--password-stdin]\n"
    "                      [--connections N] [--no-state] [--backup-dir PATH] [--checksum]\n"
    "  twinbay-cli sync    (the same options) [--up] [--down] [--set-local-timestamps] [--dry-run]\n"
    "                      [--keep-deleted | --delete] [--max-delete N] [--bwlimit RATE] [--verify] [-v | -q]\n"
    "                      [--no-trash] [--watch [--interval MINUTES]]\n"
    "  twinbay-cli resolve --keep local|remote PATH... | --keep newer [PATH...]  (the place options of\n"
    "                      compare) [--dry-run] [--max-delete N] [--bwlimit RATE] [-v | -q]\n"
    "                      [--no-trash]\n"
    "  twinbay-cli connections list [--file FILE] [--format text|tsv]\n"
    "  twinbay-cli connections add [--file FILE] --description D --host H [--port N] [--user U]\n"
    "                      [--password-stdin] [--local DIR] [--remote PATH] [--types TEXT] [--no-subfolders]\n"
    "                      [--server-offset auto|+HH:MM|-HH:MM]\n"
    "                      [--tls none|explicit|implicit] [--trust-fingerprint SHA256]\n"
    "                      [--protocol ftp|sftp] [--identity FILE] [--trust-host-key SHA256:...]\n"
    "                      [--exclude PATTERN]... [--exclude-from FILE] [--backup-dir PATH]\n"
    "  twinbay-cli connections remove [--file FILE] --description D\n"
    "  twinbay-cli state forget (--connection NAME [--file FILE] | --remote URL | --remote-dir DIR)\n"
    "  twinbay-cli --version\n"
    "\n"
    "  --remote ftp://[user@]host[:port]/path   the server folder (the path is taken from the root;\n"
    "                                            an empty path is the login folder)\n"
    "  --remote sftp://[user@]host[:port]/path   an SFTP server (port 22 unless given); signs in with\n"
    "                      ssh-agent (SSH_AUTH_SOCK), the key file of --identity, then a password\n"
    "  --remote ftps://...  implicit TLS (TLS from the first byte, port 990 unless given), as curl\n"
    "                      reads ftps://; ftpes://... is explicit TLS (AUTH TLS on port 21 unless given)\n"
    "  --tls MODE          none (plain FTP), explicit (AUTH TLS, then encrypted login and transfers)\n"
    "                      or implicit; with TLS nothing is ever sent in plain, a server without TLS\n"
    "                      fails the connect. With --connection the stored mode holds unless --tls is given.\n"
    "  --trust-fingerprint SHA256   trust the server certificate with this SHA-256 fingerprint (as the\n"
    "                      refusal message and `openssl x509 -noout -fingerprint -sha256` show it) even\n"
    "                      though it is self-signed or for another name; with --connection it is\n"
    "                      pinned on that stored connection once the connect succeeds\n"
    "  --identity FILE     SFTP: sign in with this private key (OpenSSH format; a passphrase is asked\n"
    "                      for on the terminal and never stored)\n"
    "  --trust-host-key SHA256:...   SFTP: trust the server's host key with this fingerprint (as the\n"
    "                      refusal message and `ssh-keygen -l` show it) though ~/.ssh/known_hosts does\n"
    "                      not hold it; with --connection it is pinned on that stored connection\n"
    "  --password-stdin    read the password from the first line of stdin\n"
    "  --connection NAME   take server, login, paths, types and sub-folder choice from a stored connection\n"
    "  --exclude PATTERN   leave out paths below the top folders that match (repeatable; gitignore-like:\n"
    "                      *.tmp any name, .git/ folders only, /build anchored at the top, a/**/b across\n"
    "                      folders; A-Z matches a-z); --exclude-from FILE reads one pattern a line (#\n"
    "                      comments); the local folder's .twinbayignore and a stored connection's list add theirs\n"
    "  --remote-dir DIR    compare with (or sync to) a local folder standing in for the server\n"
    "  --server-offset     the zone of a server that lists times in its own local time (LIST without\n"
    "                      MLSD): auto finds it (default; a stored connection keeps its own), or a\n"
    "                      fixed offset east of UTC such as +05:30 or -08:00\n"
    "  --connections N     list folders and copy files over up to N connections at once (1 to 16,\n"
    "                      default 8); a server that takes fewer logins is used with as many as it takes\n"
    "  --bwlimit RATE      sync: all copies together send and receive at most RATE bytes a second\n"
    "                      (500K, 2M, 1.5G: K, M and G are 1024, 1024² and 1024³)\n"
    "  A local file a sync (or resolve) deletes or replaces goes to the desktop's trash (the trash of\n"
    "  its disk, from where the file manager restores it); one that cannot go there is left as it is\n"
    "  and its deletion or copy fails.\n"
    "  --no-trash          sync: delete and overwrite local files instead\n"
    "  --backup-dir PATH   sync: a server file deleted or replaced is moved (renamed) into\n"
    "                      PATH/YYYY-MM-DD_HHMMSS/ (the run's time) at its own relative path instead;\n"
    "                      PATH is taken from the remote top folder unless absolute, and below it\n"
    "                      is never compared (give it to compare too). Each such file's report\n"
    "                      line names where it went. A stored connection's backup folder (connections\n"
    "                      add --backup-dir, or the Connection dialog) holds unless --backup-dir is given\n"
    "  --checksum          files of equal size are compared by a hash of their contents where the\n"
    "                      server gives one (FTP HASH or XSHA256/XSHA1/XMD5/XCRC; SFTP sha256sum or\n"
    "                      md5sum where the account may run it): the same contents are in step\n"
    "                      whatever the times, different contents never are; else sizes and times decide\n"
    "  --verify            sync: every copy's hash is checked against its source's once it is stored;\n"
    "                      a copy that differs fails (a replaced file's old version is gone by then)\n"
    "  --watch             sync: after the run, watch the local folders and sync again once changes\n"
    "                      have been quiet for a second, and every --interval minutes (default 5) for\n"
    "                      the server's; each run keeps every guard, a refused one is named and watching\n"
    "                      goes on; Ctrl-C ends it (status 130)\n"
    "  -v, --verbose       sync on a terminal: besides the progress line, name every file copied\n"
    "  -q, --quiet         sync: nothing on stdout (failures still on stderr)\n"
    "  The last synchronised state of each folder pair (kept under the stored connection's name, else\n"
    "  the server's address) decides, not the clock: a file deleted on one side since then is deleted on\n"
    "  the other (x> on the server, <x locally), a file changed on both sides (or deleted on one and\n"
    "  changed on the other) is a conflict (!), never copied or deleted. The first run of a pair\n"
    "  compares by time alone.\n"
    "  --no-state          neither use nor update it: the times decide, a deleted file is copied back\n"
    "  --keep-deleted      sync: leave files deleted on one side as they are (not deleted, not copied back)\n"
    "  --delete            sync with exactly one of --up or --down: a one-way mirror; the destination\n"
    "                      is made equal to the source (what is only there is deleted, folders too);\n"
    "                      a file newer on the destination is kept and named\n"
    "  --max-delete N      sync: allow at most N deletions (instead of refusing a run that would delete\n"
    "                      more than half of the files kept in step)\n"
    "  resolve             settle conflicts (!) as Keep Local / Keep Remote do in the window: each PATH\n"
    "                      (as compare prints it) keeps that side's version, copied over the other or,\n"
    "                      where it is gone, the other side's file deleted; --keep newer keeps the newer\n"
    "                      of the two (the changed one where one side deleted it; the same time on both\n"
    "                      sides is left alone), for every conflict or the PATHs given. Nothing else is\n"
    "                      copied or deleted; a PATH that is not a conflict is named and left (exit 1)\n"
    "  state forget        drop the state of the folder pairs of a server and login (a stored connection's\n"
    "                      or an address), or of a damaged state file (set aside whole)\n"
    "  A password comes from the environment variable TWINBAY_PASSWORD, or is asked for (SFTP: only\n"
    "  when neither the agent nor a key got in).\n"
    "  The connections file defaults to connections.ftp beside the program, else\n"
    "  $XDG_CONFIG_HOME/Kestrion/connections.ftp (~/.config/Kestrion/connections.ftp).\n"
    "\n"
    "exit status: 0 in step (compare) or all copied (sync); 1 differences found, files not copied or\n"
    "             deleted, or conflicts left; 2 error, a folder not read whole (its one-sided files shown\n"
    "             as ?), or a sync refused by the deletion guard (nothing copied or deleted)\n";

struct Args {
  std::vector<std::string> words;
  size_t pos = 0;
  bool More() const { return pos < words.size(); }
  std::string Next() { return words[pos++]; }
  std::string Value(const std::string& option) {
    if (!More()) Fail(option + " needs a value");
    return Next();
  }
};

}  // namespace

int ParseConnections(const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < 1 || v > 16) Fail("--connections takes a number from 1 to 16, not \"" + text + "\"");
  return static_cast<int>(v);
}

// "SHA256:" and 43 characters of unpadded base64, as ssh-keygen -l prints a
// host key's fingerprint.
static std::string HostKeyFingerprint(const std::string& text) {
  const bool ok = text.size() == 7 + 43 && text.compare(0, 7, "SHA256:") == 0 &&
                  std::all_of(text.begin() + 7, text.end(), [](char c) {
                    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
                  });
  if (!ok) Fail("\"" + text + "\" is not an SSH host key fingerprint (SHA256: and 43 characters, as ssh-keygen -l shows it)");
  return text;
}

static long ParseCount(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < 0) Fail(option + " takes a number of files (0 or more), not \"" + text + "\"");
  return v;
}

int ParsePort(const std::string& text) {
  int port = 0;
  if (!ReadPort(text, port)) Fail("the port must be a number from 1 to 65535, not \"" + text + "\"");
  return port;
}

namespace {

// The command (and sub-command) word; --version and --help end the program.
void ParseCommand(Args& a, Options& o) {
  if (!a.More()) {
    std::fputs(kUsage, stderr);
    std::exit(kExitError);
  }
  o.command = a.Next();
  if (o.command == "--version") {
    std::printf("twinbay-cli %s\n", TWINBAY_VERSION);
    std::exit(kExitOk);
  }
  if (o.command == "--help" || o.command == "-h" || o.command == "help") {
    std::fputs(kUsage, stdout);
    std::exit(kExitOk);
  }
  if (o.command == "connections") {
    if (!a.More()) Fail("connections needs list, add or remove");
    o.subcommand = a.Next();
    if (o.subcommand != "list" && o.subcommand != "add" && o.subcommand != "remove")
      Fail("unknown connections command \"" + o.subcommand + "\"");
  } else if (o.command == "state") {
    if (!a.More() || a.Next() != "forget") Fail("state needs forget");
    o.subcommand = "forget";
  } else if (o.command != "compare" && o.command != "sync" && o.command != "resolve") {
    Fail("unknown command \"" + o.command + "\" (try --help)");
  }
}

// The folders, the server and what is compared; false for another option.
bool ParsePlaceOption(const std::string& w, Args& a, Options& o) {
  if (w == "--local") o.local = a.Value(w), o.localGiven = true;
  else if (w == "--remote" && o.command == "connections") o.remotePath = a.Value(w);
  else if (w == "--remote") o.remoteUrl = a.Value(w);
  else if (w == "--remote-dir") o.remoteDir = a.Value(w);
  else if (w == "--connection") o.connection = a.Value(w);
  else if (w == "--file") o.file = a.Value(w);
  else if (w == "--types") o.types = a.Value(w), o.typesGiven = true;
  else if ((w == "--exclude" || w == "--exclude-from") && o.command != "state" && o.subcommand != "list" &&
           o.subcommand != "remove") {
    // Checked here, so that a pattern that cannot be used stops the run at once.
    const std::string given = a.Value(w);
    std::string text = given, why;
    if (w == "--exclude" && text.find_first_of("\r\n") != std::string::npos) Fail("--exclude takes one pattern");
    if (w == "--exclude-from" && !ReadPatternText(given, text, why, false)) Fail("--exclude-from: " + why);
    ExcludeList check;
    if (!check.AddLines(text, why)) Fail(w + ": " + why);
    o.exclude += text + "\n";
  }
  else if (w == "--connections" && o.command != "connections") o.connections = ParseConnections(a.Value(w));
  else if (w == "--no-subfolders") o.includeSubFolders = false, o.subFoldersGiven = true;
  else if (w == "--exact-seconds") o.ignoreSeconds = false;
  else if (w == "--checksum") o.checksum = true;
  else if (w == "--format") {
    o.format = a.Value(w);
    if (o.format != "text" && o.format != "tsv") Fail("--format takes text or tsv");
  } else if (w == "--no-state" && o.command != "connections" && o.command != "state") o.noState = true;
  else if (w == "--backup-dir" && o.command != "state" && o.subcommand != "list" && o.subcommand != "remove") {
    o.backupDir = a.Value(w);
    if (o.backupDir.empty()) Fail("--backup-dir needs a folder");
  }
  else return false;
  return true;
}

// What a sync does and says; false for another option.
bool ParseSyncOption(const std::string& w, Args& a, Options& o) {
  if (o.command != "sync" && o.command != "resolve") return false;
  if (w == "--up") o.up = true;
  else if (w == "--down") o.down = true;
  else if (w == "--set-local-timestamps") o.setLocalTimestamps = true;
  else if (w == "--dry-run") o.dryRun = true;
  else if (w == "--verify") o.verify = true;
  else if (w == "-v" || w == "--verbose") o.verbose = true;
  else if (w == "--keep-deleted") o.keepDeleted = true;
  else if (w == "--delete") o.mirror = true;
  else if (w == "--max-delete") o.maxDelete = ParseCount(w, a.Value(w));
  else if (w == "-q" || w == "--quiet") o.quiet = true;
  else if (w == "--no-trash") o.noTrash = true;
  else if (w == "--keep" && o.command == "resolve") {
    o.keep = a.Value(w);
    if (o.keep != "local" && o.keep != "remote" && o.keep != "newer") Fail("--keep takes local, remote or newer");
  }
  else if (w == "--watch") o.watch = true;
  else if (w == "--interval") {
    const long v = ParseCount(w, a.Value(w));
    if (v < 1 || v > 24 * 60) Fail("--interval takes minutes from 1 to 1440");
    o.intervalMinutes = static_cast<int>(v);
  }
  else if (w == "--bwlimit") {
    const std::string v = a.Value(w);
    if (!ParseByteRate(v, o.bytesPerSecond)) Fail("--bwlimit takes bytes a second such as 500K or 2M, not \"" + v + "\"");
  }
  else return false;
  return true;
}

// A stored connection's fields and the login, TLS and trust options; false
// for another option.
bool ParseLoginOption(const std::string& w, Args& a, Options& o) {
  const bool login = o.command != "connections" || o.subcommand == "add";
  if (w == "--description") o.description = a.Value(w);
  else if (w == "--host") o.host = a.Value(w);
  else if (w == "--port") o.port = ParsePort(a.Value(w)), o.portGiven = true;
  else if (w == "--user") o.user = a.Value(w);
  else if (w == "--password-stdin") o.passwordStdin = true;
  else if (w == "--identity" && login) o.identity = a.Value(w);
  else if (w == "--trust-host-key" && login) o.trustHostKey = HostKeyFingerprint(a.Value(w));
  else if (w == "--protocol" && o.subcommand == "add") {
    const std::string v = a.Value(w);
    if (v != "ftp" && v != "sftp") Fail("--protocol takes ftp or sftp");
    o.sftp = v == "sftp";
  } else if (w == "--server-offset" && login) {
    std::string why;
    if (!ServerTimeOffset::Parse(a.Value(w), o.serverOffset, &why)) Fail(why);
    o.serverOffsetGiven = true;
  } else if (w == "--tls" && login) {
    if (!ParseTlsMode(a.Value(w), o.tls)) Fail("--tls takes none, explicit or implicit");
    o.tlsGiven = true;
  } else if (w == "--trust-fingerprint" && login) {
    const std::string given = a.Value(w);
    o.trustFingerprint = NormalizeFingerprint(given);
    if (o.trustFingerprint.empty())
      Fail("\"" + given + "\" is not a SHA-256 certificate fingerprint (64 hex digits, colons allowed)");
  } else {
    return false;
  }
  return true;
}

}  // namespace

Options Parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) a.words.push_back(argv[i]);
  Options o;
  ParseCommand(a, o);
  while (a.More()) {
    const std::string w = a.Next();
    if (o.command == "resolve" && !w.empty() && w[0] != '-') o.paths.push_back(w);
    else if (!ParsePlaceOption(w, a, o) && !ParseSyncOption(w, a, o) && !ParseLoginOption(w, a, o))
      Fail("unknown option " + w + " (try --help)");
  }
  if (o.verbose && o.quiet) Fail("-v and -q do not go together");
  if (o.mirror && o.up == o.down) Fail("--delete needs exactly one of --up or --down (the direction of the mirror)");
  if (o.watch && o.dryRun) Fail("--watch and --dry-run do not go together");
  if (o.mirror && o.keepDeleted) Fail("--delete and --keep-deleted do not go together");
  if (o.command == "resolve" && (o.up || o.down || o.mirror || o.keepDeleted || o.noState))
    Fail("resolve settles conflicts only; --up, --down, --delete, --keep-deleted and --no-state do not apply");
  if (o.command == "resolve" && o.keep.empty()) Fail("resolve needs --keep local, remote or newer");
  if (o.command == "resolve" && o.keep != "newer" && o.paths.empty()) Fail("resolve --keep " + o.keep + " needs the PATHs of the conflicts");
  return o;
}

}  // namespace twinbay::cli
