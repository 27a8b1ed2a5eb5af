#include "net/sftp_fs.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <deque>
#include <utility>

#include "net/sftp_fs_op.h"
#include "net/ssh_auth.h"

namespace twinbay {
namespace {

constexpr uint32_t kReadChunk = 64 * 1024;
constexpr size_t kReadsAhead = 32;
std::atomic<size_t> listingCap{256u << 20};

// The bytes one folder's entries take so far, counted as they arrive;
// true once they go beyond the cap.
struct ListingBudget {
  size_t counted = 0, bytes = 0;
  bool Over(const std::vector<SftpExtensionChannel::DirEntry>& entries) {
    for (; counted < entries.size(); ++counted) bytes += sizeof entries[counted] + entries[counted].name.size();
    return bytes > listingCap;
  }
};

std::string CapText() {
  return "more entries than fit in " + std::to_string(listingCap >> 20) +
         " MiB (the folder is incomplete beyond them)";
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() != '/' ? folder + "/" + name : folder + name;
}

// A name that cannot be one path component (it would lead elsewhere). Any
// other byte, "\\" included, is part of a POSIX name.
bool UnsafeName(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\0", 2)) != std::string::npos;
}

const char* SftpErrorText(int code) {
  switch (code) {
    case SSH_FX_EOF: return "end of file";
    case SSH_FX_NO_SUCH_FILE: return "no such file or folder";
    case SSH_FX_PERMISSION_DENIED: return "permission denied";
    case SSH_FX_FAILURE: return "the server failed";
    case SSH_FX_BAD_MESSAGE: return "bad message";
    case SSH_FX_OP_UNSUPPORTED: return "not supported by the server";
    case SSH_FX_FILE_ALREADY_EXISTS: return "it already exists";
    case SSH_FX_NO_SUCH_PATH: return "no such path";
    default: return "error";
  }
}

// Fills the find data of one entry from its attributes; false when the server
// gave no modification time.
bool FromAttributes(sftp_attributes a, FindData& fd) {
  if (!(a->flags & SSH_FILEXFER_ATTR_ACMODTIME)) return false;
  const int64_t seconds = a->mtime64 ? static_cast<int64_t>(a->mtime64) : a->mtime;
  fd.lastWrite = TicksFromUnix(seconds);
  fd.precision = TimePrecision::Seconds;
  fd.size = a->type == SSH_FILEXFER_TYPE_DIRECTORY ? 0 : a->size;
  fd.attributes = a->type == SSH_FILEXFER_TYPE_DIRECTORY ? kAttrDirectory : 0;
  if (a->flags & SSH_FILEXFER_ATTR_PERMISSIONS) fd.mode = static_cast<uint16_t>(a->permissions & 07777);
  return true;
}

}  // namespace

void SetSftpListingCap(size_t bytes) { listingCap = bytes; }

SftpFileSystem::SftpFileSystem(SftpSettings settings)
    : SftpFileSystem(std::move(settings), std::make_shared<SshKeyCache>()) {}

SftpFileSystem::SftpFileSystem(SftpSettings settings, std::shared_ptr<SshKeyCache> keys)
    : settings_(std::move(settings)), keys_(std::move(keys)) {}

SftpFileSystem::~SftpFileSystem() = default;

void SftpFileSystem::Disconnect() {
  prefetched_.clear();
  ext_.Close();
  hashExt_.Close();
  conn_.Close();
}

bool SftpFileSystem::Connect() {
  prefetched_.clear();
  ext_.Reset();
  hashExt_.Close();  // its channel was the old connection's: read again on the next HashKinds
  hashProbed_ = false, hashKinds_ = 0;
  if (conn_.Open(settings_, *keys_, abortFlag_)) {
    failure_ = SshFailure::None;
    error_.clear();
    Op op(*this);
    if (char* home = sftp_canonicalize_path(conn_.Sftp(), ".")) {
      if (home[0] == '/') loginFolder_ = home;
      ssh_string_free_char(home);
    }
    return true;
  }
  failure_ = conn_.Failure();
  error_ = conn_.Error();
  return false;
}

std::unique_ptr<IFileSystem> SftpFileSystem::OpenAnother() const {
  std::unique_ptr<SftpFileSystem> fs(new SftpFileSystem(settings_, keys_));
  if (!fs->Connect()) return nullptr;
  return fs;
}

std::vector<std::string> SftpFileSystem::TakeSkipped() { return std::exchange(skipped_, {}); }

FsCapabilities SftpFileSystem::Capabilities() const {
  FsCapabilities caps;
  caps.setTime = caps.rename = caps.sizeQuery = caps.preciseTimes = caps.modes = caps.resume = true;
  // A rename replaces the target in one step where the server offers the
  // POSIX rename (and opens the channel it goes over).
  caps.atomicReplace = conn_.Offers("posix-rename@openssh.com") && !ext_.Refused();
  caps.batches = caps.atomicReplace;
  caps.earliestTime = TicksFromUnix(0);  // 1970-01-01 to 2106-02-07
  caps.latestTime = TicksFromUnix(0xFFFFFFFFll);
  return caps;
}

bool SftpFileSystem::Ready() {
  if (conn_.IsOpen()) return true;
  failure_ = SshFailure::Lost;
  if (error_.empty()) error_ = "Not connected to " + settings_.host + ".";
  return false;
}

bool SftpFileSystem::Stopped() {
  if (!abortFlag_ || !abortFlag_->load()) return false;
  failure_ = SshFailure::Refused;
  error_ = "Stopped.";
  return true;
}

bool SftpFileSystem::Ok() {
  failure_ = SshFailure::None;
  error_.clear();
  return true;
}

bool SftpFileSystem::Failed(const std::string& what, int code) {
  const bool aborted = abortFlag_ && abortFlag_->load();
  if (watch_.Cut() || !ssh_is_connected(conn_.Session())) {
    failure_ = SshFailure::Lost;
    error_ = what + ": " +
             (aborted         ? std::string("stopped")
              : watch_.Cut()  ? "the server did not answer for " + std::to_string(settings_.timeoutSeconds) + " s"
                              : "the connection was lost (" + std::string(ssh_get_error(conn_.Session())) + ")");
    Disconnect();
  } else {
    failure_ = SshFailure::Refused;
    error_ = what + ": " + SftpErrorText(code >= 0 ? code : sftp_get_error(conn_.Sftp()));
    ++refused_;
  }
  return false;
}

std::string SftpFileSystem::Refusal(const std::string& what, int code) {
  ++refused_;
  return what + ": " + SftpErrorText(code);
}

bool SftpFileSystem::TakesName(const std::string& name) const { return !UnsafeName(name); }

bool SftpFileSystem::ReadFolder(const std::string& path, ScanList& out, std::vector<size_t>& links,
                                std::string& bad) {
  Op op(*this);
  std::vector<SftpExtensionChannel::DirEntry> entries;
  if (ext_.Open(conn_.Session())) {
    // Over the second channel: two round trips (the open, then reads two at
    // a time, the close not waited for) where libssh takes four.
    std::string handle;
    int status = -1;
    if (!ext_.OpenFolder(path, handle, status))
      return status < 0 ? ChannelFailed("Cannot open the folder " + path)
                        : Failed("Cannot open the folder " + path, status);
    bool stopped = false, over = false;
    ListingBudget budget;
    const auto going = [&] {
      op.Progress();
      return !(stopped = Stopped()) && !(over = budget.Over(entries));
    };
    // Beyond the cap the entries read are kept and the listing fails (the
    // channel, left with replies unread, is closed).
    if (!ext_.ReadFolder(handle, entries, status, going) && !over) {
      if (stopped) return false;
      return status < 0 ? ChannelFailed("Cannot read the folder " + path)
                        : Failed("Cannot read the folder " + path, status);
    }
    if (over) bad = CapText();
  } else if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) {
    return Failed("Cannot open the folder " + path);
  } else if (!ReadFolderEach(path, entries, op, bad)) {
    return false;  // the server offers one channel only
  }
  for (const auto& e : entries) {
    FindData fd;
    fd.name = e.name;
    const uint32_t type = (e.flags & SSH_FILEXFER_ATTR_PERMISSIONS) ? e.permissions & S_IFMT : 0;
    if (e.name == "." || e.name == "..") {
    } else if (UnsafeName(e.name)) {
      // Left out alone and told; the rest of the folder is listed.
      leftOut_.push_back(e.name);
      if (told_.insert(Join(path, e.name)).second)
        skipped_.push_back(Join(path, e.name) + ": a name that cannot be used here; skipped");
    } else if (type == S_IFLNK) {
      fd.link = true;
      links.push_back(out.size());
      out.push_back(std::move(fd));
    } else if (type == S_IFREG || type == S_IFDIR) {
      // Devices, sockets and pipes are left out, as on the local side.
      if (!(e.flags & SSH_FILEXFER_ATTR_ACMODTIME)) {
        bad = "no time for " + e.name;
        continue;
      }
      fd.lastWrite = TicksFromUnix(static_cast<int64_t>(e.mtime));
      fd.precision = TimePrecision::Seconds;
      fd.size = type == S_IFDIR ? 0 : e.size;
      fd.attributes = type == S_IFDIR ? kAttrDirectory : 0;
      fd.mode = static_cast<uint16_t>(e.permissions & 07777);
      out.push_back(std::move(fd));
    }
  }
  return true;
}

