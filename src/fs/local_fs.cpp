#include "fs/local_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/local_scan.h"
#include "fs/paths.h"

namespace twinbay {
namespace {
constexpr size_t kBlock = 256 * 1024;

bool Interrupted(ssize_t n) { return n < 0 && errno == EINTR; }

// A file to write, made new and private: never written through a link, nor
// into a file already there.
int OpenNew(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }

// A temporary file this program began, opened to add to its end: still a
// regular file of ours (never through a link, nor one with another name
// linked to it), private, and `offset` bytes long; -1 otherwise.
int OpenOwnToAppend(const std::string& path, uint64_t offset) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0600 &&
      st.st_nlink == 1 && static_cast<uint64_t>(st.st_size) == offset)
    return fd;
  close(fd);
  errno = EPERM;
  return -1;
}

// What the process's umask leaves of 0666, read once (from /proc: setting
// the umask to read it would race with other threads' creates); 0644 where
// it cannot be read.
uint16_t DefaultFileMode() {
  static const uint16_t mode = [] {
    unsigned mask = 022;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
      char line[128];
      while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
      std::fclose(f);
    }
    return static_cast<uint16_t>(0666 & ~mask);
  }();
  return mode;
}

class LocalReader : public IFsReader {
 public:
  explicit LocalReader(int fd) : fd_(fd) {}
  ~LocalReader() override { close(fd_); }
  long Read(char* buffer, size_t size) override {
    ssize_t n;
    do n = read(fd_, buffer, size);
    while (Interrupted(n));
    return n < 0 ? -1 : static_cast<long>(n);
  }

 private:
  int fd_;
};

class LocalWriter : public IFsWriter {
 public:
  explicit LocalWriter(int fd) : fd_(fd) {}
  ~LocalWriter() override {
    if (fd_ >= 0) close(fd_);
  }
  bool Write(const char* data, size_t size) override {
    while (size > 0 && fd_ >= 0) {
      const ssize_t n = write(fd_, data, size);
      if (Interrupted(n)) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }
  bool Close() override {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && close(fd) == 0;
  }

 private:
  int fd_;
};
}  // namespace

LocalFileSystem::LocalFileSystem(std::string root) : root_(std::move(root)) {
  while (!root_.empty() && root_.back() == '/') root_.pop_back();
}

bool LocalFileSystem::OnDisk(const std::string& path, std::string& out) {
  const std::string p = RemoteFolderKey(path);
  if (root_.empty()) {
    // Rooted at "/": an absolute local path is taken as it is.
    if (!IsUsableLocalPath(p)) {
      error_ = path + ": not a full path";
      return false;
    }
    out = p;
    return true;
  }
  // No component may lead out of the root.
  for (size_t start = 0; start <= p.size();) {
    const size_t end = std::min(p.find('/', start), p.size());
    if (p.compare(start, end - start, "..") == 0 && end - start == 2) {
      error_ = path + ": a path that leaves the folder";
      return false;
    }
    start = end + 1;
  }
  out = p == "/" ? root_ : root_ + (p.empty() || p[0] != '/' ? "/" : "") + p;
  return true;
}

bool LocalFileSystem::Failed(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  return false;
}

FsCapabilities LocalFileSystem::Capabilities() const {
  FsCapabilities caps;
  caps.setTime = caps.rename = caps.sizeQuery = caps.preciseTimes = true;
  caps.atomicReplace = caps.streams = caps.modes = caps.resume = true;
  caps.newFileMode = DefaultFileMode();
  return caps;
}

bool LocalFileSystem::List(const std::string& path, ScanList& out) {
  std::string p;
  leftOut_.clear();
  if (!OnDisk(path, p)) return false;
  const int err = ReadLocalFolder(p, out, &leftOut_);
  if (err == 0) return true;
  error_ = path + ": " + std::strerror(err);
  return false;
}

bool LocalFileSystem::MakeFolder(const std::string& path) {
  std::string p;
  return OnDisk(path, p) && (mkdir(p.c_str(), 0777) == 0 || Failed("cannot make the folder " + path));
}

bool LocalFileSystem::RemoveFolder(const std::string& path) {
  std::string p;
  return OnDisk(path, p) && (rmdir(p.c_str()) == 0 || Failed("cannot remove the folder " + path));
}

bool LocalFileSystem::Remove(const std::string& path) {
  std::string p;
  struct stat st;
  if (!OnDisk(path, p)) return false;
  if (lstat(p.c_str(), &st) != 0) return Failed("cannot remove " + path);
  // A link is removed itself, never what it points to; a folder never.
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    error_ = "cannot remove " + path + ": not a file";
    return false;
  }
  return unlink(p.c_str()) == 0 || Failed("cannot remove " + path);
}

bool LocalFileSystem::Rename(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!OnDisk(from, a) || !OnDisk(to, b)) return false;
  // A file that replaces another keeps the permission bits of the one it
  // replaces (a copy renamed into place changes the content only).
  struct stat old;
  if (lstat(b.c_str(), &old) == 0 && S_ISREG(old.st_mode)) chmod(a.c_str(), old.st_mode & 07777);
  return rename(a.c_str(), b.c_str()) == 0 || Failed("cannot rename " + from + " to " + to);
}

std::unique_ptr<IFsReader> LocalFileSystem::OpenRead(const std::string& path) { return OpenReadFrom(path, 0); }

std::unique_ptr<IFsReader> LocalFileSystem::OpenReadFrom(const std::string& path, uint64_t offset) {
  std::string p;
  if (!OnDisk(path, p)) return nullptr;
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                  lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)) {
    close(fd);
    error_ = path + " is not a regular file";
    return nullptr;
  }
  if (fd < 0) Failed("cannot read " + path);
  return fd < 0 ? nullptr : std::make_unique<LocalReader>(fd);
}

