#include "net/sftp_extension.h"

#include <libssh/libssh.h>

namespace twinbay {
namespace {

constexpr uint8_t kInit = 1, kVersion = 2, kStatus = 101, kExtended = 200;
constexpr uint32_t kMaxPacket = 256 * 1024;

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
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
  channel_ = ssh_channel_new(session);
  std::string version;
  PutU32(version, 3);
  uint8_t type = 0;
  std::string body;
  if (!channel_ || ssh_channel_open_session(channel_) != SSH_OK ||
      ssh_channel_request_subsystem(channel_, "sftp") != SSH_OK || !Send(kInit, version) || !Receive(type, body) ||
      type != kVersion) {
    Close();
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

}  // namespace twinbay
