// twinbay-cli's parts as they call one another: the options read from the
// command line, the server to use, and the steps of each command. Private to
// src/cli.
//
//   options.cpp          the command line and the usage text
//   output.cpp           safe text, failures, the compare result, incomplete folders
//   connections_cmd.cpp  the connections file and the connections commands
//   remote.cpp           the server side: --remote, a stored connection, the password,
//                        the connect and what is said of host keys and certificates
//   run.cpp              a compare or sync run, and state forget
//   resolve.cpp          the conflicts resolve settles
//   watch.cpp            sync --watch: the runs again on changes and at intervals
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/connect_policy.h"
#include "core/connections.h"
#include "core/controller.h"
#include "engine/comparer.h"
#include "fs/file_system.h"

namespace twinbay::cli {

constexpr int kExitOk = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitError = 2;

struct Options {
  std::string command, subcommand;
  std::string local, remoteUrl, remoteDir, connection, file;
  std::string types;
  std::string exclude;  // --exclude and --exclude-from, one pattern a line
  bool typesGiven = false, localGiven = false;
  bool includeSubFolders = true, subFoldersGiven = false;
  bool ignoreSeconds = true;
  bool checksum = false;  // --checksum
  bool verify = false;    // --verify
  std::string format = "text";
  bool up = false, down = false, setLocalTimestamps = false, dryRun = false;
  bool verbose = false, quiet = false;
  // The last synchronised state: sync --keep-deleted, --no-state, a one-way
  // mirror (--delete with --up or --down), and the most files a sync may
  // delete (-1: the share guard decides).
  bool keepDeleted = false, noState = false, mirror = false;
  long maxDelete = -1;
  // connections add
  std::string description, host, user, remotePath;
  int port = 21;
  bool portGiven = false;
  bool passwordStdin = false;
  bool sftp = false;  // connections add --protocol sftp
  ServerTimeOffset serverOffset;
  bool serverOffsetGiven = false;
  FtpTls tls = FtpTls::None;
  bool tlsGiven = false;
  std::string trustFingerprint;
  std::string identity, trustHostKey;  // SFTP: a private key file, a host key to trust
  int connections = 8;
  uint64_t bytesPerSecond = 0;  // --bwlimit (0: none)
  // resolve: the side kept (local, remote or newer) and the conflicts named.
  std::string keep;
  std::vector<std::string> paths;
  // The safety net: --no-trash (local files deleted or replaced are
  // destroyed) and --backup-dir (server files moved there instead).
  bool noTrash = false;
  std::string backupDir;
  bool watch = false;       // sync --watch: sync again on changes here
  int intervalMinutes = 5;  // --interval: and every so many minutes for the server's
};

// The remote side of a run: the place to open and the folder there.
using Target = ConnectTarget;

// options.cpp
int ParsePort(const std::string& text);
Options Parse(int argc, char** argv);

// output.cpp
std::string Visible(std::string_view s, bool tsv = false);
[[noreturn]] void Fail(const std::string& message);
// A message of several lines, each made safe on its own.
[[noreturn]] void Fail(const std::vector<std::string>& lines);
std::string Relative(const std::string& root, const std::string& path);
std::string EntryPath(const std::string& folderRel, const CFileEntry& e);
void PrintResult(const CFolderCollection& collection, const std::string& localRoot, const std::string& format);
void PrintSummary(const CFolderCollection& collection);
int ReportIncomplete(const CFolderCollection& collection, const std::string& localRoot, int* leftAlone = nullptr);

// connections_cmd.cpp
ConnectionsList LoadConnections(const std::string& file);
void SaveConnections(ConnectionsList& list);
int ConnectionsCommand(const Options& o);

// remote.cpp
void ReportServerTime(CSyncController& controller);
Target ParseUrl(const std::string& url);
std::string AskPassword(const std::string& user, const std::string& host);
Target ResolveTarget(Options& o);
// Opens the remote side (asking for a password where one is needed);
// fails the run with what the user needs to know.
void OpenRemote(const Options& o, Target& target, CSyncController& controller);

// run.cpp
int CompareOrSync(Options o);
// resolve.cpp: tags only the conflicts resolve settles (nothing else); how
// many named paths (or conflicts, for --keep newer) were left as they are.
int ChooseConflicts(CFolderCollection& collection, const Options& o, const std::string& local);

// watch.cpp
// sync --watch: `pass` (a compare and sync; its exit status) once, then again
// after changes in `local` have been quiet for a second and every
// --interval minutes, until `interrupted` says the user ended it.
void WatchLoop(const Options& o, const std::string& local, const std::function<int()>& pass,
              const std::function<bool()>& interrupted);
// state forget: drops what is kept of a connection's or address's folder pairs.
int StateCommand(Options o);

}  // namespace twinbay::cli
