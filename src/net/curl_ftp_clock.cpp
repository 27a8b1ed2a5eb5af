// The FTP client over libcurl: the server's time zone, from folder lines, MDTM
// replies and a one-byte test file.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "net/curl_ftp_impl.h"

namespace twinbay {
namespace {

constexpr int64_t kMaxZoneOffset = 14 * 60 * kTicksPerMinute;

int64_t PreciseNowTicks() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return TicksFromUnix(ns / 1000000000, ns % 1000000000);
}

}  // namespace

int64_t NowTicks() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return TicksFromUnix(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

void CurlFtpConnection::OnOpened() {
  if (!clock_->Settled()) {
    const ServerTimeOffset setting = clock_->Setting();
    if (features_.mlsd) {
      clock_->Settle(ServerClock::Source::Utc, 0, 0, true);
    } else if (!setting.automatic) {
      // Until one file shows otherwise, MDTM is taken to use the zone the
      // listing uses (as vsftpd does).
      const int64_t offset = setting.minutes * kTicksPerMinute;
      clock_->Settle(ServerClock::Source::Fixed, offset, offset, false);
    }
  }
  if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
}

// Remembers what the folder lines of a LIST say of storing into them.
void CurlFtpConnection::NoteFolders(const std::string& folder, std::string_view body) {
  if (clock_->Settled()) return;
  const std::string self = Trimmed(folder);
  while (!body.empty()) {
    const size_t eol = body.find('\n');
    std::string_view line = body.substr(0, eol);
    body = eol == std::string_view::npos ? std::string_view() : body.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string name;
    const FolderWrite judged = JudgeFolderLine(line, login_.userName, &name);
    if (judged == FolderWrite::NotAFolder) continue;
    if (name == ".") clock_->NoteFolder(self, judged);
    else if (IsSafeRemoteName(name)) clock_->NoteFolder(Join(self, name), judged);
  }
}

// LIST times are in the server's zone: shifts them to UTC by the session's
// offset, finding it first when this is the first listing that needs it.
void CurlFtpConnection::ShiftListTimes(const std::string& folder, ScanList& entries) {
  const FindData* sample = nullptr;
  for (const FindData& fd : entries)
    if (!fd.IsDirectory() && !fd.link && fd.precision == TimePrecision::Minutes) {
      sample = &fd;
      break;
    }
  if (!clock_->Settled()) {
    if (!sample) return;  // nothing here depends on the offset yet
    SettleOffset(folder, sample);
  } else if (sample && !clock_->MdtmKnown()) {
    LearnMdtmZone(folder, *sample);
  }
  const int64_t offset = clock_->ListOffset();
  if (offset == 0) return;
  for (FindData& fd : entries)
    if (fd.precision == TimePrecision::Minutes) fd.lastWrite -= offset;
}

// Finds the offset in automatic mode: from a test file where the folder is
// writable; else from an MDTM reply that disagrees with the listing; else,
// where the listing could not tell whether the login may write there, from
// a test file all the same (once a session);
// else it stays unknown (and the user is told).
void CurlFtpConnection::SettleOffset(const std::string& folderPath, const FindData* sample) {
  const std::string folder = Trimmed(folderPath);
  std::string note;
  const FolderWrite access = MayWrite(folder);
  if (access == FolderWrite::Writable) {
    if (Probe(folder, note, false)) return;
  } else if (access == FolderWrite::NotWritable) {
    note = "no test file can be stored in " + folder;
  }
  bool mdtmAgrees = false;
  if (sample && features_.mdtm) {
    int64_t mdtm = 0;
    if (ReadMdtm(Join(folder, sample->name), mdtm)) {
      // The listed time is cut to the minute: compare from the middle of it.
      const int64_t d = RoundToQuarterHour(sample->lastWrite + 30 * kTicksPerSecond - mdtm);
      if (d != 0 && d <= kMaxZoneOffset && d >= -kMaxZoneOffset) {
        clock_->Settle(ServerClock::Source::FromMdtm, d, 0, true);
        return;
      }
      mdtmAgrees = d == 0;
    }
  }
  if (access != FolderWrite::Writable && access != FolderWrite::NotWritable) {
    if (!clock_->TakeUnjudgedTry()) note = "a test file was tried before in this session";
    else if (Probe(folder, note, true)) return;
  }
  if (mdtmAgrees) note += " and MDTM agrees with the listing";
  clock_->Settle(ServerClock::Source::Unknown, 0, 0, true, note);
}

// Whether a store into the folder will be accepted, as far as can be known
// without trying: an earlier store there, or its entry in its parent's
// listing (or its own "." entry). NotAFolder when no listing shows it.
FolderWrite CurlFtpConnection::MayWrite(const std::string& folder) {
  const FolderWrite known = clock_->Judged(folder);
  if (known != FolderWrite::NotAFolder || folder == "/") return known;
  const std::string parent = ParentOf(folder);
  std::string body;
  if (!ListRaw(parent, body)) return FolderWrite::NotAFolder;
  NoteFolders(parent, body);
  return clock_->Judged(folder);
}

// Stores a one-byte file under the program's temporary-name prefix (never
// listed, never copied), reads back its listed and MDTM times, compares them
// with this computer's UTC clock at the store and deletes it again.
// `unjudged`: the listing could not tell whether the store is allowed, so a
// refusal is counted apart from a normal run's (RefusedProbes) and ends
// such tests for the session.
bool CurlFtpConnection::Probe(const std::string& folder, std::string& note, bool unjudged) {
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "%ld-%u-%lld", static_cast<long>(getpid()), counter++,
                static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007));
  const std::string path = Join(folder, std::string(".twinbay-probe-") + suffix + ".part");
  // Remembered before the store: a connection lost now leaves it to be
  // removed after the reconnect.
  clock_->SetPendingProbe(path);
  bool sent = false;
  const uint64_t refusedBefore = refusedCount_;
  const int64_t before = PreciseNowTicks();
  const bool stored = Store(
      path,
      [&](char* buffer, size_t size) -> long {
        if (sent || size == 0) return 0;
        buffer[0] = '\n';
        sent = true;
        return 1;
      },
      1);
  const int64_t after = PreciseNowTicks();
  if (!stored) {
    note = "a test file could not be stored in " + folder;
    if (refusedCount_ > refusedBefore) {
      clock_->NoteProbe("the server refused a one-byte test file in " + folder +
                        " (stored to find its time offset; it is not asked again)");
      clock_->NoteProbeRefused();
      if (unjudged) {
        probeRefusals_ += refusedCount_ - refusedBefore;
        refusedCount_ = refusedBefore;
      }
    }
    CleanUpProbe();
    return false;
  }
  clock_->RunProbeHook(path);
  std::string body;
  ScanList entries;
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (ListRaw(folder, body, name)) ParseListing(body, ListingFormat::List, NowTicks(), entries);
  const FindData* mine = nullptr;
  for (const FindData& fd : entries)
    if (fd.name == name) mine = &fd;
  int64_t mdtm = 0;
  const bool haveMdtm = mine && features_.mdtm && ReadMdtm(path, mdtm);
  // The store went through, so the file is there even where no listing
  // shows it (a folder the login may write but not read): remove it.
  if (Quote({"DELE " + path})) clock_->SetPendingProbe({});
  else CleanUpProbe();
  clock_->NoteProbe("stored a one-byte test file, " + path + ", to find the server's time offset, and " +
                    (clock_->PendingProbe().empty() ? "removed it" : "will remove it on the next connection"));
  if (!mine || mine->precision != TimePrecision::Minutes) {
    note = "the test file stored in " + folder + " could not be read back";
    return false;
  }
  const int64_t middle = before + (after - before) / 2;
  const int64_t listOffset = RoundToQuarterHour(mine->lastWrite + 30 * kTicksPerSecond - middle);
  const int64_t mdtmOffset = haveMdtm ? RoundToQuarterHour(mdtm - middle) : listOffset;
  if (listOffset > kMaxZoneOffset || listOffset < -kMaxZoneOffset || mdtmOffset > kMaxZoneOffset ||
      mdtmOffset < -kMaxZoneOffset) {
    note = "the server's clock is " + FormatOffsetTicks(listOffset) + " away from this computer's";
    return false;
  }
  clock_->Settle(ServerClock::Source::Probed, listOffset, mdtmOffset, true);
  return true;
}

