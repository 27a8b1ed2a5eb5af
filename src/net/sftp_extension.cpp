#include "net/sftp_extension.h"

#include <libssh/libssh.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace twinbay {
namespace {

constexpr uint8_t kInit = 1, kVersion = 2, kOpen = 3, kClose = 4, kRead = 5, kWrite = 6, kFstat = 8,
                  kFsetstat = 10, kOpenDir = 11, kReadDir = 12, kStatus = 101, kHandle = 102, kData = 103, kName = 104,
                  kAttrs = 105, kExtended = 200;
constexpr uint32_t kEof = 1;
// Attribute flags: size, owner and group, permissions, times, extensions.
constexpr uint32_t kAttrSize = 0x01, kAttrUidGid = 0x02, kAttrTimes = 0x08, kAttrExtended = 0x80000000;
constexpr uint32_t kMaxPacket = 256 * 1024;
constexpr uint32_t kReadOnly = 0x01;  // SSH_FXF_READ
// SSH_FXF_WRITE | SSH_FXF_CREAT | SSH_FXF_EXCL (a file made new, never one
// already there), and the permissions attribute.
constexpr uint32_t kWriteCreateNew = 0x02 | 0x08 | 0x20, kAttrPermissions = 0x04;
// SSH_FXF_WRITE alone: a file already there, written at the offsets given.
constexpr uint32_t kWriteExisting = 0x02;
constexpr size_t kMaxHandle = 256;

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
void PutU32(char* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) *out++ = static_cast<char>((v >> shift) & 0xFF);
}
void PutString(std::string& out, const std::string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out += s;
}
uint32_t GetU32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(in[at + i]);
  return v;
}

