// The remote side as a file system: what the transfer and the deletions need
// of a server, whatever protocol or place stands behind it (an FTP server, or
// a local folder standing in for one).
//
// Every path is absolute ("/a/b") and in remote normal form (engine/paths.h).
// One file system is used by one thread at a time; a pool holds one per
// thread, each made with OpenAnother.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/find_data.h"

namespace twinbay {

// What a remote file system can do beyond reading, writing and listing.
struct RemoteCapabilities {
  bool setTime = false;       // a file can be given a modification time
  bool rename = false;        // a file can be renamed (so an upload can go to a temporary name first)
  bool sizeQuery = false;     // one file's exact size can be asked for without listing its folder
  bool preciseTimes = false;  // listed times are exact to the second
};

// Receives the bytes of a read; returns false to stop (a failed write).
using RemoteSink = std::function<bool(const char* data, size_t size)>;
// Fills a buffer for a write: the number of bytes, 0 at the end, or -1 for a
// failed read (the write is then abandoned).
using RemoteSource = std::function<long(char* buffer, size_t size)>;

class IRemoteFileSystem {
 public:
  virtual ~IRemoteFileSystem() = default;

  virtual RemoteCapabilities Capabilities() const = 0;
  // Every entry of a folder; false when it could not be listed whole.
  virtual bool List(const std::string& path, ScanList& out) = 0;
  // Makes one folder (its parent must exist); false when it was not made.
  virtual bool MakeFolder(const std::string& path) = 0;
  // Removes one file.
  virtual bool Remove(const std::string& path) = 0;
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // The whole file into the sink, or the file's bytes from the source; true
  // only when the whole file went through.
  virtual bool Read(const std::string& path, const RemoteSink& sink) = 0;
  virtual bool Write(const std::string& path, const RemoteSource& source, uint64_t size) = 0;
  // Gives a file a last-write time (UTC ticks).
  virtual bool SetTime(const std::string& path, int64_t ticks) = 0;
  // The find data of one file; false when there is no such file.
  virtual bool Stat(const std::string& path, FindData& out) = 0;
  // The exact size of one file (where the capabilities offer it).
  virtual bool Size(const std::string& path, uint64_t& size) = 0;
  // A text for the user about the last failure.
  virtual std::string LastError() const = 0;
  // While the flag (if any) is set, a Read or Write in progress is abandoned
  // promptly and fails.
  virtual void SetAbortFlag(const std::atomic<bool>* flag) = 0;

  // Whether the last failure was the connection breaking (or there being
  // none) rather than the other side refusing.
  virtual bool LostConnection() const = 0;
  // Logs in again after the connection broke; false when that failed.
  virtual bool Reconnect() = 0;
  // One more file system on the same place, with a login of its own; null
  // when the server takes no more logins (or cannot be reached).
  virtual std::unique_ptr<IRemoteFileSystem> OpenAnother() const = 0;
};

}  // namespace twinbay
