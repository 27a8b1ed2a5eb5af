#include "fs/local_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fs/patterns.h"

namespace twinbay {
namespace {

constexpr uint32_t kAttrReadOnly = 0x01;

bool FillFromStat(const struct stat& st, const char* name, FindData& fd) {
  if (S_ISDIR(st.st_mode)) {
    fd.attributes = kAttrDirectory;
    fd.size = 0;
    // The folder's identity on the disk, so that a walk notices a folder it
    // reaches again through a link (as MLSD's "unique" does on a server).
    fd.unique = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  } else if (S_ISREG(st.st_mode)) {
    fd.attributes = (st.st_mode & S_IWUSR) ? 0 : kAttrReadOnly;
    fd.size = static_cast<uint64_t>(st.st_size);
  } else {
    return false;
  }
  fd.lastWrite = TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  fd.precision = TimePrecision::Seconds;
  fd.mode = static_cast<uint16_t>(st.st_mode & 07777);
  fd.name = name;
  return true;
}

}  // namespace

bool IsUsableLocalPath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool ListLocalFolder(const std::string& folderPath, ScanList& out) { return ReadLocalFolder(folderPath, out) == 0; }

int ReadLocalFolder(const std::string& folderPath, ScanList& out, std::vector<std::string>* leftOut) {
  out.clear();
  if (leftOut) leftOut->clear();
  if (!IsUsableLocalPath(folderPath)) return EINVAL;
  DIR* dir = opendir(folderPath.c_str());
  if (!dir) return errno != 0 ? errno : EIO;
  const int fd = dirfd(dir);
  int readError = 0;
  for (;;) {
    errno = 0;
    const dirent* de = readdir(dir);
    if (!de) {
      readError = errno;  // 0 at the real end of the folder
      break;
    }
    const char* name = de->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    // Only regular files, folders and links can matter; skip the rest without
    // a stat when the file system tells the type.
    if (de->d_type != DT_UNKNOWN && de->d_type != DT_REG && de->d_type != DT_DIR && de->d_type != DT_LNK) {
      if (leftOut) leftOut->push_back(name);
      continue;
    }
    struct stat st;
    if (fstatat(fd, name, &st, 0) != 0) {
      // Vanished, or a dangling or looping link (a link into an unmounted
      // disk, say): the latter is there, only not to be read.
      if (errno == ENOENT || errno == ELOOP) {
        if (leftOut && (errno == ELOOP || de->d_type == DT_LNK || de->d_type == DT_UNKNOWN)) leftOut->push_back(name);
        continue;
      }
      readError = errno;  // say, a folder that can be read but not entered
      break;
    }
    FindData data;
    if (FillFromStat(st, name, data)) {
      // What a link leads to is listed, marked as reached through a link.
      struct stat own;
      data.link = de->d_type == DT_LNK ||
                  (de->d_type == DT_UNKNOWN && fstatat(fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode));
      out.push_back(std::move(data));
    } else if (leftOut) {
      leftOut->push_back(name);
    }
  }
  closedir(dir);
  if (readError != 0) out.clear();
  return readError;
}

void ScanLocalFolder(bool wantFolders, ScanList& list, const std::string& folderPath, const std::string& pattern) {
  ScanList all;
  if (!ListLocalFolder(folderPath, all)) return;
  SelectMatching(all, wantFolders, pattern, list);
}

bool StatLocalFile(const std::string& path, FindData& out) {
  if (!IsUsableLocalPath(path)) return false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  const size_t slash = path.find_last_of('/');
  return FillFromStat(st, path.c_str() + slash + 1, out);
}

bool LocalFolderId(const std::string& path, FolderId& id) {
  struct stat st;
  if (!IsUsableLocalPath(path) || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

std::string JoinLocalPath(const std::string& folder, const std::string& name) {
  std::string p = folder;
  if (!p.empty() && p.back() != '/') p += '/';
  return p + name;
}

}  // namespace twinbay