// Reads the fields of a reply, never past its end.
class Fields {
 public:
  explicit Fields(const std::string& in, size_t at = 0) : in_(in), at_(at) {}
  size_t Left() const { return in_.size() - at_; }
  bool U32(uint32_t& v) {
    if (Left() < 4) return false;
    v = GetU32(in_, at_);
    at_ += 4;
    return true;
  }
  bool U64(uint64_t& v) {
    uint32_t high = 0, low = 0;
    if (!U32(high) || !U32(low)) return false;
    v = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  // A string; `out` null skips it.
  bool String(std::string* out) {
    uint32_t n = 0;
    if (!U32(n) || n > Left()) return false;
    if (out) out->assign(in_, at_, n);
    at_ += n;
    return true;
  }

 private:
  const std::string& in_;
  size_t at_;
};

bool ParseAttributes(Fields& f, SftpExtensionChannel::DirEntry& e) {
  uint32_t unused = 0;
  if (!f.U32(e.flags)) return false;
  if ((e.flags & kAttrSize) && !f.U64(e.size)) return false;
  if ((e.flags & kAttrUidGid) && !(f.U32(unused) && f.U32(unused))) return false;
  if ((e.flags & kAttrPermissions) && !f.U32(e.permissions)) return false;
  if ((e.flags & kAttrTimes) && !(f.U32(unused) && f.U32(e.mtime))) return false;
  if (e.flags & kAttrExtended) {
    uint32_t count = 0;
    if (!f.U32(count) || count > f.Left() / 8) return false;
    for (uint32_t i = 0; i < count; ++i)
      if (!f.String(nullptr) || !f.String(nullptr)) return false;
  }
  return true;
}

// The entries of a NAME reply (after its id); false when it is malformed.
bool ParseNames(const std::string& reply, std::vector<SftpExtensionChannel::DirEntry>& out) {
  Fields f(reply, 4);
  uint32_t count = 0;
  // Each entry takes at least two string lengths and the attribute flags.
  if (!f.U32(count) || count > f.Left() / 12) return false;
  for (uint32_t i = 0; i < count; ++i) {
    SftpExtensionChannel::DirEntry e;
    if (!f.String(&e.name) || !f.String(nullptr) || !ParseAttributes(f, e)) return false;
    out.push_back(std::move(e));
  }
  return true;
}

bool ReadAll(ssh_channel channel, char* out, size_t size) {
  while (size > 0) {
    const int n = ssh_channel_read(channel, out, static_cast<uint32_t>(size), 0);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SftpExtensionChannel::~SftpExtensionChannel() { Close(); }

void SftpExtensionChannel::Close() {
  if (!channel_) return;
  ssh_channel_free(channel_);
  channel_ = nullptr;
  closesPending_.clear();
  pushedBack_.clear();
}

bool SftpExtensionChannel::Send(uint8_t type, const std::string& body) {
  std::string packet;
  PutU32(packet, static_cast<uint32_t>(body.size() + 1));
  packet.push_back(static_cast<char>(type));
  packet += body;
  return ssh_channel_write(channel_, packet.data(), static_cast<uint32_t>(packet.size())) ==
         static_cast<int>(packet.size());
}

bool SftpExtensionChannel::ReceiveHead(uint8_t& type, uint32_t& length) {
  for (;;) {
    char head[5];
    if (!ReadAll(channel_, head, sizeof head)) return false;
    length = GetU32(std::string(head, 4), 0);
    if (length < 1 || length > kMaxPacket) return false;
    --length;
    type = static_cast<uint8_t>(head[4]);
    if (type != kStatus || closesPending_.empty()) return true;
    // The reply to a close sent without waiting comes ahead of the replies
    // to later requests and is taken out of the stream here. What was read
    // or listed was whole already, so its code does not matter.
    char body[8];
    if (length < sizeof body) return true;  // not a status the caller can read: it fails there
    if (!ReadAll(channel_, body, sizeof body)) return false;
    const auto close = std::find(closesPending_.begin(), closesPending_.end(), GetU32(std::string(body, 4), 0));
    if (close == closesPending_.end()) {
      // Another status: the caller reads it as a whole packet.
      pushedBack_.assign(body, sizeof body);
      return true;
    }
    closesPending_.erase(close);
    std::string rest(length - sizeof body, '\0');
    if (!ReadAll(channel_, rest.data(), rest.size())) return false;
  }
}

bool SftpExtensionChannel::Receive(uint8_t& type, std::string& body) {
  uint32_t length = 0;
  if (!ReceiveHead(type, length)) return false;
  body = std::move(pushedBack_);
  pushedBack_.clear();
  const size_t have = body.size();
  body.resize(length);
  return ReadAll(channel_, body.data() + have, length - have);
}

bool SftpExtensionChannel::Open(ssh_session session) {
  if (channel_) return true;
  if (refused_) return false;
  channel_ = ssh_channel_new(session);
  std::string version;
  PutU32(version, 3);
  uint8_t type = 0;
  std::string body;
  if (!channel_ || ssh_channel_open_session(channel_) != SSH_OK ||
      ssh_channel_request_subsystem(channel_, "sftp") != SSH_OK || !Send(kInit, version) || !Receive(type, body) ||
      type != kVersion) {
    Close();
    // A server that takes one channel per connection is not asked again.
    refused_ = ssh_is_connected(session) != 0;
    return false;
  }
  return true;
}

bool SftpExtensionChannel::PosixRename(const std::string& from, const std::string& to, int& status) {
  status = -1;
  const uint32_t id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, "posix-rename@openssh.com");
  PutString(request, from);
  PutString(request, to);
  uint8_t type = 0;
  std::string reply;
  if (!channel_ || !Send(kExtended, request) || !Receive(type, reply) || type != kStatus || reply.size() < 8 ||
      GetU32(reply, 0) != id) {
    Close();
    return false;
  }
  status = static_cast<int>(GetU32(reply, 4));
  return status == 0;
}

bool SftpExtensionChannel::OpenHandle(uint8_t type, const std::string& request, uint32_t id, std::string& handle,
                                      int& status) {
  status = -1;
  uint8_t replyType = 0;
  std::string reply;
  if (!channel_ || !Send(type, request) || !Receive(replyType, reply) || reply.size() < 8 || GetU32(reply, 0) != id) {
    Close();
    return false;
  }
  const uint32_t value = GetU32(reply, 4);
  if (replyType == kStatus && value != 0) {
    status = static_cast<int>(value);
    return false;
  }
  if (replyType != kHandle || value == 0 || value > kMaxHandle || value > reply.size() - 8) {
    Close();  // not an answer to an open: the channel cannot be trusted
    return false;
  }
  handle = reply.substr(8, value);
  status = 0;
  return true;
}

bool SftpExtensionChannel::OpenForWrite(const std::string& path, std::string& handle, int& status,
                                        bool existing) {
  const uint32_t id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, path);
  PutU32(request, existing ? kWriteExisting : kWriteCreateNew);
  PutU32(request, existing ? 0 : kAttrPermissions);
  if (!existing) PutU32(request, 0600);  // private until the copy gives it its mode
  return OpenHandle(kOpen, request, id, handle, status);
}

bool SftpExtensionChannel::OpenFolder(const std::string& path, std::string& handle, int& status) {
  const uint32_t id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, path);
  return OpenHandle(kOpenDir, request, id, handle, status);
}

