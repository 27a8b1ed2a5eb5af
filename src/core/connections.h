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
  // Kept in the settings file beside the connections file (see
  // core/connection_settings.h), not in the record: the paths to leave out
  // (one pattern a line, as --exclude takes them) and the sync's backup
  // folder on the server (empty: none); lines of its entry this version
  // does not know.
  std::string exclude, backupDir, settingsOther;
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

// An exclusive lock on "<file>.lock" (made beside the file, mode 0600),
// held by every save of the connections file while it reads, merges and
// replaces it. A file of its own, not the connections file: a save renames
// a new file into place, and a lock on the old one would not keep out a
// program that opened the new one. Released when destroyed.
class ConnectionsFileLock {
 public:
  ConnectionsFileLock() = default;
  ~ConnectionsFileLock();
  ConnectionsFileLock(const ConnectionsFileLock&) = delete;
  ConnectionsFileLock& operator=(const ConnectionsFileLock&) = delete;
  // Waits for another holder up to `waitMs` (a save takes milliseconds);
  // false with the reason.
  bool Take(const std::string& connectionsFile, std::string& error, int waitMs = 5000);

 private:
  int fd_ = -1;
};

class ConnectionsList {
 public:
  explicit ConnectionsList(std::string fileName = {}) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }
  // A new file: every record is this program's own addition to it.
  void SetFileName(std::string name) {
    fileName_ = std::move(name);
    known_.clear();
  }

  // A missing file gives an empty list and success. An unreadable one keeps
  // the records read before the fault and fails with a message. No lock is
  // taken: a save replaces the file by a rename, so a read sees the old file
  // or the new one whole.
  ConnectionsReadResult Load();
  // Another program (twinbay-cli, a second window) may have saved the file
  // since this one read it. Under an exclusive lock (flock on "<file>.lock",
  // mode 0600) the file is read as it now stands and only what this program
  // changed since it last read or saved the file goes into it, field by
  // field: records added, fields changed, records removed. The other's
  // records and fields this program did not touch stay; a field both
  // changed takes this program's value; a record this program removed goes,
  // and one the other removed stays removed unless this program changed it
  // (then it is written again, with all its fields). The result is written
  // to a temporary file beside the real one (mode 0600) and renamed over it,
  // so that a failed save never loses the list; a file that cannot be read
  // now is not overwritten. Afterwards the list holds what was written (the
  // other's records added, records keep their addresses); a record the other
  // removed and this one left alone stays in the list, not in the file.
  // Stored passwords go to the desktop keyring first where one answers
  // (KeepRecordPasswords). The settings file beside it (exclusions, backup
  // folder: core/connection_settings.h) is read, merged and written the
  // same way, with it; one that cannot be read fails the save.
  ConnectionsReadResult Save();
  // Why the settings file beside the connections file could not be read at
  // the last Load (empty: it was, or there is none). The records then hold
  // no settings, so a stored connection must not be used: its exclusions
  // would be missing.
  const std::string& SettingsProblem() const { return settingsProblem_; }
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
  using RecordList = std::vector<std::unique_ptr<CConnectionProperties>>;
  // A record as the file held it when this program last read or wrote it:
  // what a save compares the record with to find this program's changes.
  struct Known {
    const CConnectionProperties* record;  // null once removed from the list
    CConnectionProperties as;
  };
  // The file's records (`file`, as read under the lock) with this program's
  // changes merged in; at[i] is where records_[i] is in the result, -1 when
  // nowhere (removed by the other program, unchanged here).
  RecordList Merge(RecordList file, std::vector<long>& at) const;
  // After the merged list was written: the records take its values, the
  // other program's records join the list, and all are known as written.
  void TakeOver(const RecordList& merged, const std::vector<long>& at);
  void KnowAsLoaded();

  std::string fileName_;
  std::string settingsProblem_;
  RecordList records_;
  std::vector<Known> known_;
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
