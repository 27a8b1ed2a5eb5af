#include "core/connections.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/connection_settings.h"
#include "core/keyring.h"

namespace twinbay {
namespace {

constexpr char kClassName[] = "CConnectionProperties";
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint16_t kSeenClassTag = 0x8001;
constexpr uint16_t kSchema = 1;

class Writer {
 public:
  void U16(uint16_t v) {
    out_ += static_cast<char>(v & 0xFF);
    out_ += static_cast<char>(v >> 8);
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v & 0xFFFF));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Str(const std::string& s) {
    const size_t n = s.size();
    if (n < 255) {
      out_ += static_cast<char>(n);
    } else if (n < 65534) {
      out_ += '\xFF';
      U16(static_cast<uint16_t>(n));
    } else {
      out_ += '\xFF';
      U16(0xFFFF);
      U32(static_cast<uint32_t>(n));
    }
    out_ += s;
  }
  void Raw(const char* p, size_t n) { out_.append(p, n); }
  std::string& Bytes() { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(const std::string& bytes) : b_(bytes) {}
  bool U8(uint8_t& v) {
    if (pos_ + 1 > b_.size()) return Short();
    v = static_cast<uint8_t>(b_[pos_++]);
    return true;
  }
  bool U16(uint16_t& v) {
    if (pos_ + 2 > b_.size()) return Short();
    v = static_cast<uint16_t>(static_cast<uint8_t>(b_[pos_]) | static_cast<uint8_t>(b_[pos_ + 1]) << 8);
    pos_ += 2;
    return true;
  }
  bool U32(uint32_t& v) {
    uint16_t lo, hi;
    if (!U16(lo) || !U16(hi)) return false;
    v = static_cast<uint32_t>(lo) | static_cast<uint32_t>(hi) << 16;
    return true;
  }
  bool I32(int32_t& v) {
    uint32_t u;
    if (!U32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool Str(std::string& s) {
    uint8_t b;
    if (!U8(b)) return false;
    size_t n = b;
    if (b == 0xFF) {
      uint16_t w;
      if (!U16(w)) return false;
      if (w == 0xFFFE) return Bad("a string in a character set this version cannot read");
      n = w;
      if (w == 0xFFFF) {
        uint32_t d;
        if (!U32(d)) return false;
        n = d;
      }
    }
    // A length beyond what is left is a damaged file, not an allocation.
    if (n > b_.size() - pos_) return Short();
    s.assign(b_, pos_, n);
    pos_ += n;
    return true;
  }
  bool Bytes(std::string& s, size_t n) {
    if (n > b_.size() - pos_) return Short();
    s.assign(b_, pos_, n);
    pos_ += n;
    return true;
  }
  bool Bad(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  const std::string& Error() const { return error_; }
  size_t Position() const { return pos_; }

 private:
  bool Short() { return Bad("the file ends in the middle of a record"); }
  const std::string& b_;
  size_t pos_ = 0;
  std::string error_;
};

bool ReadRecord(Reader& r, CConnectionProperties& c) {
  uint32_t marker = 0;
  if (!r.Str(c.description) || !r.Str(c.host) || !r.Str(c.remotePath) || !r.I32(c.anonymous) ||
      !r.Str(c.userName) || !r.Str(c.password) || !r.I32(c.includeSubFolders) || !r.Str(c.localPath) ||
      !r.Str(c.fileTypes) || !r.Str(c.pinnedFingerprint) || !r.Str(c.keyFile) || !r.Str(c.hostKey) ||
      !r.I32(c.tlsMode) || !r.I32(c.port) || !r.U32(marker) || !r.I32(c.protocol))
    return false;
  c.passwordStored = 1;
  if (marker == 0 || marker == 0xCDCDCDCDu) {
    // The older layout: no further words, clear-text login, default port,
    // plain FTP (what its reserved fields hold, uninitialised memory
    // included, means nothing).
    c.port = 21;
    c.tlsMode = 0;
    c.protocol = 0;
    c.pinnedFingerprint.clear();
    c.keyFile.clear();
    c.hostKey.clear();
    c.formatMarker = 0;
    return true;
  }
  c.formatMarker = static_cast<int32_t>(marker);
  if (!r.I32(c.reserved16) || !r.I32(c.reserved17)) return false;
  c.userName = ScrambleText(c.userName);
  c.password = ScrambleText(c.password);
  // A password in the field is newer than one in the keyring (a version
  // that knows no keyring changed it): it counts, and moves on the next save.
  if (!c.password.empty()) SetPasswordInKeyring(c, false);
  return true;
}

void WriteRecord(Writer& w, CConnectionProperties& c) {
  if (!c.passwordStored) c.password.clear();
  c.formatMarker = CConnectionProperties::kCurrentFormat;
  w.Str(c.description);
  w.Str(c.host);
  w.Str(c.remotePath);
  w.I32(c.anonymous);
  w.Str(ScrambleText(c.userName));
  w.Str(ScrambleText(PasswordInKeyring(c) ? std::string() : c.password));
  w.I32(c.includeSubFolders);
  w.Str(c.localPath);
  w.Str(c.fileTypes);
  w.Str(c.pinnedFingerprint);
  w.Str(c.keyFile);
  w.Str(c.hostKey);
  w.I32(c.tlsMode);
  w.I32(c.port);
  w.I32(c.formatMarker);
  w.I32(c.protocol);
  w.I32(c.reserved16);
  w.I32(c.reserved17);
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes `bytes` to a new temporary file beside `file` (mode 0600), synced
// to the disk; its name in `tmp`. False, with the reason, and nothing left.
bool WriteTemporary(const std::string& file, const std::string& bytes, std::string& tmp, std::string& error) {
  tmp = file + ".XXXXXX";
  const int fd = mkstemp(tmp.data());  // created with mode 0600
  if (fd < 0) {
    error = Errno("cannot write beside " + file);
    tmp.clear();
    return false;
  }
  fchmod(fd, 0600);
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (!ok) error = Errno("cannot write " + tmp);
  if (close(fd) != 0 && ok) {
    ok = false;
    error = Errno("cannot write " + tmp);
  }
  if (!ok) {
    unlink(tmp.c_str());
    tmp.clear();
  }
  return ok;
}

}  // namespace

bool ReadConnectionsFile(const std::string& fileName, std::string& bytes, std::string& error) {
  bytes.clear();
  // Non-blocking, so that a FIFO in its place cannot hold the program up; only
  // a regular file of a sane size is read at all.
  const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = Errno("cannot open " + fileName);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    error = Errno("cannot read " + fileName);
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = fileName + " is not a regular file.";
    close(fd);
    return false;
  }
  if (st.st_size > static_cast<off_t>(kMaxConnectionsFileBytes)) {
    error = fileName + " is too large to be a connections file (" + std::to_string(st.st_size) + " bytes).";
    close(fd);
    return false;
  }
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      // The file may have grown since fstat: read on, within the cap.
      if (bytes.size() >= kMaxConnectionsFileBytes + 1) break;
      bytes.resize(std::min(bytes.size() + 65536, kMaxConnectionsFileBytes + 1));
    }
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Errno("cannot read " + fileName);
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  bytes.resize(got);
  if (got > kMaxConnectionsFileBytes) {
    error = fileName + " is too large to be a connections file.";
    return false;
  }
  return true;
}

std::string ScrambleText(const std::string& text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[text.size() - 1 - i]);
    out[i] = static_cast<char>(static_cast<unsigned char>((c << 4) | (c >> 4)));
  }
  return out;
}

std::string SerializeConnections(std::vector<std::unique_ptr<CConnectionProperties>>& records) {
  Writer w;
  w.U32(static_cast<uint32_t>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) {
    if (i == 0) {
      w.U16(kNewClassTag);
      w.U16(kSchema);
      w.U16(static_cast<uint16_t>(sizeof kClassName - 1));
      w.Raw(kClassName, sizeof kClassName - 1);
    } else {
      w.U16(kSeenClassTag);
    }
    WriteRecord(w, *records[i]);
  }
  return std::move(w.Bytes());
}

ConnectionsReadResult ParseConnections(const std::string& bytes,
                                       std::vector<std::unique_ptr<CConnectionProperties>>& records) {
  ConnectionsReadResult result;
  Reader r(bytes);
  uint32_t count = 0;
  if (!r.U32(count)) {
    result.ok = false;
    result.error = bytes.empty() ? "the file is empty" : "the file is too short";
    return result;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t tag = 0;
    bool ok = r.U16(tag);
    if (ok && i == 0) {
      uint16_t schema = 0, len = 0;
      std::string name;
      ok = tag == kNewClassTag ? true : r.Bad("the first record does not name its kind");
      ok = ok && r.U16(schema) && r.U16(len) && r.Bytes(name, len);
      if (ok && name != kClassName) ok = r.Bad("the file holds \"" + name + "\" records, not connections");
      if (ok && schema != kSchema)
        ok = r.Bad("the connection records have version " + std::to_string(schema) + ", not 1");
    } else if (ok && tag != kSeenClassTag) {
      ok = r.Bad("record " + std::to_string(i + 1) + " is not a connection record");
    }
    auto record = std::make_unique<CConnectionProperties>();
    if (ok) ok = ReadRecord(r, *record);
    if (!ok) {
      result.ok = false;
      result.error = r.Error() + " (record " + std::to_string(i + 1) + " of " + std::to_string(count) + ")";
      return result;
    }
    records.push_back(std::move(record));
  }
  return result;
}

ConnectionsReadResult ConnectionsList::Load() {
  ConnectionsReadResult result;
  records_.clear();
  settingsProblem_.clear();
  if (fileName_.empty()) return result;
  // The settings file is renamed into place just before the connections
  // file: one written with another connections file is read again, with
  // it, under the lock every save holds (an older version's save, which
  // leaves it alone, still differs: its entries go by name).
  ConnectionsFileLock lock;
  for (int attempt = 0; attempt < 2; ++attempt) {
    records_.clear();
    result = ConnectionsReadResult();
    if (access(fileName_.c_str(), F_OK) != 0 && errno == ENOENT) return result;  // no file yet: an empty list
    std::string bytes;
    if (!ReadConnectionsFile(fileName_, bytes, result.error)) {
      result.ok = false;
      return result;
    }
    result = ParseConnections(bytes, records_);
    if (!result.ok) {
      // Records read before a fault count as this program's own: the file is
      // kept aside, and the next save writes them into a new one.
      result.error = fileName_ + " cannot be read: " + result.error + ".";
      return result;
    }
    settingsProblem_.clear();
    const SettingsRead read = ReadConnectionSettings(fileName_, bytes, records_, settingsProblem_);
    if (read != SettingsRead::Differs || attempt > 0 || !lock.Take(fileName_, result.error)) break;
  }
  result.error.clear();
  KnowAsLoaded();
  return result;
}

ConnectionsReadResult ConnectionsList::Save() {
  ConnectionsReadResult result;
  if (fileName_.empty()) {
    result.ok = false;
    std::string problem;
    result.error = UserConfigFolder(&problem).empty() ? problem : "no file name for the connections";
    return result;
  }
  // Only a file (or a link, which the rename replaces) is replaced: a
  // device or FIFO in its place is never written over.
  if (struct stat st {}; lstat(fileName_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    result.ok = false;
    result.error = fileName_ + " is not a file: the connections were not saved";
    return result;
  }
  KeepRecordPasswords(records_);
  // Two programs saving at once would each merge into the file as it was
  // before the other's save: the read, merge and rename happen under the lock.
  ConnectionsFileLock lock;
  if (!lock.Take(fileName_, result.error)) {
    result.ok = false;
    return result;
  }
  RecordList file;
  std::string fileBytes;
  if (access(fileName_.c_str(), F_OK) == 0 || errno != ENOENT) {
    ConnectionsReadResult now;
    if (!ReadConnectionsFile(fileName_, fileBytes, now.error) || !(now = ParseConnections(fileBytes, file)).ok) {
      result.ok = false;
      result.error = fileName_ + " cannot be read (" + now.error + "): the connections were not saved";
      return result;
    }
  }
  // The settings kept beside the file join its records, merged with them.
  const std::string settingsFile = ConnectionSettingsFile(fileName_);
  const SettingsRead settingsNow = ReadConnectionSettings(fileName_, fileBytes, file, result.error);
  if (settingsNow == SettingsRead::Damaged) {
    result.ok = false;
    result.error += ": the connections were not saved";
    return result;
  }
  std::vector<long> at;
  RecordList merged = Merge(std::move(file), at);
  const std::string bytes = SerializeConnections(merged);
  const bool settings = settingsNow != SettingsRead::None ||
                        std::any_of(merged.begin(), merged.end(), [](const auto& r) { return HasConnectionSettings(*r); });
  // Both files are written whole first, then renamed into place, the
  // settings first: a reader that meets the new settings with the old
  // connections file reads both again under the lock (see Load).
  std::string settingsTmp, tmp;
  if ((settings && !WriteTemporary(settingsFile, SerializeConnectionSettings(merged, bytes), settingsTmp, result.error)) ||
      !WriteTemporary(fileName_, bytes, tmp, result.error)) {
    if (!settingsTmp.empty()) unlink(settingsTmp.c_str());
    result.ok = false;
    return result;
  }
  if (settings && rename(settingsTmp.c_str(), settingsFile.c_str()) != 0) {
    result.error = Errno("cannot replace " + settingsFile);
    unlink(settingsTmp.c_str());
    unlink(tmp.c_str());
    result.ok = false;
    return result;
  }
  if (rename(tmp.c_str(), fileName_.c_str()) != 0) {
    result.error = Errno("cannot replace " + fileName_);
    unlink(tmp.c_str());
    result.ok = false;
    return result;
  }
  TakeOver(merged, at);
  return result;
}

std::string ConnectionsList::KeepAside() const {
  const std::string bad = fileName_ + ".bad";
  // Only a damaged file is moved, never a device or FIFO standing in its place.
  struct stat st;
  if (lstat(fileName_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return rename(fileName_.c_str(), bad.c_str()) == 0 ? bad : std::string();
}

CConnectionProperties* ConnectionsList::Add(std::unique_ptr<CConnectionProperties> record) {
  records_.push_back(std::move(record));
  return records_.back().get();
}

bool ConnectionsList::Remove(const CConnectionProperties* record) {
  for (auto it = records_.begin(); it != records_.end(); ++it)
    if (it->get() == record) {
      // The next save removes it from the file (and its address may be
      // taken by a record added later).
      for (Known& k : known_)
        if (k.record == record) k.record = nullptr;
      records_.erase(it);
      return true;
    }
  return false;
}

CConnectionProperties* ConnectionsList::FindByDescription(const std::string& description) const {
  for (auto& r : records_)
    if (r->description == description) return r.get();
  return nullptr;
}

std::string UserConfigFolder(std::string* problem) {
  // Only absolute paths count: a relative one would depend on where the
  // program was started.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.config";
  // No fallback to a shared folder such as /tmp, where another user could
  // have made the folder first.
  if (problem)
    *problem = "HOME is not set (nor XDG_CONFIG_HOME), so there is no folder of yours to keep settings and "
               "connections in; set HOME";
  return {};
}

std::string DefaultConnectionsFile(std::string* problem) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = 0;
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    const std::string beside = dir + "connections.ftp";
    if (access(beside.c_str(), F_OK) == 0) return beside;
  }
  const std::string config = UserConfigFolder(problem);
  if (config.empty()) return {};
  const std::string folder = config + "/Kestrion";
  mkdir(config.c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  return folder + "/connections.ftp";
}

// ---- what a record names ------------------------------------------------------

ServerTimeOffset GetServerOffset(const CConnectionProperties& record) {
  return ServerTimeOffset::FromRecordWord(record.reserved16);
}

void SetServerOffset(CConnectionProperties& record, const ServerTimeOffset& offset) {
  // A value this version does not understand stays as it was while the user
  // leaves the setting at automatic.
  if (offset.automatic && GetServerOffset(record).automatic) return;
  record.reserved16 = offset.RecordWord();
}

bool RecordProtocol(const CConnectionProperties& record, FsProtocol& protocol) {
  if (record.protocol == 1) {
    protocol = FsProtocol::Sftp;
    return true;
  }
  FtpTls tls;
  if (record.protocol != 0 || !TlsModeFromWord(record.tlsMode, tls)) return false;
  protocol = tls == FtpTls::Explicit   ? FsProtocol::FtpTlsExplicit
             : tls == FtpTls::Implicit ? FsProtocol::FtpTlsImplicit
                                       : FsProtocol::Ftp;
  return true;
}

void SetRecordProtocol(CConnectionProperties& record, FsProtocol protocol) {
  record.protocol = protocol == FsProtocol::Sftp ? 1 : 0;
  record.tlsMode = static_cast<int32_t>(protocol == FsProtocol::FtpTlsExplicit   ? FtpTls::Explicit
                                        : protocol == FsProtocol::FtpTlsImplicit ? FtpTls::Implicit
                                                                                 : FtpTls::None);
}

}  // namespace twinbay
