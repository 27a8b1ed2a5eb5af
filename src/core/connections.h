// Stored connections and the "connections.ftp" file: a count followed by
// archived records, byte for byte as earlier versions of the program wrote it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "fs/place.h"

namespace twinbay {

class CConnectionProperties {
 public:
  static constexpr int32_t kCurrentFormat = 107;

  std::string description;
  std::string host;
  std::string remotePath;
  int32_t anonymous = 1;
  std::string userName;
  std::string password;
  int32_t includeSubFolders = 1;
  std::string localPath;
  // The first reserved string holds the SHA-256 fingerprint of the server
  // certificate the user trusted for this record ("AB:CD:..."; empty: none).
  std::string pinnedFingerprint;
  // The next two reserved strings: the SFTP private key file (empty: none)
  // and the SFTP host key the user trusted ("SHA256:..."; empty: none). Older
  // files hold them empty.
  std::string keyFile;
  std::string hostKey;
  // The first reserved word holds the TLS mode (FtpTls: 0 plain, as every
  // older file has, 1 explicit, 2 implicit).
  int32_t tlsMode = 0;
  int32_t port = 21;
  int32_t formatMarker = kCurrentFormat;
  // The next reserved word holds the protocol: 0 FTP (tlsMode tells which),
  // as every older file has, 1 SFTP.
  int32_t protocol = 0;
  // Word 17, bit 0: the password is kept in the desktop keyring (the file's
  // password field is then empty; older files hold 0).
  int32_t reserved16 = 0, reserved17 = 0;
  // Not stored: 0 when the password was typed at the connect prompt and is
  // kept for this run only.
  int32_t passwordStored = 1;
  // Not stored: what the desktop keyring is known to hold for this record's
  // login and password (empty: not read from it yet), and the last ones it
  // refused in this run (see core/keyring.h).
  std::string keyringHeld, keyringRefused;
  std::string fileTypes;
};

// The server time offset a record keeps (in its reserved word 16).
ServerTimeOffset GetServerOffset(const CConnectionProperties& record);
void SetServerOffset(CConnectionProperties& record, const ServerTimeOffset& offset);

// Whether the record's password is kept in the desktop keyring.
inline bool PasswordInKeyring(const CConnectionProperties& r) { return (r.reserved17 & 1) != 0; }
inline void SetPasswordInKeyring(CConnectionProperties& r, bool in) { r.reserved17 = (r.reserved17 & ~1) | (in ? 1 : 0); }

// The protocol a record names: FTP with its TLS mode, or SFTP. False for a
// protocol or TLS mode a newer version wrote: such a record is not connected
// at all rather than over plain FTP.
bool RecordProtocol(const CConnectionProperties& record, FsProtocol& protocol);
void SetRecordProtocol(CConnectionProperties& record, FsProtocol protocol);

// Reverses the text and swaps the two 4-bit halves of every byte; applying it
// twice gives the text back.
std::string ScrambleText(const std::string& text);

// The file's bytes for a list of records. Records whose password was only
// prompted for are written with an empty password (and it is emptied in the
// record too), as are those whose password is in the desktop keyring.
std::string SerializeConnections(std::vector<std::unique_ptr<CConnectionProperties>>& records);

struct ConnectionsReadResult {
  bool ok = true;
  std::string error;  // what was wrong, for the user
};

// Far above any real connections file (a million records take about 51 MB).
constexpr size_t kMaxConnectionsFileBytes = size_t{256} << 20;
// Reads a whole connections file: only a regular file (never blocking on a FIFO
// or reading a device) of at most kMaxConnectionsFileBytes. False, with a
// message, otherwise.
bool ReadConnectionsFile(const std::string& fileName, std::string& bytes, std::string& error);

// Reads the bytes of a connections file. Never trusts a length or count: on a
// fault the records read before it are kept and the result says what failed.
ConnectionsReadResult ParseConnections(const std::string& bytes,
                                       std::vector<std::unique_ptr<CConnectionProperties>>& records);

class ConnectionsList {
 public:
  explicit ConnectionsList(std::string fileName = {}) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string name) { fileName_ = std::move(name); }

  // A missing file gives an empty list and success. An unreadable one keeps
  // the records read before the fault and fails with a message.
  ConnectionsReadResult Load();
  // Writes a temporary file beside the real one (mode 0600) and renames it
  // over the old file, so that a failed save never loses the list. Stored
  // passwords go to the desktop keyring first where one answers
  // (KeepRecordPasswords).
  ConnectionsReadResult Save();
  // Renames an unreadable file to "<name>.bad" so that the next save does not
  // overwrite what may still be recovered. Returns the new name, or empty.
  std::string KeepAside() const;

  size_t Count() const { return records_.size(); }
  CConnectionProperties* At(size_t i) const { return i < records_.size() ? records_[i].get() : nullptr; }
  CConnectionProperties* Add(std::unique_ptr<CConnectionProperties> record);
  // Destroys the record; false when it is not in the list.
  bool Remove(const CConnectionProperties* record);
  CConnectionProperties* FindByDescription(const std::string& description) const;
  std::vector<std::unique_ptr<CConnectionProperties>>& Records() { return records_; }

 private:
  std::string fileName_;
  std::vector<std::unique_ptr<CConnectionProperties>> records_;
};

// Where the connections file lives: beside the program file when a copy is
// there (a portable installation), otherwise in the user's configuration
// folder, $XDG_CONFIG_HOME/Kestrion (default ~/.config/Kestrion). Empty,
// with the reason in *problem, when the user has no configuration folder.
std::string DefaultConnectionsFile(std::string* problem = nullptr);
// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config (only
// absolute paths count). Empty, with the reason in *problem, when neither is
// set.
std::string UserConfigFolder(std::string* problem = nullptr);

}  // namespace twinbay