size_t SftpExtensionChannel::WriteHeaderSize(const std::string& handle) { return 4 + 1 + 4 + 4 + handle.size() + 8 + 4; }

bool SftpExtensionChannel::WriteAt(const std::string& handle, uint64_t offset, char* packet, size_t size,
                                   uint32_t& id) {
  if (!channel_) return false;
  id = nextId_++;
  const size_t room = WriteHeaderSize(handle);
  char* p = packet;
  PutU32(p, static_cast<uint32_t>(room - 4 + size));
  p[4] = static_cast<char>(kWrite);
  PutU32(p + 5, id);
  PutU32(p + 9, static_cast<uint32_t>(handle.size()));
  std::memcpy(p + 13, handle.data(), handle.size());
  p += 13 + handle.size();
  PutU32(p, static_cast<uint32_t>(offset >> 32));
  PutU32(p + 4, static_cast<uint32_t>(offset));
  PutU32(p + 8, static_cast<uint32_t>(size));
  const uint32_t total = static_cast<uint32_t>(room + size);
  if (ssh_channel_write(channel_, packet, total) == static_cast<int>(total)) return true;
  Close();
  return false;
}

bool SftpExtensionChannel::SendClose(const std::string& handle, uint32_t& id) {
  if (!channel_) return false;
  id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, handle);
  if (Send(kClose, request)) return true;
  Close();
  return false;
}

// Sends a request built by `fill` (after its id) without waiting for its reply.
bool SftpExtensionChannel::SendRequest(uint8_t type, uint32_t& id, const std::function<void(std::string&)>& fill) {
  if (!channel_) return false;
  id = nextId_++;
  std::string request;
  PutU32(request, id);
  fill(request);
  if (Send(type, request)) return true;
  Close();
  return false;
}

bool SftpExtensionChannel::SendOpenWrite(const std::string& path, uint32_t& id) {
  return SendRequest(kOpen, id, [&](std::string& r) {
    PutString(r, path);
    PutU32(r, kWriteCreateNew);
    PutU32(r, kAttrPermissions);
    PutU32(r, 0600);  // private until the copy gives it its mode
  });
}

bool SftpExtensionChannel::SendFsetstat(const std::string& handle, std::optional<uint32_t> mode,
                                        std::optional<uint32_t> mtime, uint32_t& id) {
  return SendRequest(kFsetstat, id, [&](std::string& r) {
    PutString(r, handle);
    PutU32(r, (mode ? kAttrPermissions : 0) | (mtime ? kAttrTimes : 0));
    if (mode) PutU32(r, *mode);
    if (mtime) PutU32(r, *mtime), PutU32(r, *mtime);  // access and modification
  });
}

bool SftpExtensionChannel::SendPosixRename(const std::string& from, const std::string& to, uint32_t& id) {
  return SendRequest(kExtended, id, [&](std::string& r) {
    PutString(r, "posix-rename@openssh.com");
    PutString(r, from);
    PutString(r, to);
  });
}

bool SftpExtensionChannel::SendOpenRead(const std::string& path, uint32_t& id) {
  if (!channel_) return false;
  id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, path);
  PutU32(request, kReadOnly);
  PutU32(request, 0);  // no attributes
  if (Send(kOpen, request)) return true;
  Close();
  return false;
}

bool SftpExtensionChannel::SendRead(const std::string& handle, uint64_t offset, uint32_t length, uint32_t& id) {
  if (!channel_) return false;
  id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, handle);
  PutU32(request, static_cast<uint32_t>(offset >> 32));
  PutU32(request, static_cast<uint32_t>(offset));
  PutU32(request, length);
  if (Send(kRead, request)) return true;
  Close();
  return false;
}

bool SftpExtensionChannel::CloseLater(const std::string& handle) {
  uint32_t id = 0;
  if (!SendClose(handle, id)) return false;
  closesPending_.push_back(id);
  return true;
}