// libssh's own listing, one request per round trip: for a server that opens
// no second channel.
bool SftpFileSystem::ReadFolderEach(const std::string& path, std::vector<SftpExtensionChannel::DirEntry>& entries,
                                    Op& op, std::string& bad) {
  sftp_dir dir = sftp_opendir(conn_.Sftp(), path.c_str());
  if (!dir) return Failed("Cannot open the folder " + path);
  bool stopped = false;
  ListingBudget budget;
  while (sftp_attributes a = !(stopped = Stopped()) ? sftp_readdir(conn_.Sftp(), dir) : nullptr) {
    if (budget.Over(entries)) {
      sftp_attributes_free(a);
      bad = CapText();
      sftp_closedir(dir);
      return true;
    }
    op.Progress();
    SftpExtensionChannel::DirEntry e;
    e.name = a->name ? a->name : "";
    e.flags = a->flags;
    e.size = a->size;
    e.permissions = a->permissions;
    e.mtime = static_cast<uint32_t>(a->mtime64 ? a->mtime64 : a->mtime);
    entries.push_back(std::move(e));
    sftp_attributes_free(a);
  }
  // The handle is closed before a lost connection is let go (a close on a
  // broken connection fails at once).
  const bool whole = !stopped && sftp_dir_eof(dir);
  const int code = sftp_get_error(conn_.Sftp());
  sftp_closedir(dir);
  if (stopped) return false;
  return whole || Failed("Cannot read the folder " + path, code);
}

