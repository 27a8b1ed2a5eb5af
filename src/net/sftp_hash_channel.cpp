#include "net/sftp_hash_channel.h"

#include <libssh/libssh.h>

namespace twinbay {
namespace {

constexpr uint8_t kInit = 1, kVersion = 2, kStatus = 101, kExtended = 200, kExtendedReply = 201;
constexpr uint32_t kMaxPacket = 256 * 1024;
constexpr int kSilenceMs = 60000;  // the longest wait for a byte (a large file takes a while to hash)

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
void PutU64(std::string& out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v >> 32));
  PutU32(out, static_cast<uint32_t>(v));
}
void PutString(std::string& out, const std::string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out += s;
}

// Reads the fields of a packet, never past its end.
class Fields {
 public:
  explicit Fields(const std::string& in) : in_(in) {}
  size_t Left() const { return in_.size() - at_; }
  bool Skip(size_t n) { return n <= Left() && (at_ += n, true); }
  bool U32(uint32_t& v) {
    if (Left() < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(in_[at_++]);
    return true;
  }
  bool String(std::string& out) {
    uint32_t n = 0;
    if (!U32(n) || n > Left()) return false;
    out.assign(in_, at_, n);
    at_ += n;
    return true;
  }
  std::string Rest() const { return in_.substr(at_); }

 private:
  const std::string& in_;
  size_t at_ = 0;
};

struct Algorithm {
  HashKind kind;
  const char* name;
  size_t bytes;
};
// Strongest first: the order check-file is asked in.
constexpr Algorithm kAlgorithms[] = {{HashKind::Sha256, "sha256", 32}, {HashKind::Sha1, "sha1", 20},
                                     {HashKind::Md5, "md5", 16}};
constexpr unsigned kCheckFileKinds = 7;  // SHA-256, SHA-1, MD5

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) hex += digits[c >> 4], hex += digits[c & 15];
  return hex;
}

}  // namespace

void SftpHashChannel::Close() {
  if (channel_) ssh_channel_free(channel_);
  channel_ = nullptr;
}

