// SftpFileSystem's writes: pipelined over the second channel, or libssh's
// own one block at a time; and the mode a file is given.
#include <fcntl.h>
#include <sys/stat.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <optional>
#include <vector>

#include "net/sftp_fs.h"
#include "net/sftp_fs_op.h"

namespace twinbay {
namespace {
// Writes go out in blocks of this size with this many in flight.
constexpr size_t kWriteChunk = 64 * 1024;
constexpr size_t kWritesAhead = 32;
}  // namespace

// What a pipelined write came to, besides the bytes sent.
struct SftpFileSystem::WriteState {
  uint64_t written = 0;
  size_t inFlight = 0;
  int refused = 0;       // the first write status that was not OK
  bool closeSent = false;
  uint32_t closeId = 0;
  // The size the server holds after the last write, asked for on the handle
  // just before its close (in the same round trip).
  uint32_t sizeId = 0;
  std::optional<uint64_t> held;
  int closeStatus = -1;  // the close's status, once it came
  bool sourceFailed = false;
};

// Reads the reply to one request in flight; false when the channel broke.
bool SftpFileSystem::Settle(WriteState& w, Op& op) {
  uint32_t id = 0;
  int status = 0;
  std::optional<uint64_t> size;
  if (!ext_.NextStatus(id, status, w.sizeId ? &size : nullptr)) return false;
  --w.inFlight;
  op.Progress();
  if (w.sizeId && id == w.sizeId) {
    w.held = size;  // none (refused, or not told): asked for later
  } else if (w.closeSent && id == w.closeId) w.closeStatus = status;
  else if (status != 0 && w.refused == 0) w.refused = status;
  return true;
}

// Sends the blocks of the source with up to kWritesAhead in flight, then the
// close, and reads every reply (none is left for the channel's next request).
// False when the channel broke.
bool SftpFileSystem::WriteBlocks(const std::string& handle, const FsSource& source, WriteState& w, Op& op) {
  const size_t room = SftpExtensionChannel::WriteHeaderSize(handle);
  std::vector<char> packet(room + kWriteChunk);
  while (!w.refused && !Stopped()) {
    const long n = source(packet.data() + room, kWriteChunk);
    if (n <= 0) {
      w.sourceFailed = n < 0;
      break;
    }
    while (w.inFlight >= kWritesAhead)
      if (!Settle(w, op)) return false;
    uint32_t id = 0;
    if (!ext_.WriteAt(handle, w.written, packet.data(), static_cast<size_t>(n), id)) return false;
    ++w.inFlight;
    w.written += static_cast<uint64_t>(n);
  }
  if (!w.refused && !w.sourceFailed && error_.empty()) {
    if (!ext_.SendFstat(handle, w.sizeId)) return false;
    ++w.inFlight;
  }
  if (!ext_.SendClose(handle, w.closeId)) return false;
  w.closeSent = true;
  ++w.inFlight;
  while (w.inFlight > 0)
    if (!Settle(w, op)) return false;
  return true;
}

bool SftpFileSystem::Write(const std::string& path, const FsSource& source, uint64_t size) {
  return WriteFrom(path, source, size, 0);
}

bool SftpFileSystem::Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) {
  if (!Ready()) return false;
  sftp_attributes a = sftp_lstat(conn_.Sftp(), path.c_str());
  if (!a) return Failed("Cannot continue " + path);
  const bool own = (a->permissions & S_IFMT) == S_IFREG && (a->permissions & 07777) == 0600 && a->size == offset;
  sftp_attributes_free(a);
  if (!own) {
    failure_ = SshFailure::Refused;
    error_ = "Cannot continue " + path + ": it is no longer the temporary file this program began";
    return false;
  }
  return WriteFrom(path, source, size, offset);
}

bool SftpFileSystem::WriteFrom(const std::string& path, const FsSource& source, uint64_t size, uint64_t from) {
  if (!Ready()) return false;
  Op op(*this, true);
  if (!ext_.Open(conn_.Session())) {
    if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) return Failed("Cannot create " + path);
    return WriteEach(path, source, size, op, from);  // the server offers one channel only
  }
  std::string handle;
  int status = -1;
  if (!ext_.OpenForWrite(path, handle, status, from > 0))
    return status < 0 ? ChannelFailed("Cannot create " + path) : Failed("Cannot create " + path, status);
  WriteState w;
  w.written = from;
  if (!WriteBlocks(handle, source, w, op)) return ChannelFailed("Cannot write " + path);
  if (!error_.empty()) return false;  // stopped
  if (w.sourceFailed) {
    failure_ = SshFailure::Refused;
    error_ = "The local file could not be read.";
    return false;
  }
  if (w.refused) return Failed("Cannot write " + path, w.refused);
  // The close is where the server reports a write it could not finish.
  if (w.closeStatus != 0) return Failed("Cannot finish writing " + path, w.closeStatus);
  if (!WroteAll(path, w.written - from, size)) return false;
  if (w.held) heldAfterWrite_ = {path, *w.held};
  return true;
}

bool SftpFileSystem::WroteAll(const std::string& path, uint64_t written, uint64_t size) {
  if (written == size) return Ok();
  failure_ = SshFailure::Refused;
  error_ = "Cannot write " + path + ": " + std::to_string(written) + " bytes instead of " + std::to_string(size);
  return false;
}

bool SftpFileSystem::ChannelFailed(const std::string& what) {
  if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) return Failed(what);
  // No reply on the second channel (it was closed, or its own wait ended
  // before the watch cut a silent connection): the connection is not to be
  // trusted and is let go, so that a retry starts clean.
  failure_ = SshFailure::Lost;
  error_ = what + ": the server did not answer";
  Disconnect();
  return false;
}

// libssh's own writes, one block per round trip: for a server that opens no
// second channel.
bool SftpFileSystem::WriteEach(const std::string& path, const FsSource& source, uint64_t size, Op& op,
                               uint64_t from) {
  sftp_file file = sftp_open(conn_.Sftp(), path.c_str(), from > 0 ? O_WRONLY : O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!file) return Failed("Cannot create " + path);
  if (from > 0) sftp_seek64(file, from);
  std::vector<char> buf(kWriteChunk);
  uint64_t written = 0;
  bool ok = true;
  for (;;) {
    const long n = source(buf.data(), buf.size());
    if (n < 0) {
      failure_ = SshFailure::Refused;
      error_ = "The local file could not be read.";
      ok = false;
      break;
    }
    if (n == 0) break;
    if (Stopped()) {
      ok = false;
      break;
    }
    if (sftp_write(file, buf.data(), static_cast<size_t>(n)) != n) {
      const int code = sftp_get_error(conn_.Sftp());
      sftp_close(file);
      return Failed("Cannot write " + path, code);
    }
    written += static_cast<uint64_t>(n);
    op.Progress();
  }
  if (sftp_close(file) != 0 && ok) ok = Failed("Cannot finish writing " + path);
  return ok ? WroteAll(path, written, size) : false;
}

bool SftpFileSystem::SetMode(const std::string& path, uint32_t mode) {
  if (!Ready()) return false;
  Op op(*this);
  return sftp_chmod(conn_.Sftp(), path.c_str(), mode & 07777) == 0 ? Ok() : Failed("Cannot set the mode of " + path);
}

}  // namespace twinbay
