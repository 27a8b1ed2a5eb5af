// The controller's remote side and the work done on it on the session thread:
// opening it from a record or a target, making sure of its connection,
// deleting, browsing, logging out.
#include <system_error>

#include "core/connect_policy.h"
#include "core/controller.h"
#include "net/curl_ftp.h"
#include "net/open_fs.h"

namespace twinbay {

void CSyncController::InitNetworking() { InitCurlOnce(); }

// ---- the remote side ---------------------------------------------------------------

std::string CSyncController::FormerPlaceOf(const FileSystemTarget& target) {
  return target.protocol == FsProtocol::Local
             ? "file://" + target.localRoot
             : std::string(target.protocol == FsProtocol::Sftp ? "sftp://" : "ftp://") +
                   (target.user.empty() ? std::string() : target.user + "@") + target.host + ":" +
                   std::to_string(target.port);
}

std::string CSyncController::PlaceOf(const FileSystemTarget& target) {
  if (target.protocol == FsProtocol::Local) return FormerPlaceOf(target);
  FileSystemTarget t;
  t.protocol = target.protocol;
  t.port = target.port;
  t.user = target.user.empty() && target.protocol != FsProtocol::Sftp ? "anonymous" : target.user;
  for (char c : target.host) t.host += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return FormerPlaceOf(t);
}

bool CSyncController::Open(const FileSystemTarget& target, const ServerTimeOffset& offset, OpenFailure& failure) {
  // The old connections go before the new one is tried (the pool's first,
  // over which the others were opened, last).
  ResetConnections();
  {
    std::lock_guard g(primaryMutex_);
    primary_.reset();
    session_ = nullptr;
  }
  opened_ = encrypted_ = false;
  host_ = target.host;
  loginFolder_ = "/";
  localRemoteRoot_.clear();
  std::unique_ptr<IFileSystem> fs = OpenFileSystem(target, &cancel_, failure, offset);
  if (!fs) return false;
  fs->SetAbortFlag(nullptr);
  IRemoteSession* session = fs->Session();
  if (session) {
    host_ = session->Host();
    loginFolder_ = session->LoginFolder();
    encrypted_ = session->Encrypted();
  }
  if (target.protocol == FsProtocol::Local) localRemoteRoot_ = target.localRoot;
  place_ = PlaceOf(target);
  formerPlace_ = FormerPlaceOf(target);
  opened_ = true;
  std::lock_guard g(primaryMutex_);
  primary_ = std::move(fs);
  session_ = session;
  return true;
}

bool CSyncController::Connect(const FileSystemTarget& target, OpenFailure& failure, const ServerTimeOffset& offset) {
  cancel_.store(false);
  return Open(target, offset, failure);
}

bool CSyncController::EnsureConnected(std::string& error) {
  cancel_.store(false);
  if (PrimaryUp()) return true;
  error = primary_ ? primary_->LastError() : "Not connected.";
  return false;
}

bool CSyncController::PrimaryUp() {
  // A local folder standing in for the server has no login to repair.
  return primary_ && (session_ ? session_->EnsureConnected() : !primary_->LostConnection() || primary_->Reconnect());
}

std::string CSyncController::TakeClockProbeReport() {
  std::lock_guard g(primaryMutex_);
  return session_ ? session_->TakeClockProbeReport() : std::string();
}

std::string CSyncController::TakeClockNotice() {
  std::lock_guard g(primaryMutex_);
  return session_ ? session_->TakeClockNotice() : std::string();
}

std::string CSyncController::ClockNotice() const {
  std::lock_guard g(primaryMutex_);
  return session_ ? session_->ClockNotice() : std::string();
}

// ---- session work ---------------------------------------------------------------

bool CSyncController::StartSessionWork(SessionWork work, std::function<void(SessionOutcome&)> run,
                                       ISessionListener* listener) {
  if (sessionRunning_.load()) return false;
  WaitForSession();  // the last one has told its outcome: it is ending
  sessionRunning_.store(true);
  cancel_.store(false);
  try {
    sessionThread_ = std::thread([this, work, run = std::move(run), listener] {
      SessionOutcome outcome;
      outcome.work = work;
      // Cancel ends what the work waits for, also a copy (SFTP).
      if (primary_) primary_->SetAbortFlag(&cancel_);
      run(outcome);
      outcome.cancelled = cancel_.load();
      if (primary_) {
        primary_->SetAbortFlag(nullptr);
        // A command ended half-way leaves the connection in no known state.
        if (outcome.cancelled && session_) session_->Disconnect();
      }
      sessionRunning_.store(false);
      if (listener) listener->SessionWorkDone(outcome);
    });
  } catch (const std::system_error&) {
    sessionRunning_.store(false);
    return false;
  }
  return true;
}

void CSyncController::WaitForSession() {
  if (sessionThread_.joinable()) sessionThread_.join();
}

bool CSyncController::StartConnect(const CConnectionProperties& record, const std::string& promptedPassword,
                                   ISessionListener* listener) {
  FileSystemTarget target;
  std::string problem;
  const bool usable = RecordTarget(record, promptedPassword, target, problem);
  const ServerTimeOffset offset = GetServerOffset(record);
  return StartSessionWork(
      SessionWork::Connect,
      [this, usable, target, problem, offset](SessionOutcome& o) {
        if (!usable) {
          o.failure = {OpenFailureKind::Other, {}, problem};
        } else {
          o.ok = Open(target, offset, o.failure);
        }
        o.error = o.failure.message;
      },
      listener);
}

bool CSyncController::StartConnect(const FileSystemTarget& target, const ServerTimeOffset& offset,
                                   ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Connect,
      [this, target, offset](SessionOutcome& o) {
        o.ok = Open(target, offset, o.failure);
        o.error = o.failure.message;
      },
      listener);
}

