// The FTP operations the program uses, behind one interface. The real
// implementation runs over libcurl; tests may put a fake in its place.
//
// Every path is absolute ("/a/b") and in remote form. One connection is used by
// one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/content_hash.h"
#include "fs/find_data.h"
#include "net/ftp_tls.h"

namespace twinbay {

class ServerClock;

// What the server said it offers (FEAT).
struct FtpFeatures {
  bool mlsd = false;
  bool mfmt = false;
  bool mdtm = false;
  bool utf8 = false;
  bool size = false;
  bool rest = false;  // "REST STREAM": a download can start at an offset
  bool epsv = false;  // EPSV: a listing may send it together with its command
  // Content hashes (HashKind bits): those HASH offers (one chosen with OPTS
  // HASH; `hashChosen` the one FEAT marks as in use), and those the older
  // XSHA256 / XSHA1 / XMD5 / XCRC commands give.
  unsigned hashKinds = 0;
  unsigned hashChosen = 0;
  unsigned xHashKinds = 0;
};

// The features another connection to the same server read, once it has them;
// nothing when that connection failed.
using SharedFtpFeatures = std::shared_future<std::optional<FtpFeatures>>;
SharedFtpFeatures KnownFtpFeatures(const FtpFeatures& features);

struct FtpLogin {
  std::string host;
  std::string userName;  // empty: anonymous
  std::string password;
  int port = 21;
  // What the session knows of the server's time zone and how to find it out
  // (server_time.h); a connection without one finds it for itself.
  std::shared_ptr<ServerClock> clock;
  // TLS: never falls back to plain FTP when asked for. The pin, when set, is
  // the SHA-256 fingerprint of the one certificate the server may present.
  FtpTls tls = FtpTls::None;
  std::string pinnedFingerprint;
  // The server's features as another connection to it reads them: when set,
  // Open takes them from there (waiting for them if need be) instead of
  // asking the server again, and fails when that connection failed.
  SharedFtpFeatures features;
  // Set once a connection to this server saw it answer a later command while
  // a listing waited: from then on no connection of the session sends
  // several listings' commands together.
  std::shared_ptr<std::atomic<bool>> answersOutOfTurn;
};

// Time limits. The defaults suit real servers; tests shorten them.
struct FtpTimeouts {
  long connectSeconds = 20;
  long replySeconds = 60;
  long stalledTransferSeconds = 60;  // a transfer that moves no byte for this long fails
};

// Receives the bytes of a download; returns false to stop (a failed write).
using FtpSink = std::function<bool(const char* data, size_t size)>;
// Fills a buffer for an upload: the number of bytes, 0 at the end, or -1 for a
// failed read (the upload is then abandoned).
using FtpSource = std::function<long(char* buffer, size_t size)>;

class IFtpConnection {
 public:
  virtual ~IFtpConnection() = default;

