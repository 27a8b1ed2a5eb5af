// The FTP client over libcurl: what the symbolic links in a listing lead to.

#include "net/curl_ftp_impl.h"

namespace twinbay {

// Finds out once what each symbolic link leads to; the server follows links
// for CWD, SIZE and MDTM on the link's own path. A link to a folder becomes
// that folder (its target's real path kept, so that a link back up the tree
// is not walked); a link to a file becomes that file with the target's size
// and time; a link that leads nowhere is left out and told once.
void CurlFtpConnection::ResolveLinks(const std::string& folder, ScanList& entries) {
  bool changedFolder = false;
  const uint64_t refusedBefore = refusedCount_;
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    FindData& e = entries[i];
    if (e.link) {
      std::string path = folder;
      AppendSeparator(path, true);
      path += e.name;
      auto it = links_.find(path);
      if (it == links_.end()) {
        LinkInfo info;
        // CWD and PWD in one go: libcurl may go back to its own folder in
        // between, and the PWD would name that one.
        if (Quote({"CWD " + path, "PWD"})) {
          FolderFromReplies(info.target);
          info.kind = LinkInfo::Folder;
          changedFolder = true;
        } else {
          int64_t ticks = 0;
          uint64_t size = 0;
          const bool haveTime = GetModificationTime(path, ticks);
          const bool haveSize = FileSize(path, size);
          if (haveTime || haveSize) {
            info.kind = LinkInfo::File;
            info.size = size;
            info.ticks = haveTime ? ticks : e.lastWrite;
            info.exactTime = haveTime;
          } else {
            skipped_.push_back(path + ": a symbolic link that leads nowhere; skipped");
          }
        }
        it = links_.emplace(path, info).first;
      }
      const LinkInfo& info = it->second;
      if (info.kind == LinkInfo::Nowhere) {
        leftOut_.push_back(e.name);
        continue;
      }
      if (info.kind == LinkInfo::Folder) {
        e.attributes = kAttrDirectory;
        e.size = 0;
        e.linkTarget = info.target;
      } else {
        e.attributes = 0;
        e.size = info.size;
        e.lastWrite = info.ticks;
        if (info.exactTime) e.precision = TimePrecision::Seconds;
      }
    }
    if (kept != i) entries[kept] = std::move(e);
    ++kept;
  }
  entries.resize(kept);
  // Back to the listed folder, so that the server and libcurl agree on it.
  if (changedFolder) Quote({"CWD " + folder});
  probeRefusals_ += refusedCount_ - refusedBefore;
  refusedCount_ = refusedBefore;
}

bool CurlFtpConnection::FileSize(const std::string& path, uint64_t& size) {
  // Some servers give no SIZE in ASCII mode, which listings leave set.
  if (!Quote({"TYPE I", "SIZE " + path})) return false;
  for (const std::string& r : replies_)
    if (r.rfind("213 ", 0) == 0) {
      size = std::strtoull(r.c_str() + 4, nullptr, 10);
      return true;
    }
  return false;
}

}  // namespace twinbay
