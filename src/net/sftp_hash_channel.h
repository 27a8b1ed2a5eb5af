// Content hashes by the SFTP extensions that compute them on the server:
// "check-file" (its check-file-name request) and "md5-hash". They go over an
// SFTP channel of their own, opened at version 6, the highest there is: a
// server lists check-file only in the "supported2" of a version 5 or 6
// reply, and the channel that copies files speaks version 3. Only what the
// version reply lists is asked for; nothing is tried to see if it fails.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fs/content_hash.h"

struct ssh_session_struct;
struct ssh_channel_struct;

namespace twinbay {

class SftpHashChannel {
 public:
  SftpHashChannel() = default;
  ~SftpHashChannel() { Close(); }
  SftpHashChannel(const SftpHashChannel&) = delete;
  SftpHashChannel& operator=(const SftpHashChannel&) = delete;

  // Opens the channel and reads its version reply: the HashKind bits the
  // listed extensions give (0: none listed, or no channel; it is closed).
  unsigned Open(ssh_session_struct* session, const std::function<bool()>& going);
  void Close();
  // The kinds the open channel gives (0 once it failed).
  unsigned Kinds() const { return channel_ ? kinds_ : 0; }

  // The hash of the whole file `path`, `size` bytes long, as lower-case hex.
  // check-file is asked for `kind` first, then the weaker kinds; a reply in
  // another kind (the server has not `kind`) is a failure, and later hashes
  // ask for what the server used. False with `error` (a refusal, or a reply
  // that cannot be read, which also closes the channel).
  bool Hash(const std::string& path, uint64_t size, HashKind kind, std::string& hex, std::string& error);

 private:
  bool Send(const std::string& body);
  // The next packet: its type and body (false on a broken channel, a stop
  // or a minute without a byte).
  bool Receive(uint8_t& type, std::string& body);
  bool ReadAll(char* out, size_t size);

  ssh_channel_struct* channel_ = nullptr;
  std::function<bool()> going_;
  unsigned kinds_ = 0;
  bool checkFile_ = false, md5Hash_ = false;
  uint32_t nextId_ = 1;
};

}  // namespace twinbay
