#include "net/ftp_fs.h"

#include "fs/paths.h"
#include "net/listing_parser.h"

namespace twinbay {
namespace {
std::shared_ptr<const CFtpSession> CopyOfLogin(const CFtpSession& session) {
  auto login = std::make_shared<CFtpSession>();
  login->CopyLogin(session);
  return login;
}
}  // namespace

FtpFileSystem::FtpFileSystem(CFtpSession& session) : session_(session), login_(CopyOfLogin(session)) {}

FtpFileSystem::FtpFileSystem(std::unique_ptr<CFtpSession> session, bool helper)
    : own_(std::move(session)), session_(*own_), login_(CopyOfLogin(*own_)), helper_(helper) {}

IFtpConnection* FtpFileSystem::Connection() {
  IFtpConnection* c = session_.GetConnection();
  if (!c) error_ = "not connected";
  else error_.clear();
  // A connection the session made again on its own takes the abort flag too.
  if (c) c->SetAbortFlag(abortFlag_);
  return c;
}

FsCapabilities FtpFileSystem::Capabilities() const {
  FsCapabilities caps;
  caps.rename = true;
  caps.storeNewDirectly = true;
  // MFMT and MDTM take four-digit years; before 1970 servers differ.
  caps.earliestTime = TicksFromUnix(0);
  caps.latestTime = TicksFromUtc(9999, 12, 31, 23, 59, 59);
  if (const IFtpConnection* c = session_.GetConnection()) {
    const FtpFeatures& f = c->Features();
    caps.setTime = f.mfmt || f.mdtm;
    caps.sizeQuery = f.size;
    caps.preciseTimes = f.mlsd;
    // REST STREAM (with SIZE, which libcurl asks first) continues a
    // download; APPE adds to an upload's temporary file.
    caps.resume = f.rest && f.size;
  }
  return caps;
}

bool FtpFileSystem::List(const std::string& path, ScanList& out) {
  out.clear();
  if (helper_ && !session_.Clock().Settled()) {
    error_ = "the server's time offset is not known yet";
    return false;
  }
  IFtpConnection* c = Connection();
  if (!c) return false;
  std::string p = path;
  CollapseSlashes(p);
  if (p.empty() || p[0] != '/') p = ResolveRemotePath(p, c->LoginFolder());
  if (c->ListDirectory(p, out)) return true;
  // What a listing cut short held is kept only where the connection says
  // which part it is.
  if (!c->ListedInPart()) out.clear();
  return false;
}

size_t FtpFileSystem::ListsAtOnce() const {
  const IFtpConnection* c = session_.GetConnection();
  return c ? c->ListingsTogether() : 1;
}

void FtpFileSystem::ListInTurn(const std::vector<std::string>& paths,
                               const std::function<void(size_t, bool, ScanList&)>& listed) {
  IFtpConnection* c = session_.GetConnection();
  const bool ahead = c && paths.size() > 1 && !(helper_ && !session_.Clock().Settled());
  if (ahead) {
    std::vector<std::string> next;
    for (size_t i = 1; i < paths.size(); ++i) {
      std::string p = paths[i];
      CollapseSlashes(p);
      next.push_back(p.empty() || p[0] != '/' ? ResolveRemotePath(p, c->LoginFolder()) : p);
    }
    c->ListAhead(next);
  }
  IFileSystem::ListInTurn(paths, listed);
  // A connection made again meanwhile is another: the hint goes with the one given it.
  if (ahead && session_.GetConnection() == c) c->ListAhead({});
}

std::vector<std::string> FtpFileSystem::TakeSkipped() {
  IFtpConnection* c = session_.GetConnection();
  return c ? c->TakeSkipped() : std::vector<std::string>();
}

bool FtpFileSystem::TakesName(const std::string& name) const { return IsSafeRemoteName(name); }

std::vector<std::string> FtpFileSystem::TakeLeftOut() {
  IFtpConnection* c = session_.GetConnection();
  return c ? c->TakeLeftOut() : std::vector<std::string>();
}
unsigned FtpFileSystem::HashKinds() {
  const IFtpConnection* c = Connection();
  return c ? c->Features().hashKinds | c->Features().xHashKinds : 0;
}

bool FtpFileSystem::Hash(const std::string& path, HashKind kind, std::string& hex) {
  IFtpConnection* c = Connection();
  if (!c) return false;
  if (c->GetHash(path, kind, hex)) return true;
  error_ = c->LastError();
  return false;
}

bool FtpFileSystem::MakeFolder(const std::string& path) {
  IFtpConnection* c = Connection();
  return c && c->CreateDirectory(path);
}
bool FtpFileSystem::RemoveFolder(const std::string& path) {
  IFtpConnection* c = Connection();
  return c && c->RemoveDirectory(path);
}

bool FtpFileSystem::Remove(const std::string& path) {
  IFtpConnection* c = Connection();
  return c && c->Remove(path);
}
bool FtpFileSystem::Rename(const std::string& from, const std::string& to) {
  IFtpConnection* c = Connection();
  return c && c->Rename(from, to);
}
bool FtpFileSystem::Read(const std::string& path, const FsSink& sink) {
  IFtpConnection* c = Connection();
  return c && c->Retrieve(path, sink);
}
bool FtpFileSystem::Write(const std::string& path, const FsSource& source, uint64_t size) {
  IFtpConnection* c = Connection();
  return c && c->Store(path, source, size);
}
bool FtpFileSystem::ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) {
  IFtpConnection* c = Connection();
  return c && c->RetrieveFrom(path, offset, sink);
}
bool FtpFileSystem::Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) {
  (void)offset;  // APPE adds at the server's end of the file: the copy checks the length after
  IFtpConnection* c = Connection();
  return c && c->Append(path, source, size);
}
bool FtpFileSystem::SetTime(const std::string& path, int64_t ticks) {
  if (!Capabilities().HoldsTime(ticks)) {
    error_ = "the time " + FormatUtc(ticks) + " is outside what FTP carries (1970 to 9999)";
    return false;
  }
  IFtpConnection* c = Connection();
  return c && c->SetModificationTime(path, ticks);
}
bool FtpFileSystem::Stat(const std::string& path, FindData& out) {
  IFtpConnection* c = Connection();
  return c && c->StatFile(path, out);
}
bool FtpFileSystem::Size(const std::string& path, uint64_t& size) {
  IFtpConnection* c = Connection();
  return c && c->GetSize(path, size);
}

