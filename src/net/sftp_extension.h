// SFTP requests that libssh's SFTP client does not send, over a channel of
// their own on the same SSH connection: the replacing rename of OpenSSH
// (posix-rename@openssh.com), which a plain SFTP rename cannot do, writes
// with many requests in flight (libssh writes one block per round trip), and
// folder listings in two round trips (libssh waits for every request).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ssh_session_struct;
struct ssh_channel_struct;

namespace twinbay {

class SftpExtensionChannel {
 public:
  SftpExtensionChannel() = default;
  ~SftpExtensionChannel();
  SftpExtensionChannel(const SftpExtensionChannel&) = delete;
  SftpExtensionChannel& operator=(const SftpExtensionChannel&) = delete;

  // Opens the channel and starts SFTP on it (once; later calls reuse it, and
  // after the server refused it, fail at once until Reset).
  bool Open(ssh_session_struct* session);
  void Close();
  // Whether the server refused to open the channel.
  bool Refused() const { return refused_; }
  // Closes the channel and forgets a refusal (for a new connection).
  void Reset() {
    Close();
    refused_ = false;
  }
  // Renames `from` to `to`, replacing `to`. False when the channel failed
  // (`status` -1) or the server refused (`status` its SFTP status code).
  bool PosixRename(const std::string& from, const std::string& to, int& status);

  // Opens a new file (never one already there), private (0600), for
  // writing: false when the channel failed (`status` -1) or the server
  // refused (`status` its code). `existing`: a file already there instead,
  // opened as it is.
  bool OpenForWrite(const std::string& path, std::string& handle, int& status, bool existing = false);
  // The room a write request needs before its data, for WriteAt.
  static size_t WriteHeaderSize(const std::string& handle);
  // Sends one write without waiting for its reply (NextStatus reads it).
  // `packet` holds WriteHeaderSize(handle) bytes of room followed by `size`
  // bytes of data; the room is filled here.
  bool WriteAt(const std::string& handle, uint64_t offset, char* packet, size_t size, uint32_t& id);
  // Sends the close of a handle without waiting for its reply.
  bool SendClose(const std::string& handle, uint32_t& id);
  // The next status reply: the id of its request and its code.
  bool NextStatus(uint32_t& id, int& status);

  // One entry of a folder listing, as the server described it.
  struct DirEntry {
    std::string name;
    uint32_t flags = 0;        // which attributes the server gave
    uint64_t size = 0;
    uint32_t permissions = 0;  // with the file type bits
    uint32_t mtime = 0;
  };
  // Opens a folder for listing: false when the channel failed (`status` -1)
  // or the server refused (`status` its code).
  bool OpenFolder(const std::string& path, std::string& handle, int& status);
  // Reads an open folder with two reads in flight until its end, then sends
  // the close without waiting (its reply is taken out of the stream ahead of
  // the next request's). `going` is asked before each wait; false lets the
  // channel go. False when the channel failed or was stopped (`status` -1)
  // or the server refused (`status` its code).
  bool ReadFolder(const std::string& handle, std::vector<DirEntry>& out, int& status,
                  const std::function<bool()>& going);

 private:
  bool Send(uint8_t type, const std::string& body);
  // Sends an open request and reads the handle it brings.
  bool OpenHandle(uint8_t type, const std::string& request, uint32_t id, std::string& handle, int& status);
  // The next whole packet: its type and body (the reply to a close left in
  // flight is read and dropped first).
  bool Receive(uint8_t& type, std::string& body);

  ssh_channel_struct* channel_ = nullptr;
  uint32_t nextId_ = 1;
  bool refused_ = false;
  // The ids of closes sent without waiting whose replies are still to come.
  std::vector<uint32_t> closesPending_;
};

}  // namespace twinbay
