// SftpFileSystem's batches of small uploads over the second channel: each
// step is sent for every file of the batch before its replies are read, so
// that the batch takes about the round trips of one file.
#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "net/sftp_fs.h"
#include "net/sftp_fs_op.h"

namespace twinbay {
namespace {

constexpr size_t kBatchChunk = 64 * 1024;  // the most one write request carries

// What a request in flight asked for.
enum class Step { Open, Write, Time, Mode, Size, Close };

}  // namespace

void SftpFileSystem::WriteBatch(std::vector<FsBatchFile>& files) {
  for (FsBatchFile& f : files) {
    f.stored = f.made = f.timeSet = f.modeSet = false;
    f.held.reset();
    f.error.clear(), f.timeError.clear(), f.modeError.clear();
  }
  if (files.empty()) return;
  if (Ready()) {
    Op op(*this, true);
    if (ext_.Open(conn_.Session())) return WriteTogether(files, op);
    if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) Failed("Cannot create " + files.front().path);
  }
  if (!error_.empty()) {
    for (FsBatchFile& f : files) f.error = error_;
    return;
  }
  // The server offers one channel only: each file in turn, as alone.
  for (FsBatchFile& f : files) {
    size_t at = 0;
    const FsSource source = [&](char* buffer, size_t size) {
      size = std::min(size, f.bytes.size() - at);
      std::memcpy(buffer, f.bytes.data() + at, size);
      at += size;
      return static_cast<long>(size);
    };
    f.made = true;
    if (!(f.stored = Write(f.path, source, f.bytes.size()))) {
      f.error = error_;
      continue;
    }
    if (f.time && !(f.timeSet = SetTime(f.path, *f.time))) f.timeError = error_;
    if (f.mode && !(f.modeSet = SetMode(f.path, *f.mode))) f.modeError = error_;
  }
}

// The channel broke (or the server sent what no request asked for): the
// connection is let go, and every file not failed already fails with it.
void SftpFileSystem::BatchBroke(std::vector<FsBatchFile>& files, const std::string& what) {
  ChannelFailed(what);
  for (FsBatchFile& f : files) {
    f.stored = false;
    if (f.error.empty()) f.error = error_;
  }
}