SftpFileSystem::LinkEnd SftpFileSystem::FollowLink(const std::string& path, FindData& entry, std::string& why) {
  Op op(*this);
  sftp_attributes a = sftp_stat(conn_.Sftp(), path.c_str());
  const bool timed = a && FromAttributes(a, entry);
  if (a) sftp_attributes_free(a);
  if (timed && !entry.IsDirectory()) return LinkEnd::Found;
  if (timed) {
    // The folder's real path, so that a link back up the tree is not walked.
    if (char* real = sftp_canonicalize_path(conn_.Sftp(), path.c_str())) {
      entry.linkTarget = real;
      ssh_string_free_char(real);
      return LinkEnd::Found;
    }
  }
  if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) {
    Failed("Cannot follow the link " + path);
    return LinkEnd::Lost;
  }
  if (a && !timed) {
    why = "no time for " + path;
    return LinkEnd::Unread;
  }
  ++refused_;
  // A missing target or a loop is answered "no such file" (or a plain
  // failure); a refusal says nothing about what the link leads to.
  const int code = sftp_get_error(conn_.Sftp());
  if (timed || code == SSH_FX_PERMISSION_DENIED) {
    why = "a link that cannot be followed (" + path + ": " + SftpErrorText(code) + ")";
    return LinkEnd::Unread;
  }
  return LinkEnd::Nowhere;
}