  // Logs in and reads the server's features (unless the login brings them)
  // and login folder.
  virtual bool Open() = 0;
  // PWD: true while the control connection works.
  virtual bool GetCurrentDirectory(std::string& directory) = 0;
  virtual bool SetCurrentDirectory(const std::string& path) = 0;
  virtual bool CreateDirectory(const std::string& path) = 0;
  virtual bool Remove(const std::string& path) = 0;
  // RMD: removes an empty folder.
  virtual bool RemoveDirectory(const std::string&) { return false; }
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // MDTM: the file's last-write time (UTC ticks; shifted by the server's MDTM
  // offset when it answers in its own zone).
  virtual bool GetModificationTime(const std::string& path, int64_t& ticks) = 0;
  // MFMT, or the two-argument MDTM that some servers accept (given in the
  // zone the server's MDTM uses).
  virtual bool SetModificationTime(const std::string& path, int64_t ticks) = 0;
  // Changes into the folder and lists it (MLSD when offered, else LIST, with
  // hidden entries where the server allows). LIST times are shifted to UTC
  // by the server's offset (server_time.h), which the first listing that
  // needs it finds out. Symbolic links come back as what they
  // lead to. False when the folder could not be listed whole: a refused or
  // broken listing, or one the server says it cut short.
  virtual bool ListDirectory(const std::string& path, ScanList& out) = 0;
  // After a ListDirectory that returned false: true when the folder was
  // listed but not whole (lines that could not be read, entries left out as
  // unusable), `out` then holding the entries that could be read and
  // LastError() the reason.
  virtual bool ListedInPart() const { return false; }
  // The folders (absolute paths) the next ListDirectory calls will ask for,
  // in that order, right after the next one: their requests may go out with
  // it. A hint only; every listing is still asked for with ListDirectory.
  virtual void ListAhead(const std::vector<std::string>& paths) { (void)paths; }
  // How many listings' requests this connection sends together (1: one at a time).
  virtual size_t ListingsTogether() const { return 1; }
  // The find data of one file or folder (MLST when offered, else from its
  // folder's listing); false when there is nothing of that name.
  virtual bool StatFile(const std::string& path, FindData& out) = 0;
  // Binary RETR / STOR. True only when the whole file went through and the
  // server confirmed the transfer.
  virtual bool Retrieve(const std::string& path, const FtpSink& sink) = 0;
  virtual bool Store(const std::string& path, const FtpSource& source, uint64_t size) = 0;
  // RETR from an offset (SIZE, REST, RETR), and APPE: the source's bytes
  // added to the end of a file. Where the features offer REST and SIZE.
  virtual bool RetrieveFrom(const std::string& path, uint64_t offset, const FtpSink& sink) {
    return offset == 0 && Retrieve(path, sink);
  }
  virtual bool Append(const std::string& path, const FtpSource& source, uint64_t size) {
    (void)path, (void)source, (void)size;
    return false;
  }
  // The file's content hash of a kind the features offer (HASH, else the
  // kind's X command), as lower-case hex.
  virtual bool GetHash(const std::string& path, HashKind kind, std::string& hex) {
    (void)path, (void)kind, (void)hex;
    return false;
  }
  // SIZE (binary): the file's size in bytes; false when the server gives none.
  virtual bool GetSize(const std::string& path, uint64_t& size) {
    (void)path;
    (void)size;
    return false;
  }
  // While the flag (if any) is set, a Retrieve or Store in progress is
  // abandoned promptly and fails, even when no byte is moving.
  virtual void SetAbortFlag(const std::atomic<bool>* flag) { (void)flag; }
  // While this flag (if any) is set, any command in progress, a login too,
  // ends within a poll and fails as a lost connection, also one the server
  // leaves unanswered.
  virtual void SetCancelFlag(const std::atomic<bool>* flag) { (void)flag; }

  virtual const FtpFeatures& Features() const = 0;
  // The folder the server put us in at login.
  virtual const std::string& LoginFolder() const = 0;
  // A text for the user about the last failure.
  virtual std::string LastError() const = 0;
  // Whether the last failure was the connection breaking rather than the
  // server refusing.
  virtual bool LostConnection() const { return false; }
  // How many commands the server has answered on this connection (for
  // benchmarks: round trips).
  virtual uint64_t RepliesReceived() const { return 0; }
  // How many replies refused a command (4xx/5xx) on this connection, apart
  // from those that finding out where symbolic links lead may cost
  // (RefusedProbes). A normal sync is refused nothing.
  virtual uint64_t RefusedReplies() const { return 0; }
  virtual uint64_t RefusedProbes() const { return 0; }
  // Entries that listings left out on purpose since the last call, each as
  // "path: why" (a link that leads nowhere); each is told once per connection.
  virtual std::vector<std::string> TakeSkipped() { return {}; }
  // The names the last listing left out although something is there.
  virtual std::vector<std::string> TakeLeftOut() { return {}; }
  // Whether the login and the transfers are encrypted (TLS).
  virtual bool Encrypted() const { return false; }
  // The SHA-256 fingerprint of a server certificate that the last Open
  // refused, for the user to trust; empty when no certificate was refused.
  virtual std::string RefusedCertificate() const { return {}; }
};

using FtpConnectionFactory = std::function<std::unique_ptr<IFtpConnection>(const FtpLogin&)>;

// Checks text that will become part of an FTP command: no CR, LF or NUL.
bool IsSafeFtpText(const std::string& text);

// Makes a remote path absolute: a relative or empty path is taken below the
// login folder; separators are normalised; a trailing "/" is dropped (except
// for the root).
std::string ResolveRemotePath(const std::string& path, const std::string& loginFolder);

}  // namespace twinbay
