// SFTP requests that libssh's SFTP client does not send, over a channel of
// their own on the same SSH connection: the replacing rename of OpenSSH
// (posix-rename@openssh.com), which a plain SFTP rename cannot do.
#pragma once

#include <cstdint>
#include <string>

struct ssh_session_struct;
struct ssh_channel_struct;

namespace twinbay {

class SftpExtensionChannel {
 public:
  SftpExtensionChannel() = default;
  ~SftpExtensionChannel();
  SftpExtensionChannel(const SftpExtensionChannel&) = delete;
  SftpExtensionChannel& operator=(const SftpExtensionChannel&) = delete;

  // Opens the channel and starts SFTP on it (once; later calls reuse it).
  bool Open(ssh_session_struct* session);
  void Close();
  // Renames `from` to `to`, replacing `to`. False when the channel failed
  // (`status` -1) or the server refused (`status` its SFTP status code).
  bool PosixRename(const std::string& from, const std::string& to, int& status);

 private:
  bool Send(uint8_t type, const std::string& body);
  // The next whole packet: its type and body.
  bool Receive(uint8_t& type, std::string& body);

  ssh_channel_struct* channel_ = nullptr;
  uint32_t nextId_ = 1;
};

}  // namespace twinbay