bool SftpFileSystem::List(const std::string& path, ScanList& out) {
  out.clear();
  leftOut_.clear();
  if (!Ready()) return false;
  std::vector<size_t> links;
  ScanList entries;
  std::string bad;
  if (!ReadFolder(path, entries, links, bad)) return false;
  std::vector<bool> nowhere(entries.size());
  for (size_t i : links) {
    if (Stopped()) return false;
    const std::string target = Join(path, entries[i].name);
    const LinkEnd end = FollowLink(target, entries[i], bad);
    if (end == LinkEnd::Lost) return false;
    if (end == LinkEnd::Found) continue;
    nowhere[i] = true;
    leftOut_.push_back(entries[i].name);
    if (end == LinkEnd::Nowhere && told_.insert(target).second)
      skipped_.push_back(target + ": a symbolic link that leads nowhere; skipped");
  }
  for (size_t i = 0; i < entries.size(); ++i)
    if (!nowhere[i]) out.push_back(std::move(entries[i]));
  if (bad.empty()) return Ok();
  failure_ = SshFailure::Refused;
  error_ = "The listing of " + path + " holds " + bad + ".";
  return false;
}

bool SftpFileSystem::MakeFolder(const std::string& path) {
  if (!Ready()) return false;
  Op op(*this);
  return sftp_mkdir(conn_.Sftp(), path.c_str(), 0777) == 0 ? Ok() : Failed("Cannot make the folder " + path);
}

bool SftpFileSystem::RemoveFolder(const std::string& path) {
  if (!Ready()) return false;
  Op op(*this);
  return sftp_rmdir(conn_.Sftp(), path.c_str()) == 0 ? Ok() : Failed("Cannot remove the folder " + path);
}

bool SftpFileSystem::Remove(const std::string& path) {
  prefetched_.erase(path);
  if (!Ready()) return false;
  Op op(*this);
  return sftp_unlink(conn_.Sftp(), path.c_str()) == 0 ? Ok() : Failed("Cannot remove " + path);
}

bool SftpFileSystem::Rename(const std::string& from, const std::string& to) {
  prefetched_.erase(from);
  prefetched_.erase(to);
  if (!Ready()) return false;
  Op op(*this);
  const std::string what = "Cannot rename " + from + " to " + to;
  // Replaces the target in one step (libssh's own rename cannot), over the
  // second channel; a server that opens none gets the plain rename below.
  if (conn_.Offers("posix-rename@openssh.com") && (ext_.Open(conn_.Session()) || !ext_.Refused())) {
    int status = -1;
    if (ext_.PosixRename(from, to, status)) return Ok();
    if (status < 0) return ChannelFailed(what);
    ++refused_;
    failure_ = SshFailure::Refused;
    error_ = what + ": " + SftpErrorText(status);
    return false;
  }
  // A plain SFTP rename refuses an existing target, so it is not sent then:
  // the caller moves the old file aside first.
  if (sftp_attributes a = sftp_lstat(conn_.Sftp(), to.c_str())) {
    sftp_attributes_free(a);
    failure_ = SshFailure::Refused;
    error_ = what + ": it already exists and the server cannot replace it";
    return false;
  }
  ++refused_;  // the usual answer: no such file
  return sftp_rename(conn_.Sftp(), from.c_str(), to.c_str()) == 0 ? Ok() : Failed(what);
}

// Reads the replies to the requests in flight and drops them; false when
// the connection broke. `more`: whether any brought data.
bool SftpFileSystem::DropReads(void* handle, std::deque<std::pair<int, uint64_t>>& ahead, bool& more) {
  auto file = static_cast<sftp_file>(handle);
  std::vector<char> buf(kReadChunk);
  more = false;
  for (const auto& [id, unused] : ahead) {
    // Once libssh saw the end of a file it answers every read of it "end"
    // without reading its reply (left queued for good): each is read.
    file->eof = 0;
    const int n = sftp_async_read(file, buf.data(), kReadChunk, id);
    if (n < 0) return false;
    more = more || n > 0;
  }
  ahead.clear();
  file->eof = 0;
  return true;
}