bool SftpExtensionChannel::NextReply(Reply& reply, const std::function<char*(uint32_t id, uint32_t size)>& place) {
  uint8_t type = 0;
  uint32_t length = 0;
  reply = Reply();
  if (channel_ && ReceiveHead(type, length) && type == kData && length >= 8 && pushedBack_.empty()) {
    // The data goes straight where the caller wants it, never through a
    // packet of its own.
    char head[8];
    if (ReadAll(channel_, head, sizeof head)) {
      const std::string fields(head, sizeof head);
      reply.type = kData;
      reply.id = GetU32(fields, 0);
      reply.size = GetU32(fields, 4);
      char* out = reply.size == length - 8 ? place(reply.id, reply.size) : nullptr;
      if (out && ReadAll(channel_, out, reply.size)) return true;
    }
  } else if (channel_ && (type == kStatus || type == kHandle) && length >= 8) {
    std::string body = std::move(pushedBack_);
    pushedBack_.clear();
    const size_t have = body.size();
    body.resize(length);
    if (ReadAll(channel_, body.data() + have, length - have)) {
      reply.type = type;
      reply.id = GetU32(body, 0);
      const uint32_t value = GetU32(body, 4);
      if (type == kStatus) {
        reply.status = static_cast<int>(value);
        return true;
      }
      if (value > 0 && value <= kMaxHandle && value <= body.size() - 8) {
        reply.handle = body.substr(8, value);
        return true;
      }
    }
  }
  Close();  // not a reply to a read: the channel cannot be trusted
  return false;
}

bool SftpExtensionChannel::SendFstat(const std::string& handle, uint32_t& id) {
  if (!channel_) return false;
  id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, handle);
  if (Send(kFstat, request)) return true;
  Close();
  return false;
}

bool SftpExtensionChannel::NextStatus(uint32_t& id, int& status, std::optional<uint64_t>* size) {
  uint8_t type = 0;
  std::string reply;
  const bool got = channel_ && Receive(type, reply) && reply.size() >= 8;
  if (got && type == kAttrs && size) {
    Fields f(reply, 4);
    DirEntry e;
    id = GetU32(reply, 0);
    status = 0;
    if (ParseAttributes(f, e)) {
      if (e.flags & kAttrSize) *size = e.size;
      return true;
    }
  } else if (got && type == kStatus) {
    id = GetU32(reply, 0);
    status = static_cast<int>(GetU32(reply, 4));
    return true;
  }
  Close();
  return false;
}

bool SftpExtensionChannel::ReadFolder(const std::string& handle, std::vector<DirEntry>& out, int& status,
                                      const std::function<bool()>& going) {
  status = -1;
  if (!channel_) return false;
  uint8_t type = 0;
  std::string reply;
  // Reads in flight, two at first, until one says the folder ends (or
  // refuses); the others are still read.
  std::deque<uint32_t> ahead;
  auto sendRead = [&] {
    const uint32_t id = nextId_++;
    std::string read;
    PutU32(read, id);
    PutString(read, handle);
    ahead.push_back(id);
    return Send(kReadDir, read);
  };
  bool end = false;
  int refused = 0;
  int owed = 0;
  bool ok = sendRead() && sendRead();
  while (ok && !ahead.empty()) {
    ok = going() && Receive(type, reply) && reply.size() >= 4;
    const auto it = ok ? std::find(ahead.begin(), ahead.end(), GetU32(reply, 0)) : ahead.end();
    if (it == ahead.end()) break;
    ahead.erase(it);
    if (type == kStatus) {
      const uint32_t code = reply.size() >= 8 ? GetU32(reply, 4) : 0;
      ok = code != 0;  // a read answered "OK" brings nothing: not an answer
      if (code == kEof) end = true;
      else if (refused == 0) refused = static_cast<int>(code);
    } else {
      ok = type == kName && ParseNames(reply, out);
      ++owed;
    }
    // A reply that brought entries is followed by another read, once the
    // replies already here are read: the one after it may say the folder
    // ends, and then no read is sent that would cost one more round trip.
    if (end || refused != 0) owed = 0;
    for (; ok && owed > 0 && (ahead.empty() || ssh_channel_poll(channel_, 0) <= 0); --owed) ok = sendRead();
  }
  uint32_t closeId = 0;
  if (!ok || !ahead.empty() || !SendClose(handle, closeId)) {
    Close();
    return false;
  }
  closesPending_.push_back(closeId);
  status = refused != 0 ? refused : 0;
  return refused == 0 && end;
}

}  // namespace twinbay
