// Listing local folders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/find_data.h"

namespace twinbay {

// True for a path the program may scan or write under: absolute ("/..."). An
// empty or relative path would silently mean the process's working folder.
bool IsUsableLocalPath(const std::string& path);

// Lists one local folder: every regular file and every folder (symbolic links
// are followed to find out which; anything else, such as FIFOs, sockets and
// devices, is left out, and so is a dangling link). Returns false, with out
// empty, when the folder cannot be read or the path is not usable.
bool ListLocalFolder(const std::string& folderPath, ScanList& out);
// The same, telling why a folder could not be read: 0 when it was listed,
// else the errno value (ENOENT for a folder that does not exist, EINVAL for a
// path that is not usable).
int ReadLocalFolder(const std::string& folderPath, ScanList& out, std::vector<std::string>* leftOut = nullptr);

// Appends the entries of a local folder that match the pattern and are of the
// wanted kind; a folder that cannot be read adds nothing.
void ScanLocalFolder(bool wantFolders, ScanList& list, const std::string& folderPath, const std::string& pattern);

// Reads the find data of one local file; false when it does not exist.
bool StatLocalFile(const std::string& path, FindData& out);

// The identity of a folder on disk (device and inode), to notice a folder that
// is reached again through a link while it is already being walked.
struct FolderId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FolderId&) const = default;
};
bool LocalFolderId(const std::string& path, FolderId& id);

// folder + "/" (when folder is not empty and does not end in one) + name.
std::string JoinLocalPath(const std::string& folder, const std::string& name);

}  // namespace twinbay
