#include "net/sftp_extension.h"

#include <libssh/libssh.h>

#include <cstring>

namespace twinbay {
namespace {

constexpr uint8_t kInit = 1, kVersion = 2, kOpen = 3, kClose = 4, kWrite = 6, kStatus = 101, kHandle = 102,
                  kExtended = 200;
constexpr uint32_t kMaxPacket = 256 * 1024;
// SSH_FXF_WRITE | SSH_FXF_CREAT | SSH_FXF_TRUNC, and the permissions attribute.
constexpr uint32_t kWriteCreateTruncate = 0x02 | 0x08 | 0x10, kAttrPermissions = 0x04;
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
}

bool SftpExtensionChannel::Send(uint8_t type, const std::string& body) {
  std::string packet;
  PutU32(packet, static_cast<uint32_t>(body.size() + 1));
  packet.push_back(static_cast<char>(type));
  packet += body;
  return ssh_channel_write(channel_, packet.data(), static_cast<uint32_t>(packet.size())) ==
         static_cast<int>(packet.size());
}

bool SftpExtensionChannel::Receive(uint8_t& type, std::string& body) {
  char head[5];
  if (!ReadAll(channel_, head, sizeof head)) return false;
  const uint32_t length = GetU32(std::string(head, 4), 0);
  if (length < 1 || length > kMaxPacket) return false;
  type = static_cast<uint8_t>(head[4]);
  body.assign(length - 1, '\0');
  return ReadAll(channel_, body.data(), body.size());
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

bool SftpExtensionChannel::OpenForWrite(const std::string& path, std::string& handle, int& status) {
  status = -1;
  const uint32_t id = nextId_++;
  std::string request;
  PutU32(request, id);
  PutString(request, path);
  PutU32(request, kWriteCreateTruncate);
  PutU32(request, kAttrPermissions);
  PutU32(request, 0644);
  uint8_t type = 0;
  std::string reply;
  if (!channel_ || !Send(kOpen, request) || !Receive(type, reply) || reply.size() < 8 || GetU32(reply, 0) != id) {
    Close();
    return false;
  }
  const uint32_t value = GetU32(reply, 4);
  if (type == kStatus && value != 0) {
    status = static_cast<int>(value);
    return false;
  }
  if (type != kHandle || value == 0 || value > kMaxHandle || value > reply.size() - 8) {
    Close();  // not an answer to an open: the channel cannot be trusted
    return false;
  }
  handle = reply.substr(8, value);
  status = 0;
  return true;
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

bool SftpExtensionChannel::NextStatus(uint32_t& id, int& status) {
  uint8_t type = 0;
  std::string reply;
  if (!channel_ || !Receive(type, reply) || type != kStatus || reply.size() < 8) {
    Close();
    return false;
  }
  id = GetU32(reply, 0);
  status = static_cast<int>(GetU32(reply, 4));
  return true;
}

}  // namespace twinbay
