// Saving the connections file when another program may have changed it: the
// lock every save holds, and the merge of this program's changes, field by
// field, into the file as it now stands.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "core/connections.h"

namespace twinbay {
namespace {

using C = CConnectionProperties;

// The fields the file (and the settings file beside it) keeps, each merged
// on its own. The format marker is not among them: every save writes this
// version's.
std::string C::*const kTexts[] = {&C::description, &C::host,      &C::remotePath, &C::userName,
                                  &C::password,    &C::localPath, &C::fileTypes,  &C::pinnedFingerprint,
                                  &C::keyFile,     &C::hostKey,    &C::exclude,    &C::backupDir,
                                  &C::settingsOther};
int32_t C::*const kWords[] = {&C::anonymous, &C::includeSubFolders, &C::tlsMode,   &C::port,
                              &C::protocol,  &C::reserved16,        &C::reserved17};

// Whether `now` changed a field since `before` (`into`, when given, takes
// the changed fields). A password typed at a prompt for this run only is no
// change: the file keeps the stored one.
bool Changes(const C& now, const C& before, C* into = nullptr) {
  bool any = false;
  for (auto f : kTexts) {
    if ((f == &C::password && !now.passwordStored) || now.*f == before.*f) continue;
    any = true;
    if (into) into->*f = now.*f;
  }
  for (auto f : kWords) {
    if (now.*f == before.*f) continue;
    any = true;
    if (into) into->*f = now.*f;
  }
  return any;
}

bool SameFields(const C& a, const C& b) {
  for (auto f : kTexts)
    if (a.*f != b.*f) return false;
  for (auto f : kWords)
    if (a.*f != b.*f) return false;
  return true;
}

}  // namespace

ConnectionsFileLock::~ConnectionsFileLock() {
  if (fd_ >= 0) close(fd_);  // lets the lock go
}

bool ConnectionsFileLock::Take(const std::string& connectionsFile, std::string& error, int waitMs) {
  const std::string file = connectionsFile + ".lock";
  fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd_ < 0) {
    error = "cannot lock the connections (" + file + "): " + std::strerror(errno);
    return false;
  }
  fchmod(fd_, 0600);
  // Never blocking for good: a holder that hangs makes this save fail.
  for (int waited = 0;; waited += 20) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (waited >= waitMs) {
      errno = EWOULDBLOCK;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = errno == EWOULDBLOCK ? "another program is saving the connections (" + file + " stays locked)"
                               : "cannot lock the connections (" + file + "): " + std::strerror(errno);
  close(fd_);
  fd_ = -1;
  return false;
}

void ConnectionsList::KnowAsLoaded() {
  known_.clear();
  for (const auto& r : records_) known_.push_back({r.get(), *r});
}

ConnectionsList::RecordList ConnectionsList::Merge(RecordList file, std::vector<long>& at) const {
  // Each record this program knew is found in the file: the same fields
  // first (unchanged by the other), then the same name.
  const size_t inFile = file.size();
  std::unordered_multimap<std::string, size_t> byName;
  for (size_t j = 0; j < inFile; ++j) byName.emplace(file[j]->description, j);
  std::vector<long> match(known_.size(), -1);
  std::vector<bool> claimed(inFile, false);
  for (const bool same : {true, false})
    for (size_t k = 0; k < known_.size(); ++k) {
      auto [it, end] = byName.equal_range(known_[k].as.description);
      for (; match[k] < 0 && it != end; ++it)
        if (!claimed[it->second] && (!same || SameFields(known_[k].as, *file[it->second])))
          match[k] = static_cast<long>(it->second), claimed[it->second] = true;
    }
  std::unordered_map<const C*, size_t> live;
  for (size_t i = 0; i < records_.size(); ++i) live.emplace(records_[i].get(), i);
  at.assign(records_.size(), -1);
  std::vector<bool> known(records_.size(), false), drop(inFile, false);
  for (size_t k = 0; k < known_.size(); ++k) {
    const auto found = known_[k].record ? live.find(known_[k].record) : live.end();
    if (found == live.end()) {  // removed here: it goes, whatever the other changed in it
      if (match[k] >= 0) drop[match[k]] = true;
      continue;
    }
    const size_t i = found->second;
    known[i] = true;
    if (match[k] >= 0) {
      Changes(*records_[i], known_[k].as, file[match[k]].get());
      at[i] = match[k];
    } else if (Changes(*records_[i], known_[k].as)) {
      // Removed by the other program, changed here: the change is not lost.
      at[i] = static_cast<long>(file.size());
      file.push_back(std::make_unique<C>(*records_[i]));
    }
  }
  for (size_t i = 0; i < records_.size(); ++i) {
    if (known[i]) continue;  // added here
    at[i] = static_cast<long>(file.size());
    file.push_back(std::make_unique<C>(*records_[i]));
  }
  RecordList merged;
  std::vector<long> moved(file.size(), -1);
  for (size_t j = 0; j < file.size(); ++j) {
    if (j < inFile && drop[j]) continue;
    moved[j] = static_cast<long>(merged.size());
    merged.push_back(std::move(file[j]));
  }
  for (long& a : at)
    if (a >= 0) a = moved[a];
  return merged;
}

void ConnectionsList::TakeOver(const RecordList& merged, const std::vector<long>& at) {
  std::vector<Known> known;
  std::vector<bool> taken(merged.size(), false);
  for (size_t i = 0; i < at.size(); ++i) {
    C& r = *records_[i];
    if (at[i] < 0) {
      // Gone from the file and unchanged here: known as before, so that a
      // later save does not bring it back.
      for (const Known& k : known_)
        if (k.record == &r) known.push_back(k);
      continue;
    }
    const C& m = *merged[at[i]];
    taken[at[i]] = true;
    for (auto f : kTexts) r.*f = m.*f;
    for (auto f : kWords) r.*f = m.*f;
    // The file's password (a prompted one was written empty); the session
    // keeps a prompted one apart.
    r.passwordStored = 1;
    r.formatMarker = m.formatMarker;
    known.push_back({&r, m});
  }
  for (size_t j = 0; j < merged.size(); ++j) {
    if (taken[j]) continue;  // the other program's
    records_.push_back(std::make_unique<C>(*merged[j]));
    known.push_back({records_.back().get(), *merged[j]});
  }
  known_ = std::move(known);
}

}  // namespace twinbay