bool CSyncController::StartCheck(ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Check,
      [this](SessionOutcome& o) {
        o.ok = PrimaryUp();
        if (!o.ok) o.error = primary_ ? primary_->LastError() : "Not connected.";
      },
      listener);
}

bool CSyncController::StartDelete(CFolderRecord& record, std::vector<CFileEntry*> entries, bool local, bool remote,
                                  bool ignoreSeconds, ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Delete,
      [this, &record, entries = std::move(entries), local, remote, ignoreSeconds](SessionOutcome& o) {
        // One entry at a time, so that a cancel stops before the next.
        for (CFileEntry* e : entries) {
          if (cancel_.load()) {
            ++o.counts.failed;
            continue;
          }
          const DeleteCounts c = DeleteEntries(collection_, record, {e}, local, remote, local_.get(), Primary(), ignoreSeconds,
                                                nullptr, state_.get());
          o.counts.localDeleted += c.localDeleted;
          o.counts.remoteDeleted += c.remoteDeleted;
          o.counts.failed += c.failed;
        }
        o.ok = o.counts.failed == 0;
      },
      listener);
}

bool CSyncController::StartDisconnect(ISessionListener* listener) {
  return StartSessionWork(SessionWork::Disconnect,
                          [this](SessionOutcome& o) {
                            ResetConnections();
                            if (session_) session_->Disconnect();
                            o.ok = true;
                          },
                          listener);
}

bool CSyncController::StartBrowse(const std::string& path, ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Browse,
      [this, path](SessionOutcome& o) {
        o.path = path;
        ScanList list;
        if (!primary_) {
          o.error = "Not connected.";
        } else if (!primary_->List(path, list)) {
          // A folder listed in part is not shown as if it were whole.
          o.error = primary_->LastError();
          if (o.error.empty()) o.error = "The server refused the listing.";
        } else {
          for (const FindData& f : list)
            if (f.IsDirectory() && f.name != "." && f.name != "..") o.folders.push_back(f.name);
          o.ok = true;
        }
        if (primary_) primary_->TakeSkipped();
      },
      listener);
}

}  // namespace twinbay
