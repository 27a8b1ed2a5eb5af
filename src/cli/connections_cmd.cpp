// twinbay-cli: the connections file, and the connections list, add and remove
// commands.

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "cli/cli.h"
#include "core/keyring.h"

namespace twinbay::cli {

// ---- connections file ------------------------------------------------------

ConnectionsList LoadConnections(const std::string& file) {
  std::string problem;
  const std::string name = file.empty() ? DefaultConnectionsFile(&problem) : file;
  if (name.empty()) Fail(problem + ", or name the file with --file");
  ConnectionsList list(name);
  const ConnectionsReadResult r = list.Load();
  if (!r.ok) Fail(r.error + " The file was left as it is.");
  return list;
}

void SaveConnections(ConnectionsList& list) {
  const ConnectionsReadResult r = list.Save();
  if (!r.ok) Fail("could not save the connections: " + r.error);
}

namespace {

std::string PasswordNote(const CConnectionProperties& c) {
  switch (WherePasswordIsKept(c)) {
    case PasswordHome::Keyring: return " (password in the desktop keyring)";
    case PasswordHome::File: return " (password scrambled in the connections file)";
    default: return "";
  }
}

void ListConnections(const ConnectionsList& list, const std::string& format) {
  if (format == "tsv") {
    for (size_t i = 0; i < list.Count(); ++i) {
      const CConnectionProperties& c = *list.At(i);
      std::printf("%s\t%s\t%d\t%d\t%s\t%d\t%s\t%s\t%s\t%d\n", Visible(c.description, true).c_str(),
                  Visible(c.host, true).c_str(), c.port, c.anonymous ? 1 : 0, Visible(c.userName, true).c_str(),
                  WherePasswordIsKept(c) == PasswordHome::None ? 0 : 1, Visible(c.remotePath, true).c_str(),
                  Visible(c.localPath, true).c_str(), Visible(c.fileTypes, true).c_str(),
                  c.includeSubFolders ? 1 : 0);
    }
  } else {
    if (list.Count() == 0) std::printf("No stored connections in %s\n", Visible(list.FileName()).c_str());
    for (size_t i = 0; i < list.Count(); ++i) {
      const CConnectionProperties& c = *list.At(i);
      std::printf("%s\n  server:  %s:%d\n  login:   %s\n  remote:  %s\n  local:   %s\n  types:   %s%s\n",
                  Visible(c.description).c_str(), Visible(c.host).c_str(), c.port,
                  c.anonymous && c.protocol != 1 ? "anonymous" : (Visible(c.userName) + PasswordNote(c)).c_str(),
                  Visible(c.remotePath).c_str(), Visible(c.localPath).c_str(),
                  c.fileTypes.empty() ? "*.*" : Visible(c.fileTypes).c_str(),
                  c.includeSubFolders ? ", with sub-folders" : "");
      if (!c.exclude.empty()) {
        std::string lines = c.exclude;
        for (size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 2) lines.replace(at, 1, ", ");
        std::printf("  exclude: %s\n", Visible(lines).c_str());
      }
      if (!c.backupDir.empty()) std::printf("  backup folder on the server: %s\n", Visible(c.backupDir).c_str());
      if (c.protocol == 1) {
        std::printf("  protocol: sftp%s%s%s%s\n", c.keyFile.empty() ? "" : ", key file ", Visible(c.keyFile).c_str(),
                    c.hostKey.empty() ? "" : ", trusted host key ", Visible(c.hostKey).c_str());
        continue;
      }
      std::printf("  server time offset: %s\n", GetServerOffset(c).Text().c_str());
      FtpTls mode = FtpTls::None;
      const bool known = TlsModeFromWord(c.tlsMode, mode);
      std::printf("  tls:     %s%s%s\n", known ? TlsModeName(mode) : ("unknown (" + std::to_string(c.tlsMode) + ")").c_str(),
                  c.pinnedFingerprint.empty() ? "" : ", trusted certificate SHA-256 ",
                  Visible(c.pinnedFingerprint).c_str());
    }
  }
}

void AddConnection(ConnectionsList& list, const Options& o) {
  if (o.host.empty()) Fail("connections add needs --host");
  auto c = std::make_unique<CConnectionProperties>();
  c->host = o.host;
  c->description = o.description.empty() ? o.host : o.description;
  c->port = o.portGiven ? o.port : DefaultPort(o.sftp ? FsProtocol::Sftp : FsProtocol::Ftp);
  c->remotePath = o.remotePath.empty() ? "/" : o.remotePath;
  c->localPath = o.local;
  c->fileTypes = o.types;
  c->includeSubFolders = o.includeSubFolders ? 1 : 0;
  c->anonymous = o.user.empty() ? 1 : 0;
  c->exclude = o.exclude;  // checked as it was read
  while (!c->exclude.empty() && c->exclude.back() == '\n') c->exclude.pop_back();
  c->backupDir = o.backupDir;
  c->userName = o.user;
  SetServerOffset(*c, o.serverOffset);
  if (o.sftp) {
    if (o.tlsGiven || !o.trustFingerprint.empty()) Fail("--tls and --trust-fingerprint are for FTP, not SFTP");
    SetRecordProtocol(*c, FsProtocol::Sftp);
    c->keyFile = o.identity;
    c->hostKey = o.trustHostKey;
  } else {
    if (!o.identity.empty() || !o.trustHostKey.empty())
      Fail("--identity and --trust-host-key are for SFTP: add --protocol sftp");
    c->tlsMode = static_cast<int32_t>(o.tls);
    if (!o.trustFingerprint.empty() && o.tls == FtpTls::None)
      Fail("--trust-fingerprint needs --tls explicit or implicit");
    c->pinnedFingerprint = o.trustFingerprint;
  }
  if (o.passwordStdin) {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    c->password = line;
  }
  if (list.FindByDescription(c->description)) Fail("a connection \"" + c->description + "\" exists already");
  std::string why;
  const PasswordHome home = KeepRecordPassword(*c, &why);
  list.Add(std::move(c));
  SaveConnections(list);
  if (home == PasswordHome::Keyring) std::fprintf(stderr, "twinbay-cli: password kept in the desktop keyring\n");
  if (home == PasswordHome::File)
    std::fprintf(stderr, "twinbay-cli: password kept scrambled in the connections file (no desktop keyring: %s)\n",
                 why.c_str());
}

}  // namespace

int ConnectionsCommand(const Options& o) {
  ConnectionsList list = LoadConnections(o.file);
  if (o.subcommand == "list") {
    if (!list.SettingsProblem().empty())
      std::fprintf(stderr, "twinbay-cli: warning: %s\n", Visible(list.SettingsProblem()).c_str());
    ListConnections(list, o.format);
    return kExitOk;
  }
  if (o.subcommand == "add") {
    AddConnection(list, o);
    return kExitOk;
  }
  // remove
  if (o.description.empty()) Fail("connections remove needs --description");
  CConnectionProperties* c = list.FindByDescription(o.description);
  if (!c) Fail("no connection \"" + o.description + "\"");
  const CConnectionProperties removed = *c;
  list.Remove(c);
  SaveConnections(list);
  ForgetRecordPassword(list, removed);
  return kExitOk;
}

}  // namespace twinbay::cli
