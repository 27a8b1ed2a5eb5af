// The FTP client over libcurl: folder listings (MLSD or LIST with hidden
// entries), failed and partial listings, and a cut listing read in parts.

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "net/curl_ftp_impl.h"

namespace twinbay {

bool CurlFtpConnection::ListDirectory(const std::string& path, ScanList& out) {
  out.clear();
  skipped_.clear();
  leftOut_.clear();
  listedInPart_ = false;
  if (!Safe(path)) return false;
  if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
  const int64_t now = NowTicks();
  std::string body;
  bool cut = false;
  ListingParse parsed;
  if (features_.mlsd) {
    if (!RunListing(path, "MLSD", body, cut, MlsdTakesPath(path))) return false;
    parsed = ParseListing(body, ListingFormat::Mlsd, now, out);
  } else {
    if (!ListWithHidden(path, body, cut)) return false;
    parsed = ParseListing(body, ListingFormat::List, now, out);
    NoteFolders(path, body);
  }
  if (cut && !ListInParts(path, now, out, parsed)) {
    out.clear();
    return false;
  }
  if (!features_.mlsd) ShiftListTimes(path, out);
  ResolveLinks(path, out);
  LeaveOut(path, parsed);
  return parsed.Whole() || ReportPartial(path, parsed);
}

// Whether MLSD can name the folder itself ("MLSD /a/b", one round trip less
// than CWD and MLSD). MLSD takes a path, never options, and fails when the
// path is no folder it may list, so blanks and leading "-" are safe in it;
// only a path that some servers may read as a pattern ("[]*?" and the like)
// is listed from inside the folder instead. (LIST stays in the folder: a
// LIST of a path lists a missing or locked folder, or a file, as if it were
// a folder, and some servers split the path at blanks.)
bool CurlFtpConnection::MlsdTakesPath(const std::string& path) {
  return path.find_first_of("*?[]{}~") == std::string::npos;
}

// One listing command: with `byPath` the command names the folder, else it
// is sent in the folder after a CWD. `cut` tells whether the server's final
// reply says it cut the listing short (pure-ftpd answers "226 Output
// truncated to 10000 matches", a success code). A success code that says the
// folder could not be read (vsftpd: "226 Transfer done (but failed to open
// directory)", for a folder it may enter but not read) is a failed listing.
bool CurlFtpConnection::RunListing(const std::string& path, const char* command, std::string& body, bool& cut, bool byPath) {
  body.clear();
  cut = false;
  bool handled = false;
  if (byPath && !QuickListing(path, command, body, handled) && handled) return false;
  if (!handled) {
    // libcurl adds the folder's path to the command when it does not change into it.
    Prepare(FolderUrl(path), !byPath);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, command);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::CollectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    const bool ok = Perform("list " + path);
    quickPaused_ = false;  // a broken connection has been made again (or this failed too)
    if (!ok) return false;
  }
  for (const std::string& r : replies_) {
    if (r.rfind("226", 0) != 0) continue;
    std::string lower = r;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (lower.find("truncated") != std::string::npos) {
      cut = true;
      cutReply_ = r;
    }
  }
  return !ReadFailed(path);
}