std::unique_ptr<IFsWriter> LocalFileSystem::OpenWrite(const std::string& path) {
  std::string p;
  if (!OnDisk(path, p)) return nullptr;
  const int fd = OpenNew(p);
  if (fd < 0) Failed("cannot write " + path);
  return fd < 0 ? nullptr : std::make_unique<LocalWriter>(fd);
}

std::unique_ptr<IFsWriter> LocalFileSystem::OpenAppend(const std::string& path, uint64_t offset) {
  std::string p;
  if (!OnDisk(path, p)) return nullptr;
  const int fd = OpenOwnToAppend(p, offset);
  if (fd < 0) Failed("cannot continue " + path);
  return fd < 0 ? nullptr : std::make_unique<LocalWriter>(fd);
}

bool LocalFileSystem::Read(const std::string& path, const FsSink& sink) { return ReadFrom(path, 0, sink); }

bool LocalFileSystem::ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) {
  std::string p;
  if (!OnDisk(path, p)) return false;
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failed("cannot read " + path);
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    Failed("cannot read " + path);
    close(fd);
    return false;
  }
  const bool ok = Blocks(
      [&](char* buffer, size_t size) -> long {
        ssize_t n;
        do n = read(fd, buffer, size);
        while (Interrupted(n));
        return n < 0 ? (Failed("cannot read " + path), -1) : static_cast<long>(n);
      },
      [&](const char* data, size_t size) {
        if (sink(data, size)) return true;
        error_ = "the copy of " + path + " was not taken";
        return false;
      });
  close(fd);
  return ok;
}

bool LocalFileSystem::Write(const std::string& path, const FsSource& source, uint64_t size) {
  (void)size;
  std::string p;
  if (!OnDisk(path, p)) return false;
  const int fd = OpenNew(p);
  if (fd < 0) return Failed("cannot write " + path);
  return Fill(fd, path, source);
}

bool LocalFileSystem::Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) {
  (void)size;
  std::string p;
  if (!OnDisk(path, p)) return false;
  const int fd = OpenOwnToAppend(p, offset);
  if (fd < 0) return Failed("cannot continue " + path);
  return Fill(fd, path, source);
}

// Moves blocks from `pull` (a count, 0 at the end, -1 on a failure it gave
// the reason of) to `push` (false on a failure, with the reason) until the
// end, a failure or a stop: the read and the write of a copy.
bool LocalFileSystem::Blocks(const FsSource& pull, const FsSink& push) {
  std::vector<char> buffer(kBlock);
  while (!Cancelled()) {
    const long n = pull(buffer.data(), buffer.size());
    if (n <= 0) return n == 0;
    if (!push(buffer.data(), static_cast<size_t>(n))) return false;
  }
  return false;
}

bool LocalFileSystem::Fill(int fd, const std::string& path, const FsSource& source) {
  bool ok = Blocks(
      [&](char* buffer, size_t size) {
        const long n = source(buffer, size);
        if (n < 0) error_ = "the source of " + path + " could not be read";
        return n;
      },
      [&](const char* data, size_t left) {
        while (left > 0) {
          const ssize_t w = write(fd, data, left);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) return Failed("cannot write " + path);
          data += w, left -= static_cast<size_t>(w);
        }
        return true;
      });
  if (close(fd) != 0 && ok) ok = Failed("cannot write " + path);
  return ok;
}

bool LocalFileSystem::SetMode(const std::string& path, uint32_t mode) {
  std::string p;
  return OnDisk(path, p) && (chmod(p.c_str(), mode & 07777) == 0 || Failed("cannot set the mode of " + path));
}

bool LocalFileSystem::SetTime(const std::string& path, int64_t ticks) {
  std::string p;
  if (!OnDisk(path, p)) return false;
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {static_cast<time_t>(UnixFromTicks(ticks)),
       static_cast<long>((ticks % kTicksPerSecond + kTicksPerSecond) % kTicksPerSecond * 100)}};
  return utimensat(AT_FDCWD, p.c_str(), times, 0) == 0 || Failed("cannot set the time of " + path);
}

bool LocalFileSystem::Stat(const std::string& path, FindData& out) {
  std::string p;
  if (!OnDisk(path, p)) return false;
  if (StatLocalFile(p, out)) return true;
  const int err = errno;
  // A link that leads nowhere (or round in a loop) is there all the same: a
  // copy never takes its place unseen. It shows as itself, a link.
  struct stat st;
  if (lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    out = FindData{};
    out.name = p.substr(p.find_last_of('/') + 1);
    out.size = static_cast<uint64_t>(st.st_size);
    out.lastWrite = TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    out.link = true;
    return true;
  }
  errno = err;
  return Failed("no file " + path);
}

bool LocalFileSystem::Size(const std::string& path, uint64_t& size) {
  FindData fd;
  if (!Stat(path, fd)) return false;
  if (fd.IsDirectory()) {
    error_ = path + " is a folder";
    return false;
  }
  size = fd.size;
  return true;
}

bool LocalFileSystem::Hash(const std::string& path, HashKind kind, std::string& hex) {
  ContentHasher hasher(kind);
  if (!Read(path, [&](const char* data, size_t size) {
        hasher.Add(data, size);
        return true;
      }))
    return false;
  hex = hasher.Hex();
  return true;
}

std::unique_ptr<IFileSystem> LocalFileSystem::OpenAnother() const {
  return std::make_unique<LocalFileSystem>(root_.empty() ? "/" : root_);
}

}  // namespace twinbay