std::string FtpFileSystem::LastError() const {
  if (!error_.empty()) return error_;
  const IFtpConnection* c = session_.GetConnection();
  return c ? c->LastError() : session_.LastError();
}

void FtpFileSystem::SetAbortFlag(const std::atomic<bool>* flag) {
  abortFlag_ = flag;
  if (IFtpConnection* c = session_.GetConnection()) c->SetAbortFlag(flag);
}

bool FtpFileSystem::LostConnection() const {
  const IFtpConnection* c = session_.GetConnection();
  return !c || c->LostConnection();
}

bool FtpFileSystem::Reconnect() {
  const bool ok = session_.Reconnect();
  if (IFtpConnection* c = session_.GetConnection()) c->SetAbortFlag(abortFlag_);
  error_ = ok ? std::string() : session_.LastError();
  return ok;
}

bool FtpFileSystem::EnsureConnected() {
  const bool ok = session_.EnsureConnected();
  if (IFtpConnection* c = session_.GetConnection()) c->SetAbortFlag(abortFlag_);
  error_ = ok ? std::string() : session_.LastError();
  return ok;
}

std::unique_ptr<IFileSystem> FtpFileSystem::OpenAnother() const {
  auto s = std::make_unique<CFtpSession>();
  s->CopyLogin(*login_);
  if (!s->Reconnect()) return nullptr;
  return std::make_unique<FtpFileSystem>(std::move(s), true);
}

}  // namespace twinbay