void SftpFileSystem::WriteTogether(std::vector<FsBatchFile>& files, Op& op) {
  if (Stopped()) {
    for (FsBatchFile& f : files) f.error = error_;
    return;
  }
  std::unordered_map<uint32_t, std::pair<size_t, Step>> owner;
  // The opens, each made new and private; one refused is not there.
  for (size_t i = 0; i < files.size(); ++i) {
    uint32_t id = 0;
    if (!ext_.SendOpenWrite(files[i].path, id)) return BatchBroke(files, "Cannot create " + files[i].path);
    files[i].made = true;
    owner[id] = {i, Step::Open};
  }
  std::vector<std::string> handles(files.size());
  const auto noData = [](uint32_t, uint32_t) -> char* { return nullptr; };
  for (size_t n = 0; n < files.size(); ++n) {
    SftpExtensionChannel::Reply reply;
    if (!ext_.NextReply(reply, noData)) return BatchBroke(files, "Cannot create " + files.front().path);
    op.Progress();
    const auto it = owner.find(reply.id);
    if (it == owner.end()) return ext_.Close(), BatchBroke(files, "Cannot create " + files.front().path);
    const size_t i = it->second.first;
    owner.erase(it);
    if (reply.type == SftpExtensionChannel::kReplyHandle) {
      handles[i] = reply.handle;
    } else {
      // An open "done" without a handle is a failure too (whatever it made).
      files[i].made = reply.status == 0;
      files[i].error = Refusal("Cannot create " + files[i].path, reply.status != 0 ? reply.status : SSH_FX_FAILURE);
    }
  }
  // Each open file's bytes; then, on its handle and so after them, its time
  // and its mode; its size; its close. Stopped meanwhile: the closes only.
  const bool stop = Stopped();
  const std::string stopped = error_;
  std::vector<char> packet;
  size_t inFlight = 0;
  // `id` is read once the request went (it is the request's own).
  const auto sent = [&](bool ok, size_t i, Step step, const uint32_t& id) {
    if (ok) owner[id] = {i, step}, ++inFlight;
    return ok;
  };
  for (size_t i = 0; i < files.size(); ++i) {
    FsBatchFile& f = files[i];
    const std::string& h = handles[i];
    if (h.empty()) continue;
    uint32_t id = 0;
    bool ok = true;
    if (!stop) {
      const size_t room = SftpExtensionChannel::WriteHeaderSize(h);
      for (size_t at = 0; ok && at < f.bytes.size(); at += kBatchChunk) {
        const size_t n = std::min(kBatchChunk, f.bytes.size() - at);
        packet.resize(room + n);
        std::memcpy(packet.data() + room, f.bytes.data() + at, n);
        ok = sent(ext_.WriteAt(h, at, packet.data(), n, id), i, Step::Write, id);
      }
      if (ok && f.time && !Capabilities().HoldsTime(*f.time))
        f.timeError = "the time " + FormatUtc(*f.time) + " is outside what SFTP carries (1970 to 2106)";
      else if (ok && f.time)
        ok = sent(ext_.SendFsetstat(h, std::nullopt, static_cast<uint32_t>(UnixFromTicks(*f.time)), id), i,
                  Step::Time, id);
      if (ok && f.mode) ok = sent(ext_.SendFsetstat(h, *f.mode & 07777, std::nullopt, id), i, Step::Mode, id);
      if (ok) ok = sent(ext_.SendFstat(h, id), i, Step::Size, id);
    }
    if (!ok || !sent(ext_.SendClose(h, id), i, Step::Close, id)) return BatchBroke(files, "Cannot write " + f.path);
  }
  while (inFlight > 0) {
    uint32_t id = 0;
    int status = 0;
    std::optional<uint64_t> size;
    if (!ext_.NextStatus(id, status, &size)) return BatchBroke(files, "Cannot write " + files.front().path);
    --inFlight;
    op.Progress();
    const auto it = owner.find(id);
    if (it == owner.end()) return ext_.Close(), BatchBroke(files, "Cannot write " + files.front().path);
    const auto [i, step] = it->second;
    owner.erase(it);
    FsBatchFile& f = files[i];
    if (step == Step::Size) {
      if (status == 0) f.held = size;  // none (refused, or not told): asked for later
    } else if (step == Step::Time) {
      if (!(f.timeSet = status == 0)) f.timeError = Refusal("Cannot set the time of " + f.path, status);
    } else if (step == Step::Mode) {
      if (!(f.modeSet = status == 0)) f.modeError = Refusal("Cannot set the mode of " + f.path, status);
    } else if (status != 0 && f.error.empty()) {
      // The close is where the server reports a write it could not finish.
      f.error = Refusal((step == Step::Write ? "Cannot write " : "Cannot finish writing ") + f.path, status);
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (stop && !handles[i].empty()) files[i].error = stopped;
    files[i].stored = files[i].error.empty();
  }
  if (!stop) Ok();
}

void SftpFileSystem::RenameBatch(std::vector<FsBatchRename>& renames) {
  for (FsBatchRename& r : renames) {
    prefetched_.erase(r.from);
    prefetched_.erase(r.to);
    r.done = false;
    r.error.clear();
  }
  if (renames.empty()) return;
  const auto what = [](const FsBatchRename& r) { return "Cannot rename " + r.from + " to " + r.to; };
  if (Ready()) {
    Op op(*this);
    if (conn_.Offers("posix-rename@openssh.com") && ext_.Open(conn_.Session())) return RenameTogether(renames, op);
    if (!ssh_is_connected(conn_.Session()) || watch_.Cut()) Failed(what(renames.front()));
  }
  // No connection: every rename fails with the reason. A server that opens
  // no second channel: one rename at a time.
  const std::string failed = error_;
  for (FsBatchRename& r : renames) {
    if (!failed.empty()) r.error = failed;
    else if (!(r.done = Rename(r.from, r.to))) r.error = error_;
  }
}

void SftpFileSystem::RenameTogether(std::vector<FsBatchRename>& renames, Op& op) {
  const auto broke = [&](const FsBatchRename& r) {
    ChannelFailed("Cannot rename " + r.from + " to " + r.to);
    for (FsBatchRename& each : renames)
      if (!each.done && each.error.empty()) each.error = error_;
  };
  std::unordered_map<uint32_t, size_t> owner;
  for (size_t i = 0; i < renames.size(); ++i) {
    uint32_t id = 0;
    if (!ext_.SendPosixRename(renames[i].from, renames[i].to, id)) return broke(renames[i]);
    owner[id] = i;
  }
  for (size_t n = 0; n < renames.size(); ++n) {
    uint32_t id = 0;
    int status = 0;
    if (!ext_.NextStatus(id, status)) return broke(renames.front());
    op.Progress();
    const auto it = owner.find(id);
    if (it == owner.end()) return ext_.Close(), broke(renames.front());
    FsBatchRename& r = renames[it->second];
    owner.erase(it);
    if (!(r.done = status == 0)) r.error = Refusal("Cannot rename " + r.from + " to " + r.to, status);
  }
  Ok();
}

}  // namespace twinbay
