// SftpFileSystem's reads over the second channel: several files at once,
// each with many reads in flight at explicit offsets, the data of each reply
// read straight into a block kept for reuse and handed on in file order.
#include <libssh/libssh.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_map>

#include "net/sftp_fs.h"
#include "net/sftp_fs_op.h"

namespace twinbay {
namespace {

constexpr uint32_t kChunk = 64 * 1024;
constexpr size_t kAhead = 32;
constexpr int kEof = 1;  // SSH_FX_EOF

}  // namespace

// One file being read: its reads in flight, in the order their bytes go on.
struct SftpFileSystem::Reading {
  struct Block {
    uint32_t id = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    uint32_t shortOf = 0;  // the size of the short reply whose rest it asks for
    bool answered = false;
    int status = 0;
    uint32_t size = 0;
    std::vector<char> bytes;
  };
  std::string path;
  const FsSink* sink = nullptr;  // null: the bytes are kept in `kept`
  std::string kept;
  std::optional<uint64_t> size;  // as listed: read exactly, with one read after it to see the end
  enum class State { Opening, Reading, Ended, Refused } state = State::Opening;
  uint32_t openId = 0;
  std::string handle;
  int status = 0;            // Refused: the server's code (0: the sink refused)
  std::deque<Block> ahead;
  uint64_t next = 0;         // where the next new read starts
  bool endAsked = false;     // a read at or past the end is in flight: no new ones
  size_t window = 2;
  uint32_t chunk = kChunk;
  bool Over() const { return state != State::Opening && ahead.empty(); }
};

void SftpFileSystem::KeepBlock(std::vector<char>&& bytes) {
  if (bytes.capacity() >= kChunk && spare_.size() < kAhead * 2) spare_.push_back(std::move(bytes));
}

bool SftpFileSystem::SendBlock(Reading& r, uint64_t offset, uint32_t length, uint32_t shortOf, bool front) {
  Reading::Block b;
  if (!ext_.SendRead(r.handle, offset, length, b.id)) return false;
  b.offset = offset, b.length = length, b.shortOf = shortOf;
  if (front) r.ahead.push_front(std::move(b));
  else r.ahead.push_back(std::move(b));
  return true;
}

bool SftpFileSystem::TopUp(Reading& r) {
  while (r.state == Reading::State::Reading && !r.endAsked && r.ahead.size() < (r.size ? kAhead : r.window)) {
    uint32_t length = r.chunk;
    if (r.size && r.next < *r.size) length = static_cast<uint32_t>(std::min<uint64_t>(r.chunk, *r.size - r.next));
    // With the size known, the read after the last byte asks whether the
    // file ends there, in the same round trip.
    r.endAsked = r.size && r.next >= *r.size;
    if (!SendBlock(r, r.next, length, 0, false)) return false;
    r.next += length;
  }
  return true;
}

// Hands on the answered reads at the front, in file order. A short reply is
// followed by a read of the rest of its range (the ones after it asked for
// their own offsets and stay good); a reply bringing that rest shows the
// server's limit, asked for from then on. The end is a read at the bytes
// handed on so far that brings nothing.
bool SftpFileSystem::Deliver(Reading& r) {
  while (!r.ahead.empty() && r.ahead.front().answered) {
    Reading::Block b = std::move(r.ahead.front());
    r.ahead.pop_front();
    if (r.state != Reading::State::Reading) {
      KeepBlock(std::move(b.bytes));  // after the end or a refusal: dropped
      continue;
    }
    if (b.status == kEof || (b.status == 0 && b.size == 0)) {
      r.state = Reading::State::Ended;
    } else if (b.status != 0) {
      r.state = Reading::State::Refused;
      r.status = b.status;
    } else {
      if (r.sink ? !(*r.sink)(b.bytes.data(), b.size) : (r.kept.append(b.bytes.data(), b.size), false)) {
        r.state = Reading::State::Refused;
        r.status = 0;
      }
      if (b.shortOf) r.chunk = std::min(r.chunk, b.shortOf);
      // More than the listing said: the file grew; read on as for an unknown size.
      if (r.size && b.offset + b.size > *r.size) r.size.reset(), r.endAsked = false;
      r.window = std::min(r.window * 2, kAhead);
      if (r.state == Reading::State::Reading && b.size < b.length &&
          !SendBlock(r, b.offset + b.size, b.length - b.size, b.size, true))
        return false;
    }
    KeepBlock(std::move(b.bytes));
  }
  if (r.state != Reading::State::Reading && r.ahead.empty() && !r.handle.empty()) {
    const std::string handle = std::exchange(r.handle, {});
    if (!ext_.CloseLater(handle)) return false;
  }
  return TopUp(r);
}

bool SftpFileSystem::ReadFiles(std::vector<Reading>& files, Op& op) {
  std::unordered_map<uint32_t, size_t> owner;  // request id -> file
  for (size_t i = 0; i < files.size(); ++i) {
    if (!ext_.SendOpenRead(files[i].path, files[i].openId)) return false;
    owner[files[i].openId] = i;
  }
  Reading::Block* target = nullptr;
  const auto place = [&](uint32_t id, uint32_t size) -> char* {
    const auto it = owner.find(id);
    if (it == owner.end()) return nullptr;
    for (Reading::Block& b : files[it->second].ahead)
      if (b.id == id && !b.answered && size <= b.length) {
        if (b.bytes.size() < b.length) {
          if (!spare_.empty()) b.bytes = std::move(spare_.back()), spare_.pop_back();
          b.bytes.resize(std::max<size_t>(b.length, kChunk));
        }
        target = &b;
        return b.bytes.data();
      }
    return nullptr;
  };
  const auto allOpen = [&] {
    return std::none_of(files.begin(), files.end(), [](const Reading& f) { return f.state == Reading::State::Opening; });
  };
  bool opened = false;
  while (std::any_of(files.begin(), files.end(), [](const Reading& r) { return !r.Over(); })) {
    // Stopped once the files are open (an open the server keeps waiting is
    // cut by the watch): the reads in flight leave the channel out of step.
    if (opened && Stopped()) {
      ext_.Close();
      return false;
    }
    SftpExtensionChannel::Reply reply;
    target = nullptr;
    if (!ext_.NextReply(reply, place)) return false;
    op.Progress();
    const auto it = owner.find(reply.id);
    if (it == owner.end()) return ext_.Close(), false;
    Reading& r = files[it->second];
    owner.erase(it);
    if (reply.id == r.openId && r.state == Reading::State::Opening) {
      if (reply.type == SftpExtensionChannel::kReplyHandle) {
        r.handle = reply.handle;
        r.state = Reading::State::Reading;
      } else {
        r.state = Reading::State::Refused;
        r.status = reply.status != 0 ? reply.status : 4;  // an open "done" without a handle: a failure
      }
      if (!TopUp(r)) return false;
    } else {
      Reading::Block* b = target;
      if (!b)
        for (Reading::Block& x : r.ahead)
          if (x.id == reply.id && !x.answered) b = &x;
      // A read is answered with data or a failing status; anything else
      // (a handle, "OK" without data) is not an answer to it.
      const bool data = reply.type == SftpExtensionChannel::kReplyData;
      if (!b || (!data && (reply.type != SftpExtensionChannel::kReplyStatus || reply.status == 0)))
        return ext_.Close(), false;
      b->answered = true;
      b->status = data ? 0 : reply.status;
      b->size = reply.size;
      if (!Deliver(r)) return false;
    }
    const size_t index = static_cast<size_t>(&r - files.data());
    for (const Reading::Block& b : r.ahead) owner.emplace(b.id, index);
    opened = opened || allOpen();
  }
  return true;
}

bool SftpFileSystem::ReadOverChannel(const std::string& path, uint64_t from, const FsSink& sink, Op& op) {
  std::vector<Reading> files(1);
  files[0].path = path;
  files[0].sink = &sink;
  files[0].next = from;  // a broken copy continued: from the length it reached
  if (!ReadFiles(files, op)) return error_.empty() ? ChannelFailed("Cannot read " + path) : false;
  const Reading& r = files[0];
  if (r.state == Reading::State::Ended) return Ok();
  if (r.status == 0) {
    failure_ = SshFailure::Refused;
    error_ = "The data read could not be stored.";
    return false;
  }
  return Failed((r.next == from ? "Cannot open " : "Cannot read ") + path, r.status);
}

void SftpFileSystem::Prefetch(const std::vector<FsPrefetch>& files) {
  prefetched_.clear();
  if (files.size() < 2 || !Ready()) return;
  Op op(*this);
  if (!ext_.Open(conn_.Session())) return;
  std::vector<Reading> reads;
  for (const FsPrefetch& f : files) {
    if (f.size > kChunk) continue;
    reads.emplace_back();
    reads.back().path = f.path;
    reads.back().size = f.size;
  }
  // A failure is left for Read to meet again, as its own.
  if (!ReadFiles(reads, op)) {
    ext_.Close();
    return;
  }
  for (Reading& r : reads)
    if (r.state == Reading::State::Ended) prefetched_[r.path] = std::move(r.kept);
}

std::optional<bool> SftpFileSystem::TakePrefetched(const std::string& path, const FsSink& sink) {
  const auto it = prefetched_.find(path);
  if (it == prefetched_.end()) return std::nullopt;
  const std::string bytes = std::move(it->second);
  prefetched_.erase(it);
  ++servedAhead_;
  if (bytes.empty() || sink(bytes.data(), bytes.size())) return Ok();
  failure_ = SshFailure::Refused;
  error_ = "The data read could not be stored.";
  return false;
}

}  // namespace twinbay