// The listing on libcurl's control connection, with EPSV sent beside the
// command, where that connection is plain FTP, idle (libcurl holds no socket
// but it: no data connection is open) and the server offers EPSV. The
// folders named by ListAhead go in the same write, and their listings are
// read in turn (each when it is asked for, or before libcurl next uses the
// connection). A refused EPSV (FEAT said otherwise) leaves libcurl to list
// from then on, as before. An exchange that breaks the connection cuts it,
// so that libcurl never reuses it out of step, and the failure is a lost
// connection.
bool CurlFtpConnection::QuickListing(const std::string& path, const char* command, std::string& body,
                                     bool& handled) {
  handled = false;
  QuickListingResult r;
  if (auto it = early_.find(path); it != early_.end()) {
    r = std::move(it->second.first);
    body = std::move(it->second.second);
    early_.erase(it);
  } else if (!owed_.empty() && owed_.front() == path) {
    if (!ReadOwed(r, body)) return false;
  } else {
    early_.clear();
    DrainOwed();
    if (login_.tls != FtpTls::None || !features_.epsv || !quickListings_ || quickPaused_ || sockets_.size() != 1) {
      ahead_.clear();
      return false;
    }
    std::vector<std::string> commands = {std::string(command) + " " + path};
    owed_ = {path};
    for (const std::string& next : ahead_)
      if (next != path && Safe(next) && MlsdTakesPath(next) && commands.size() < ListingsTogether()) {
        commands.push_back(std::string(command) + " " + next);
        owed_.push_back(next);
      }
    ahead_.clear();
    error_.clear();
    batched_ = commands.size() > 1;
    if (!SendQuickListings(sockets_.front(), commands, timeouts_.replySeconds, QuickTrace())) {
      r.error = std::string("the command could not be sent (") + std::strerror(errno) + ")";
      CutQuick();
    } else if (!ReadOwed(r, body)) {
      return false;
    }
  }
  handled = true;
  replies_ = r.replies;
  lost_ = false;
  switch (r.end) {
    case QuickListingEnd::Done: return true;
    case QuickListingEnd::EpsvRefused:
      quickListings_ = false;
      handled = false;
      return false;
    case QuickListingEnd::Refused: return Fail("Could not list " + path + ": " + r.error);
    case QuickListingEnd::Broken: break;
  }
  Fail("Could not list " + path + ": " + r.error);
  lost_ = true;
  return false;
}

void CurlFtpConnection::ListAhead(const std::vector<std::string>& paths) { ahead_ = paths; }

size_t CurlFtpConnection::ListingsTogether() const {
  const bool quick = login_.tls == FtpTls::None && features_.epsv && features_.mlsd && quickListings_;
  const bool inTurn = !login_.answersOutOfTurn || !login_.answersOutOfTurn->load();
  return quick && quickTogether_ && inTurn ? 4 : 1;
}

std::function<void(bool, const std::string&)> CurlFtpConnection::QuickTrace() {
  // TWINBAY_FTP_TRACE=1 shows these exchanges too.
  static const bool trace = std::getenv("TWINBAY_FTP_TRACE") != nullptr;
  if (!trace) return {};
  return [](bool out, const std::string& line) { std::fprintf(stderr, "%s %s\n", out ? ">" : "<", line.c_str()); };
}

// Reads the listing of the first folder owed; false when the connection was
// no longer there to read it (nothing was read: libcurl lists instead).
bool CurlFtpConnection::ReadOwed(QuickListingResult& r, std::string& body) {
  if (owed_.empty() || sockets_.size() != 1) {
    CutQuick();
    return false;
  }
  owed_.pop_front();
  QuickListingLimits limits;
  limits.connectSeconds = timeouts_.connectSeconds;
  limits.replySeconds = timeouts_.replySeconds;
  limits.stalledSeconds = timeouts_.stalledTransferSeconds;
  limits.maxBytes = kMaxListingBytes;
  limits.cancel = cancelFlag_;
  limits.abort = abortFlag_;
  r = ReadQuickListing(sockets_.front(), body, carry_, limits, QuickTrace());
  replyCount_ += r.finalReplies;
  refusedCount_ += r.refusals;
  if (r.outOfTurn && login_.answersOutOfTurn) login_.answersOutOfTurn->store(true);
  if (r.end == QuickListingEnd::Broken) CutQuick();
  return true;
}

