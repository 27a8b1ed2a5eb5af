#include "fs/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace twinbay {
namespace {

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

// Makes a folder of the trash, private; one already there must be a real
// folder of this user (never a link another user could aim elsewhere).
bool TrashFolder(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Why("cannot make the trash folder " + path);
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    error = "the trash folder " + path + " is not a folder of this user";
    return false;
  }
  return true;
}

// Each parent folder of a path made in turn (the home trash's own parents).
bool MakeParents(const std::string& path, std::string& error) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = Why("cannot make " + part);
      return false;
    }
  }
  return true;
}

std::string HomeTrash() {
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') return std::string(x) + "/Trash";
  if (const char* h = std::getenv("HOME"); h && *h == '/') return std::string(h) + "/.local/share/Trash";
  return {};
}

// The top of the mount that holds `path`: the last parent on its device.
std::string TopOf(const std::string& path, dev_t dev) {
  std::string top = path.substr(0, path.rfind('/'));
  while (!top.empty()) {
    const std::string up = top.substr(0, top.rfind('/'));
    struct stat st {};
    if (stat(up.empty() ? "/" : up.c_str(), &st) != 0 || st.st_dev != dev) break;
    top = up;
  }
  return top.empty() ? "/" : top;
}

// The path as a URI path: every byte but the unreserved ones and "/" as %XX.
std::string Escaped(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/-._~", c)) out += static_cast<char>(c);
    else out += '%', out += hex[c >> 4], out += hex[c & 15];
  }
  return out;
}

// "name", then "name.2.ext", "name.3.ext", ... (the extension kept, so the
// file manager still knows the kind of file).
std::string Candidate(const std::string& name, int n) {
  if (n == 1) return name;
  const size_t dot = name.rfind('.');
  const bool ext = dot != std::string::npos && dot > 0;
  return (ext ? name.substr(0, dot) : name) + "." + std::to_string(n) + (ext ? name.substr(dot) : "");
}

}  // namespace

std::string MoveToTrash(const std::string& path, bool link, std::string& error, bool* moved) {
  if (moved) *moved = !link;
  struct stat file {};
  if (lstat(path.c_str(), &file) != 0) {
    error = Why("cannot put " + path + " in the trash");
    return {};
  }
  std::string trash = HomeTrash();
  struct stat home {};
  if (!trash.empty() && MakeParents(trash + "/", error) && stat(trash.c_str(), &home) == 0 &&
      home.st_dev == file.st_dev) {
    // the home trash, on the file's own disk
  } else {
    const std::string top = TopOf(path, file.st_dev);
    trash = (top == "/" ? "" : top) + "/.Trash-" + std::to_string(getuid());
  }
  error.clear();
  if (!TrashFolder(trash, error) || !TrashFolder(trash + "/files", error) || !TrashFolder(trash + "/info", error))
    return {};
  const std::string name = path.substr(path.rfind('/') + 1);
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string text = "[Trash Info]\nPath=" + Escaped(path) + "\nDeletionDate=" + when + "\n";
  for (int n = 1; n < 10000; ++n) {
    const std::string base = Candidate(name, n), info = trash + "/info/" + base + ".trashinfo",
                      target = trash + "/files/" + base;
    // The .trashinfo first and exclusively: it claims the name, so two
    // programs never put files under the same one.
    const int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = Why("cannot write " + info);
      return {};
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int savedErrno = errno;
    if (close(fd) != 0 || !written) {
      errno = written ? errno : savedErrno;
      error = Why("cannot write " + info);
      unlink(info.c_str());
      return {};
    }
    struct stat taken {};
    if (lstat(target.c_str(), &taken) == 0) {  // a file without its .trashinfo holds the name
      unlink(info.c_str());
      continue;
    }
    bool linked = link && ::link(path.c_str(), target.c_str()) == 0;
    if (link && !linked && (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) && moved) link = false, *moved = true;
    if (!linked && (link || rename(path.c_str(), target.c_str()) != 0)) {
      error = Why(std::string("cannot ") + (link ? "link " : "move ") + path + " into the trash " + trash);
      unlink(info.c_str());
      return {};
    }
    return target;
  }
  error = "no free name for " + name + " in the trash " + trash;
  return {};
}

bool TakeBackFromTrash(const std::string& kept, const std::string& path, bool moved) {
  const size_t files = kept.rfind("/files/");
  if (files == std::string::npos) return false;
  const std::string info = kept.substr(0, files) + "/info/" + kept.substr(files + 7) + ".trashinfo";
  if (moved ? rename(kept.c_str(), path.c_str()) != 0 : unlink(kept.c_str()) != 0) return false;
  unlink(info.c_str());
  return true;
}

}  // namespace twinbay
