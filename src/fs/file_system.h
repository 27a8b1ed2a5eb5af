// A folder tree as a file system: what the compare, the transfer and the
// deletions need of either side, whatever stands behind it (the local disk, an
// FTP server, an SFTP server). The only header of src/net the front ends use:
// they name a place with a FileSystemTarget and leave the opening to the
// controller.
//
// Every path is absolute ("/a/b") and in remote normal form (fs/paths.h);
// a local file system rooted at "/" takes local paths as they are. One file
// system is used by one thread at a time; a pool holds one per thread, each
// made with OpenAnother.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/content_hash.h"
#include "fs/find_data.h"
#include "fs/place.h"

namespace twinbay {

// What a file system can do beyond reading, writing and listing.
struct FsCapabilities {
  bool setTime = false;       // a file can be given a modification time
  bool rename = false;        // a file can be renamed (so a copy can go to a temporary name first)
  bool atomicReplace = false; // a rename replaces an existing file in one step
  bool sizeQuery = false;     // one file's exact size can be asked for without listing its folder
  bool preciseTimes = false;  // listed times are exact to the second
  bool streams = false;       // OpenRead and OpenWrite work (a pull reader, a push writer)
  // Files have permission bits: Write and OpenWrite make a file new (never
  // one already there, nor through a link) and private (0600), and SetMode
  // gives it its mode.
  bool modes = false;
  // A broken copy can be continued: ReadFrom reads from an offset, and
  // Append (or OpenAppend) adds to a temporary file this program began.
  bool resume = false;
  // Small files can be written and renamed into place together
  // (WriteBatch, RenameBatch), each step sent for all of them before the
  // replies are read; only where a rename replaces in one step.
  bool batches = false;
  // A new small file is better stored under its own name than under a
  // temporary one renamed (the rename and the size query cost the server
  // more than the file: FTP), where the sync state can mark it meanwhile.
  bool storeNewDirectly = false;
  // The mode a new file is given (the disk: what the umask leaves of 0666).
  uint16_t newFileMode = 0644;
  // The last-write times a file can be given (UTC ticks, both ends
  // included): SFTP carries unsigned 32-bit seconds, FTP four-digit years.
  // A time outside is never set (it would wrap or be misread).
  int64_t earliestTime = std::numeric_limits<int64_t>::min();
  int64_t latestTime = std::numeric_limits<int64_t>::max();
  bool HoldsTime(int64_t ticks) const { return ticks >= earliestTime && ticks <= latestTime; }
};

// Receives the bytes of a read; returns false to stop (a failed write).
using FsSink = std::function<bool(const char* data, size_t size)>;
// Fills a buffer for a write: the number of bytes, 0 at the end, or -1 for a
// failed read (the write is then abandoned).
using FsSource = std::function<long(char* buffer, size_t size)>;

// A file a copy is about to read, with its size as listed.
struct FsPrefetch {
  std::string path;
  uint64_t size = 0;
};

// One small file of a batch of uploads (WriteBatch), its bytes read already:
// made new and private (0600) at `path`, written whole, then given its time
// and its mode where asked. What came of it is its own.
struct FsBatchFile {
  std::string path;
  std::string bytes;
  std::optional<int64_t> time;   // the last-write time to give it (UTC ticks)
  std::optional<uint32_t> mode;  // the permission bits to give it once written
  // ---- what came of it
  bool stored = false;           // made, and every byte stored
  bool made = false;             // it may be there (a failed one is to be removed)
  std::string error;             // why it was not stored
  std::optional<uint64_t> held;  // the size the file system held after the write, where it told
  bool timeSet = false, modeSet = false;
  std::string timeError, modeError;  // why not
};

// One rename of a batch (RenameBatch): `from` takes the place of `to`.
struct FsBatchRename {
  std::string from, to;
  bool done = false;
  std::string error;
};

// A file opened for reading: Read fills the buffer (0 at the end, -1 on a
// failure).
class IFsReader {
 public:
  virtual ~IFsReader() = default;
  virtual long Read(char* buffer, size_t size) = 0;
};

// A file opened for writing: Write takes the bytes in order; Close ends the
// file and is true only when every byte is stored. A writer dropped without
// Close leaves an incomplete file (the copy routine writes to a temporary
// name and removes it).
class IFsWriter {
 public:
  virtual ~IFsWriter() = default;
  virtual bool Write(const char* data, size_t size) = 0;
  virtual bool Close() = 0;
};

// A server login as the front ends show it (through the controller), apart
// from the file operations: only FTP and SFTP file systems have one.
class IRemoteSession {
 public:
  virtual ~IRemoteSession() = default;
  // The server's name.
  virtual std::string Host() const = 0;
  // The folder the login starts in, where a relative remote path is taken
  // from ("/" when there is no such thing).
  virtual std::string LoginFolder() const = 0;
  // Whether the login and the files travel encrypted.
  virtual bool Encrypted() const = 0;
  // Makes sure there is a working connection: probes it and logs in again
  // when it broke; false when that failed (the file system's LastError says
  // why).
  virtual bool EnsureConnected() = 0;
  // Logs out; the place is remembered, so EnsureConnected or the file
  // system's Reconnect logs in again.
  virtual void Disconnect() = 0;
  // What the user is to hear of the server's clock (FTP servers that list in
  // their own zone), each told once: what the test file that finds the offset
  // did, and that the offset could not be found. Empty when nothing.
  virtual std::string TakeClockProbeReport() { return {}; }
  virtual std::string TakeClockNotice() { return {}; }
  // The second, every time (for a status line); empty when the offset is known.
  virtual std::string ClockNotice() const { return {}; }
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  virtual FsCapabilities Capabilities() const = 0;
  // Every entry of a folder; false when it could not be listed whole (out then
  // holds the entries that could be read, LastError the reason).
  virtual bool List(const std::string& path, ScanList& out) = 0;
  // How many folders ListInTurn is worth giving at once: more than one only
  // where their requests go out together.
  virtual size_t ListsAtOnce() const { return 1; }
  // Lists the folders one after another as List does, handing each to
  // `listed` (its index, List's outcome, its entries) as soon as it is in;
  // TakeSkipped and TakeLeftOut then tell that listing's names. A file system
  // that can ask for several listings at once sends their requests together.
  virtual void ListInTurn(const std::vector<std::string>& paths,
                          const std::function<void(size_t, bool, ScanList&)>& listed) {
    for (size_t i = 0; i < paths.size(); ++i) {
      ScanList entries;
      const bool ok = List(paths[i], entries);
      listed(i, ok, entries);
    }
  }
  // Entries the listings left out on purpose, each as "path: why" (a link that
  // leads nowhere, a name that cannot be used safely); each is told once.
  virtual std::vector<std::string> TakeSkipped() { return {}; }
  // The names the last listing left out although something is there (a link
  // that leads nowhere, neither a file nor a folder, a name that cannot be
  // used here), told after every listing: such a name is never read as
  // deleted.
  virtual std::vector<std::string> TakeLeftOut() { return {}; }
  // Whether a file or folder of this name can be made and named here. A name
  // read on one side that the other cannot take is left alone on both sides
  // (named, never copied, deleted or recorded). By default any name that is
  // one path component.
  virtual bool TakesName(const std::string& name) const {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
  }
  // Makes one folder (its parent must exist); false when it was not made.
  virtual bool MakeFolder(const std::string& path) = 0;
  // Removes one file.
  virtual bool Remove(const std::string& path) = 0;
  // Removes an empty folder (never one with anything in it).
  virtual bool RemoveFolder(const std::string& path) = 0;
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // The whole file into the sink, or the file's bytes from the source; true
  // only when the whole file went through.
  virtual bool Read(const std::string& path, const FsSink& sink) = 0;
  virtual bool Write(const std::string& path, const FsSource& source, uint64_t size) = 0;
  // The files that the next Reads will ask for, in order (the transfer hands
  // a connection several small downloads at once): a server file system may
  // read them all ahead in a few round trips and keep their bytes until Read
  // asks for them. A hint only: each hint forgets the last one's files, and
  // a file whose read ahead failed is read anew by Read (its failure is its
  // own, never another file's). By default nothing is read ahead.
  virtual void Prefetch(const std::vector<FsPrefetch>& files) { (void)files; }
  // Small files written together (the transfer hands a connection several
  // small uploads at once, where the capabilities offer batches): each
  // file's outcome is its own, one failing never fails another; after a
  // failure LostConnection tells whether the connection broke. By default
  // none is written.
  virtual void WriteBatch(std::vector<FsBatchFile>& files) {
    for (FsBatchFile& f : files) f.error = "not written: no batches here";
  }
  // Renames each `from` over its `to`, replacing it in one step; each
  // rename's outcome is its own.
  virtual void RenameBatch(std::vector<FsBatchRename>& renames) {
    for (FsBatchRename& r : renames) r.error = "not renamed: no batches here";
  }
  // The same as streams, where the capabilities offer them (null otherwise,
  // or when the file cannot be opened).
  virtual std::unique_ptr<IFsReader> OpenRead(const std::string& path) {
    (void)path;
    return nullptr;
  }
  virtual std::unique_ptr<IFsWriter> OpenWrite(const std::string& path) {
    (void)path;
    return nullptr;
  }
  // ---- continuing a broken copy (where the capabilities offer resume)
  // The file's bytes from `offset` on, into the sink or as a stream.
  virtual bool ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) {
    return offset == 0 && Read(path, sink);
  }
  virtual std::unique_ptr<IFsReader> OpenReadFrom(const std::string& path, uint64_t offset) {
    return offset == 0 ? OpenRead(path) : nullptr;
  }
  // Adds `size` bytes from the source to the end of a temporary file this
  // program began, `offset` bytes long; refused unless the file is still its
  // own (a regular file, no link, private where there are modes) of that
  // length.
  virtual bool Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) {
    (void)path, (void)source, (void)offset, (void)size;
    return false;
  }
  virtual std::unique_ptr<IFsWriter> OpenAppend(const std::string& path, uint64_t offset) {
    (void)path, (void)offset;
    return nullptr;
  }
  // Gives a file its permission bits (where the capabilities offer modes).
  virtual bool SetMode(const std::string& path, uint32_t mode) {
    (void)path, (void)mode;
    return false;
  }
  // ---- contents (optional)
  // The hash kinds this file system can give of a file's contents (a set of
  // HashKind bits; 0: none). A server's are found out once per login from
  // what it says it offers, never by a command it may refuse.
  virtual unsigned HashKinds() { return 0; }
  // The file's hash of that kind, as lower-case hex; false (LastError says
  // why) when it could not be had.
  virtual bool Hash(const std::string& path, HashKind kind, std::string& hex) {
    (void)path, (void)kind, (void)hex;
    return false;
  }
  // Gives a file a last-write time (UTC ticks).
  virtual bool SetTime(const std::string& path, int64_t ticks) = 0;
  // The find data of one file or folder, its kind included (a link is
  // followed; one that leads nowhere shows as the link itself where the file
  // system can tell); false when there is nothing of that name.
  virtual bool Stat(const std::string& path, FindData& out) = 0;
  // The exact size of one file (where the capabilities offer it).
  virtual bool Size(const std::string& path, uint64_t& size) = 0;
  // A text for the user about the last failure.
  virtual std::string LastError() const = 0;
  // While the flag (if any) is set, an operation in progress is abandoned
  // promptly and fails.
  virtual void SetAbortFlag(const std::atomic<bool>* flag) = 0;

  // Whether the last failure was the connection breaking (or there being
  // none) rather than the other side refusing.
  virtual bool LostConnection() const = 0;
  // Logs in again after the connection broke; false when that failed.
  virtual bool Reconnect() = 0;
  // One more file system on the same place, with a login of its own; null
  // when the server takes no more logins (or cannot be reached).
  virtual std::unique_ptr<IFileSystem> OpenAnother() const = 0;

  // The server session behind this file system (its facts and its login's
  // upkeep); null for the local disk.
  virtual IRemoteSession* Session() { return nullptr; }
};

}  // namespace twinbay