bool SftpHashChannel::ReadAll(char* out, size_t size) {
  int silent = 0;
  while (size > 0) {
    if (going_ && !going_()) return false;
    const int n = ssh_channel_read_timeout(channel_, out, static_cast<uint32_t>(size), 0, 500);
    if (n < 0 || (n == 0 && (ssh_channel_is_eof(channel_) || (silent += 500) >= kSilenceMs))) return false;
    if (n > 0) silent = 0;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SftpHashChannel::Send(const std::string& body) {
  std::string packet;
  PutU32(packet, static_cast<uint32_t>(body.size()));
  packet += body;
  return ssh_channel_write(channel_, packet.data(), static_cast<uint32_t>(packet.size())) ==
         static_cast<int>(packet.size());
}

bool SftpHashChannel::Receive(uint8_t& type, std::string& body) {
  char head[5];
  if (!ReadAll(head, sizeof head)) return false;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length = (length << 8) | static_cast<uint8_t>(head[i]);
  if (length < 1 || length > kMaxPacket) return false;
  type = static_cast<uint8_t>(head[4]);
  body.assign(length - 1, '\0');
  return ReadAll(body.data(), body.size());
}

unsigned SftpHashChannel::Open(ssh_session session, const std::function<bool()>& going) {
  Close();
  going_ = going;
  kinds_ = 0, checkFile_ = md5Hash_ = false;
  channel_ = ssh_channel_new(session);
  std::string init(1, static_cast<char>(kInit)), body;
  PutU32(init, 6);
  uint8_t type = 0;
  if (!channel_ || ssh_channel_open_session(channel_) != SSH_OK ||
      ssh_channel_request_subsystem(channel_, "sftp") != SSH_OK || !Send(init) || !Receive(type, body) ||
      type != kVersion) {
    Close();
    return 0;
  }
  auto listed = [&](const std::string& name) {
    checkFile_ = checkFile_ || name == "check-file" || name == "check-file-name";
    md5Hash_ = md5Hash_ || name == "md5-hash";
  };
  // The version, then pairs of name and data; versions 5 and 6 list more
  // extension names inside "supported" or "supported2".
  Fields f(body);
  uint32_t version = 0, count = 0;
  std::string name, data;
  f.U32(version);
  while (f.String(name) && f.String(data)) {
    listed(name);
    Fields d(data);
    std::string ext;
    if (name == "supported2" && d.Skip(24) && d.U32(count))  // masks, read size, lock vectors; attribute extensions
      for (uint32_t i = 0; i < count && d.String(ext); ++i) {}
    if (name == "supported2" && d.U32(count))
      for (uint32_t i = 0; i < count && d.String(ext); ++i) listed(ext);
    if (name == "supported" && d.Skip(20))
      while (d.String(ext)) listed(ext);
  }
  kinds_ = (checkFile_ ? kCheckFileKinds : 0) | (md5Hash_ ? static_cast<unsigned>(HashKind::Md5) : 0);
  if (kinds_ == 0) Close();
  return kinds_;
}

bool SftpHashChannel::Hash(const std::string& path, uint64_t size, HashKind kind, std::string& hex,
                           std::string& error) {
  error.clear();
  const char* name = HashName(kind);
  if (!(Kinds() & static_cast<unsigned>(kind))) {
    error = std::string("the server gives no ") + name + " hash";
    return false;
  }
  if (size == 0) {  // nothing to ask: an empty file's digest is known (and some servers refuse to hash one)
    hex = ContentHasher(kind).Hex();
    return true;
  }
  const bool checkFile = checkFile_ && (kinds_ & kCheckFileKinds & static_cast<unsigned>(kind));
  const uint32_t id = nextId_++;
  std::string request(1, static_cast<char>(kExtended)), list;
  PutU32(request, id);
  if (checkFile) {
    // The kind asked for first, then the weaker ones the server may have instead.
    bool from = false;
    for (const Algorithm& a : kAlgorithms)
      if ((from = from || a.kind == kind)) list += (list.empty() ? "" : ",") + std::string(a.name);
    PutString(request, "check-file-name");
    PutString(request, path);
    PutString(request, list);
    PutU64(request, 0);  // from the start, the whole length, in one block
    PutU64(request, 0);
    PutU32(request, 0);
  } else {
    PutString(request, "md5-hash");
    PutString(request, path);
    PutU64(request, 0);
    PutU64(request, size);  // the whole length: a server may hash just the bytes given here
    PutString(request, "");  // no quick check: always the hash
  }
  uint8_t type = 0;
  std::string reply, first, used, digest;
  uint32_t replyId = 0, code = 0;
  Fields f(reply);
  if (!channel_ || !Send(request) || !Receive(type, reply) || !f.U32(replyId) || replyId != id ||
      (type != kStatus && type != kExtendedReply)) {
    Close();
    error = going_ && !going_() ? "Stopped." : "the hash channel broke while hashing " + path;
    return false;
  }
  if (type == kStatus) {
    std::string message;
    f.U32(code), f.String(message);
    error = "the server would not hash " + path + ": " + (message.empty() ? "status " + std::to_string(code) : message);
    return false;
  }
  // check-file: ["check-file",] the algorithm used, the hash's bytes.
  // md5-hash: ["md5-hash",] the hash as a string (empty: not hashed).
  const char* own = checkFile ? "check-file" : "md5-hash";
  bool readable = f.String(first);
  if (readable && first == own) readable = f.String(first);
  if (checkFile) used = first, digest = f.Rest();
  else readable = readable && f.Left() == 0, used = "md5", digest = first;
  const Algorithm* got = nullptr;
  for (const Algorithm& a : kAlgorithms)
    if (readable && used == a.name && digest.size() == a.bytes) got = &a;
  if (!got) {
    error = "the server's hash of " + path + " cannot be read";
    return false;
  }
  if (got->kind != kind) {
    // The server has not the kind asked for: later hashes ask for this one.
    kinds_ &= ~static_cast<unsigned>(kCheckFileKinds);
    for (const Algorithm& a : kAlgorithms)
      if (a.bytes <= got->bytes) kinds_ |= static_cast<unsigned>(a.kind);
    error = "the server hashed " + path + " with " + HashName(got->kind) + ", not " + name;
    return false;
  }
  hex = Hex(digest);
  return true;
}

}  // namespace twinbay
