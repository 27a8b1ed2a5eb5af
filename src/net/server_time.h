// The server's time offset: what a connection is told (automatic, or a fixed
// ±HH:MM) and what a session has found out about the server's clock zone.
//
// MLSD and MLST times are UTC by definition and are never shifted. A LIST time
// is in whatever zone the server lists in, and so may be an MDTM reply (vsftpd
// with use_localtime=YES answers both in its local time). In automatic mode the
// offset is found once per session, from a small file the program stores,
// lists and deletes again where the folder is writable; where it is not, from
// an MDTM reply that disagrees with the listing. Where the listing cannot tell
// whether the login may write (the owner shown as a number, or hidden), the
// test file is tried all the same, once a session (and never after a refused
// one). Otherwise the offset stays unknown, the times
// are taken as UTC and the user is told so once.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <map>
#include <string>
#include <string_view>

#include "fs/place.h"

namespace twinbay {

// "+05:30" for a tick count (100 ns).
std::string FormatOffsetTicks(int64_t ticks);
// Rounds a difference to the nearest quarter hour.
int64_t RoundToQuarterHour(int64_t ticks);

// What a Unix "ls -l" line of a folder tells of whether the login may store
// into it: writable for everyone, or writable for its owner when the owner is
// the login (for an anonymous login, the owners "ftp" and "anonymous");
// unjudged when only its owner may write and the owner is shown as a number
// (vsftpd's default) or hidden ("-", "?", "owner", "unknown"); else not
// writable.
enum class FolderWrite { NotAFolder, Writable, Unjudged, NotWritable };
// The folder's name goes to *name (for a folder line).
FolderWrite JudgeFolderLine(std::string_view line, const std::string& loginUser, std::string* name);

// What one session knows about the server's times. Shared by the session and
// each connection it opens, so that what was found survives a reconnect and a
// probe file left by a dropped connection is removed after it.
class ServerClock {
 public:
  enum class Source {
    NotYet,   // nothing needed a LIST offset so far
    Utc,      // the server lists with MLSD: no offset
    Fixed,    // the user's fixed offset
    Probed,   // found from a stored test file
    FromMdtm, // found from an MDTM reply that disagrees with the listing
    Unknown,  // could not be found: times are taken as UTC
  };

  void Reset(const ServerTimeOffset& setting);
  ServerTimeOffset Setting() const;

  // LIST times minus this are UTC.
  int64_t ListOffset() const;
  // MDTM times (read and set) minus this are UTC.
  int64_t MdtmOffset() const;
  Source GetSource() const;
  bool Settled() const { return GetSource() != Source::NotYet; }
  // Whether the zone of MDTM replies is known (it is learnt from one file when
  // the LIST offset came from elsewhere).
  bool MdtmKnown() const;

  void Settle(Source source, int64_t listOffset, int64_t mdtmOffset, bool mdtmKnown, std::string note = {});
  void SetMdtmOffset(int64_t ticks);

  // A text for the user when the offset is unknown (once per session: the
  // second call returns empty).
  std::string TakeNotice();
  // The same text, every time (for a status line); empty when known.
  std::string Notice() const;

  // A probe file that may still be on the server.
  void SetPendingProbe(const std::string& path);
  std::string PendingProbe() const;

  // Folders the login has been seen to write to (Writable), or what their
  // listing line said; NotAFolder for a folder not seen yet.
  void NoteFolder(const std::string& folder, FolderWrite judged);
  void NoteWritable(const std::string& folder) { NoteFolder(folder, FolderWrite::Writable); }
  FolderWrite Judged(const std::string& folder) const;

  // A test file stored where the listing could not tell: one try a session
  // (the first caller gets it), none after a refused test file.
  bool TakeUnjudgedTry();
  void NoteProbeRefused();
  // What a test file did, for the user (once): it is the one thing a compare
  // writes on the server. Empty when none was tried since the last call.
  void NoteProbe(const std::string& text);
  std::string TakeProbeReport();

  // For tests: called on the connection's thread right after a probe file was
  // stored (to drop the connection at the worst moment).
  using ProbeHook = std::function<void(const std::string& path)>;
  void SetProbeHook(ProbeHook hook);
  void RunProbeHook(const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  ServerTimeOffset setting_;
  Source source_ = Source::NotYet;
  int64_t listOffset_ = 0, mdtmOffset_ = 0;
  bool mdtmKnown_ = false;
  std::string note_;
  bool noticeTaken_ = false;
  std::string pendingProbe_;
  std::map<std::string, FolderWrite> folders_;
  bool probeRefused_ = false, unjudgedTried_ = false;
  std::string probeReport_;
  ProbeHook probeHook_;
};

}  // namespace twinbay