// Reads every listing still owed, keeping them for when they are asked for,
// so that the control connection is in step before libcurl uses it.
void CurlFtpConnection::DrainOwed() {
  while (!owed_.empty()) {
    const std::string path = owed_.front();
    QuickListingResult r;
    std::string body;
    if (!ReadOwed(r, body)) break;
    if (r.end == QuickListingEnd::EpsvRefused) quickListings_ = false;
    if (r.end == QuickListingEnd::Done || r.end == QuickListingEnd::Refused)
      early_[path] = {std::move(r), std::move(body)};
  }
}

// The control connection is out of step: it is cut (libcurl then makes a
// new one for its next command) and nothing owed or read ahead is kept.
void CurlFtpConnection::CutQuick() {
  if (sockets_.size() == 1) shutdown(sockets_.front(), SHUT_RDWR);
  // A batch that broke: this server may not keep commands for after a
  // listing, so each listing goes alone from now on.
  if (batched_) quickTogether_ = false;
  quickPaused_ = true;
  owed_.clear();
  early_.clear();
  carry_.clear();
}

// Whether the listing's final reply, a success code, says that the folder
// could not be read (vsftpd); the failure is then recorded.
bool CurlFtpConnection::ReadFailed(const std::string& path) {
  for (const std::string& r : replies_) {
    if (r.rfind("226", 0) != 0) continue;
    std::string lower = r;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (lower.find("failed to open") != std::string::npos)
      return !Fail("The server could not read the folder " + path + " (" + r + ")");
  }
  return false;
}

// LIST with hidden entries ("LIST -a") where the server takes it, found out
// once per connection without a refused command where possible: a listing
// that shows anything settles it; when "-a" is refused or taken as a name
// (an empty or failed listing), a plain LIST is tried and, when that shows
// entries, used from then on.
bool CurlFtpConnection::ListWithHidden(const std::string& path, std::string& body, bool& cut) {
  if (listHidden_ != Hidden::No) {
    const bool ok = RunListing(path, "LIST -a", body, cut);
    if (ok && HasListLines(body)) {
      listHidden_ = Hidden::Yes;
      return true;
    }
    if (listHidden_ == Hidden::Yes) return ok;  // settled before: an empty folder, or a real failure
    const std::string firstError = error_;
    if (!RunListing(path, "LIST", body, cut)) {
      error_ = firstError;
      return false;
    }
    if (HasListLines(body) || !ok) listHidden_ = Hidden::No;
    return true;
  }
  return RunListing(path, "LIST", body, cut);
}

// Entries read whole whose names cannot be sent safely (a line break, byte
// 0xFF...) are left out alone: each is told, and named as there (so never
// read as deleted), and the rest of the folder is listed whole. They leave
// `parsed.unsafe`.
void CurlFtpConnection::LeaveOut(const std::string& path, ListingParse& parsed) {
  std::erase_if(parsed.unsafe, [&](const std::string& name) {
    if (IsSafeRemoteName(name)) return false;
    skipped_.push_back(Join(Trimmed(path), EscapeListingText(name)) +
                       ": a name that cannot be used here (empty, or holding \"/\", a control byte such as a tab "
                       "or a line break, or byte 0xFF); skipped");
    leftOut_.push_back(name);
    return true;
  });
}

// A listing with lines that could not be read or entries that are neither a
// file, a folder nor a link: the folder is listed in part. Each such entry is
// told; the first line that could not be read is the reason. Always false.
bool CurlFtpConnection::ReportPartial(const std::string& path, const ListingParse& parsed) {
  for (const std::string& name : parsed.unsafe)
    skipped_.push_back(Join(Trimmed(path), EscapeListingText(name)) + ": neither a file, a folder nor a link; skipped");
  listedInPart_ = true;
  if (parsed.unreadable > 0)
    return Fail("the listing of " + path + " holds " + std::to_string(parsed.unreadable) + " line" +
                (parsed.unreadable == 1 ? "" : "s") + " that could not be read, the first: \"" +
                EscapeListingText(parsed.firstUnreadable) + "\"");
  return Fail("the listing of " + path + " holds " + std::to_string(parsed.unsafe.size()) + " entr" +
              (parsed.unsafe.size() == 1 ? "y" : "ies") + " that cannot be synchronized, the first: \"" +
              EscapeListingText(parsed.unsafe.front()) + "\"");
}