bool SftpFileSystem::ReadBlocks(void* handle, const FsSink& sink, Op& op, uint64_t from) {
  auto file = static_cast<sftp_file>(handle);
  std::vector<char> buf(kReadChunk);
  // Requests in flight with their offsets. The window starts at two, so that
  // a file smaller than one block arrives with its end in one round trip, and
  // doubles with every reply.
  std::deque<std::pair<int, uint64_t>> ahead;
  size_t window = 2;
  uint64_t next = from;
  // What is asked for at a time: a block, or less where the server sends no
  // more at a time.
  uint32_t chunk = kReadChunk;
  bool more = false;
  for (;;) {
    while (ahead.size() < window) {
      sftp_seek64(file, next);
      const int id = sftp_async_read_begin(file, chunk);
      if (id < 0) return false;
      ahead.emplace_back(id, next);
      next += chunk;
    }
    if (Stopped()) return false;
    const auto [id, offset] = ahead.front();
    ahead.pop_front();
    const int n = sftp_async_read(file, buf.data(), chunk, id);
    op.Progress();
    if (n < 0) return false;
    if (n == 0) return DropReads(file, ahead, more);  // the end
    if (!sink(buf.data(), static_cast<size_t>(n))) {
      failure_ = SshFailure::Refused;
      error_ = "The data read could not be stored.";
      return false;
    }
    if (static_cast<uint32_t>(n) < chunk) {
      // A short reply: the end of the file, or a server that sends less at a
      // time. The requests after it asked for the wrong offsets: their
      // replies are dropped and reading goes on right after what arrived,
      // until a reply says the file ends. Data in a later reply shows the
      // server's limit, asked for from then on.
      if (!DropReads(file, ahead, more)) return false;
      if (more) chunk = static_cast<uint32_t>(n);
      next = offset + static_cast<uint64_t>(n);
    }
    window = std::min(window * 2, kReadsAhead);
  }
}

bool SftpFileSystem::Read(const std::string& path, const FsSink& sink) { return ReadFrom(path, 0, sink); }

bool SftpFileSystem::ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) {
  // A whole file read ahead is served from what came (the copy reads from
  // offset 0 then).
  if (offset == 0)
    if (const std::optional<bool> served = TakePrefetched(path, sink)) return *served;
  if (!Ready()) return false;
  Op op(*this, true);
  if (ext_.Open(conn_.Session())) return ReadOverChannel(path, offset, sink, op);
  if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) return Failed("Cannot open " + path);
  // The server offers one channel only.
  sftp_file file = sftp_open(conn_.Sftp(), path.c_str(), O_RDONLY, 0);
  if (!file) return Failed("Cannot open " + path);
  const bool ok = ReadBlocks(file, sink, op, offset);
  const bool told = !error_.empty();
  const int code = sftp_get_error(conn_.Sftp());
  sftp_close(file);
  if (ok) return Ok();
  return told ? false : Failed("Cannot read " + path, code);
}

bool SftpFileSystem::SetTime(const std::string& path, int64_t ticks) {
  if (!Capabilities().HoldsTime(ticks)) {
    failure_ = SshFailure::Refused;
    error_ = "the time " + FormatUtc(ticks) + " is outside what SFTP carries (1970 to 2106)";
    return false;
  }
  if (!Ready()) return false;
  Op op(*this);
  timeval times[2] = {};
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(UnixFromTicks(ticks));
  return sftp_utimes(conn_.Sftp(), path.c_str(), times) == 0 ? Ok() : Failed("Cannot set the time of " + path);
}

bool SftpFileSystem::Stat(const std::string& path, FindData& out) {
  if (!Ready()) return false;
  Op op(*this);
  sftp_attributes a = sftp_stat(conn_.Sftp(), path.c_str());
  if (!a) return Failed("Cannot find " + path);
  FindData fd;
  const bool timed = FromAttributes(a, fd);
  const bool isFolder = a->type == SSH_FILEXFER_TYPE_DIRECTORY;
  sftp_attributes_free(a);
  // A file's time is what a copy is judged by: one without is no answer.
  if (!timed && !isFolder) {
    failure_ = SshFailure::Refused;
    error_ = path + ": the server gave no time";
    return false;
  }
  if (isFolder) {
    fd.attributes |= kAttrDirectory;
    fd.size = 0;
  }
  fd.name = path.substr(path.find_last_of('/') + 1);
  out = std::move(fd);
  return Ok();
}

bool SftpFileSystem::Size(const std::string& path, uint64_t& size) {
  // Right after a write of the file: the size its handle showed after the
  // last write, asked for in the write's last round trip.
  if (heldAfterWrite_ && heldAfterWrite_->first == path) {
    size = heldAfterWrite_->second;
    heldAfterWrite_.reset();
    return Ok();
  }
  FindData fd;
  if (!Stat(path, fd)) return false;
  if (fd.IsDirectory()) {
    failure_ = SshFailure::Refused;
    error_ = path + " is a folder";
    return false;
  }
  size = fd.size;
  return true;
}

}  // namespace twinbay