// Removes a probe file that a failed or dropped probe may have left; it is
// deleted only when a listing of its name shows it, so no DELE is sent in
// vain.
void CurlFtpConnection::CleanUpProbe() {
  const std::string path = clock_->PendingProbe();
  if (path.empty() || cleanUpAttempts_ >= 3) return;
  ++cleanUpAttempts_;
  const std::string folder = ParentOf(path), name = path.substr(path.find_last_of('/') + 1);
  std::string body;
  if (!ListRaw(folder, body, name)) return;  // tried again later
  ScanList entries;
  ParseListing(body, ListingFormat::List, NowTicks(), entries);
  bool there = false;
  for (const FindData& fd : entries) there = there || fd.name == name;
  if (!there || Quote({"DELE " + path})) clock_->SetPendingProbe({});
}

// With a fixed offset: whether MDTM answers in the listing's zone or in UTC,
// from one listed file.
void CurlFtpConnection::LearnMdtmZone(const std::string& folder, const FindData& sample) {
  int64_t mdtm = 0;
  if (!features_.mdtm || !ReadMdtm(Join(Trimmed(folder), sample.name), mdtm)) {
    clock_->SetMdtmOffset(clock_->ListOffset());
    return;
  }
  const int64_t utc = sample.lastWrite + 30 * kTicksPerSecond - clock_->ListOffset();
  clock_->SetMdtmOffset(RoundToQuarterHour(mdtm - utc));
}

}  // namespace twinbay
