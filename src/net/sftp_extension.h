// SFTP requests that libssh's SFTP client does not send, over a channel of
// their own on the same SSH connection: the replacing rename of OpenSSH
// (posix-rename@openssh.com), which a plain SFTP rename cannot do, writes
// with many requests in flight (libssh writes one block per round trip),
// folder listings in two round trips (libssh waits for every request), and
// reads of several files at once whose data goes straight into the caller's
// buffers (libssh copies each reply twice more and allocates one per reply).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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
  // Sends a request for the attributes of an open file without waiting.
  bool SendFstat(const std::string& handle, uint32_t& id);
  // The next status reply: the id of its request and its code; or a reply
  // to SendFstat (code 0), whose size, where it gives one, goes to `size`.
  bool NextStatus(uint32_t& id, int& status, std::optional<uint64_t>* size = nullptr);

  // The same three without waiting for their replies (a batch of small
  // uploads): the open (NextReply reads the handle or the refusal), the
  // attributes of an open file (its mode and, where given, its last-write
  // time; NextStatus reads the status) and the replacing rename.
  bool SendOpenWrite(const std::string& path, uint32_t& id);
  bool SendFsetstat(const std::string& handle, std::optional<uint32_t> mode, std::optional<uint32_t> mtime,
                    uint32_t& id);
  bool SendPosixRename(const std::string& from, const std::string& to, uint32_t& id);

  // Sends the open of a file for reading without waiting (NextReply reads
  // the handle or the refusal).
  bool SendOpenRead(const std::string& path, uint32_t& id);
  // Sends one read of `length` bytes at `offset` without waiting.
  bool SendRead(const std::string& handle, uint64_t offset, uint32_t length, uint32_t& id);
  // Sends the close of a file that was only read; its reply is taken out of
  // the stream unread (a failed close of a read loses nothing).
  bool CloseLater(const std::string& handle);
  // One reply to an open, a read or a status request.
  enum : uint8_t { kReplyStatus = 101, kReplyHandle = 102, kReplyData = 103 };
  struct Reply {
    uint8_t type = 0;
    uint32_t id = 0;
    int status = 0;      // kReplyStatus: its code
    std::string handle;  // kReplyHandle
    uint32_t size = 0;   // kReplyData: the bytes put where `place` said
  };
  // The next reply. The bytes of a data reply go where `place` says, told the
  // request's id and the byte count; null refuses the reply (the channel is
  // closed). False when the channel failed.
  bool NextReply(Reply& reply, const std::function<char*(uint32_t id, uint32_t size)>& place);

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
  bool SendRequest(uint8_t type, uint32_t& id, const std::function<void(std::string&)>& fill);
  // Sends an open request and reads the handle it brings.
  bool OpenHandle(uint8_t type, const std::string& request, uint32_t id, std::string& handle, int& status);
  // The next whole packet: its type and body (the reply to a close left in
  // flight is read and dropped first).
  bool Receive(uint8_t& type, std::string& body);
  // The next packet's type and length (after its type byte), the replies to
  // closes left in flight read and dropped first.
  bool ReceiveHead(uint8_t& type, uint32_t& length);

  ssh_channel_struct* channel_ = nullptr;
  uint32_t nextId_ = 1;
  bool refused_ = false;
  // The ids of closes sent without waiting whose replies are still to come.
  std::vector<uint32_t> closesPending_;
  // The start of a packet's body that ReceiveHead read to look at it.
  std::string pushedBack_;
};

}  // namespace twinbay