bool CurlFtpConnection::HasListLines(const std::string& body) {
  return body.find_first_not_of(" \r\n") != std::string::npos;
}

// A folder the server lists only in part: pure-ftpd sorts a LIST by name
// before it cuts it, so the first entries ("LIST -a") and the last ones
// ("LIST -ar") together are the whole folder when they overlap. Where they
// do not, the folder cannot be had whole. (Listing by name prefix does not
// help there: the server refuses to expand a wildcard in such a folder.)
bool CurlFtpConnection::ListInParts(const std::string& path, int64_t now, ScanList& out, ListingParse& parsed) {
  const std::string reply = cutReply_;
  std::string forward, backward;
  bool cut1 = false, cut2 = false;
  ScanList first, last;
  if (RunListing(path, "LIST -a", forward, cut1)) parsed = ParseListing(forward, ListingFormat::List, now, first);
  else return Fail("The server cut the listing of " + path + " short (" + reply + ") and it could not be read in parts: " + error_);
  if (cut1) {
    if (!RunListing(path, "LIST -ar", backward, cut2))
      return Fail("The server cut the listing of " + path + " short (" + reply +
                  ") and it could not be read in parts: " + error_);
    const ListingParse back = ParseListing(backward, ListingFormat::List, now, last);
    if (parsed.unreadable == 0) parsed.firstUnreadable = back.firstUnreadable;
    parsed.unreadable += back.unreadable;
    for (const std::string& n : back.unsafe)
      if (std::find(parsed.unsafe.begin(), parsed.unsafe.end(), n) == parsed.unsafe.end()) parsed.unsafe.push_back(n);
    std::unordered_map<std::string, size_t> seen;
    for (size_t i = 0; i < first.size(); ++i) seen.emplace(first[i].name, i);
    bool overlap = !cut2;
    for (const FindData& f : last)
      if (seen.count(f.name)) overlap = true;
    // The halves only make the whole when the server really sorted them:
    // one by name up, the other down (a server that ignores "-r" would
    // give the same first part twice).
    auto byName = [](const FindData& a, const FindData& b) { return a.name < b.name; };
    const bool sorted = std::is_sorted(first.begin(), first.end(), byName) &&
                        std::is_sorted(last.rbegin(), last.rend(), byName) &&
                        (last.empty() || first.empty() || !(first.back().name < last.back().name));
    if (!overlap || !sorted)
      return Fail("The server cut the listing of " + path + " short (" + reply +
                  "): the folder holds more entries than it will list");
    for (FindData& f : last)
      if (!seen.count(f.name)) {
        seen.emplace(f.name, first.size());
        first.push_back(std::move(f));
      }
  }
  if (features_.mlsd) {
    // Keep the exact MLSD details where the cut MLSD listing had them.
    ShiftListTimes(path, first);
    std::unordered_map<std::string, const FindData*> exact;
    for (const FindData& f : out) exact.emplace(f.name, &f);
    for (FindData& f : first) {
      auto it = exact.find(f.name);
      if (it != exact.end()) f = *it->second;
    }
  }
  out = std::move(first);
  return true;
}

// The raw listing of a folder (MLSD when offered, else LIST), or with a
// name, the LIST of that one entry of it (which shows a file whose name
// begins with a dot, as a plain LIST of the folder may not).
bool CurlFtpConnection::ListRaw(const std::string& path, std::string& body, const std::string& name) {
  body.clear();
  Prepare(FolderUrl(path), true);
  const std::string command = "LIST " + name;
  if (!name.empty()) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, command.c_str());
  else if (features_.mlsd) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "MLSD");
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::CollectBody);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
  return Perform("list " + path) && !ReadFailed(path);
}

}  // namespace twinbay
