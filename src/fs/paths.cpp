#include "fs/paths.h"

#include <algorithm>

namespace twinbay {

void NormalizeRemotePath(std::string& path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  CollapseSlashes(path);
}

void CollapseSlashes(std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path)
    if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
  path.swap(out);
}

void AppendSeparator(std::string& path, bool remote) {
  if (!path.empty() && path.back() != '/') path += '/';
  if (remote) CollapseSlashes(path);
}

std::string RemoteFolderKey(const std::string& path) {
  std::string p = path;
  CollapseSlashes(p);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string JoinRemotePath(const std::string& folder, const std::string& name) {
  std::string p = folder;
  AppendSeparator(p, true);
  if (p.empty()) p.push_back('/');
  return p + name;
}

std::string RemoteParent(const std::string& path) {
  const std::string p = RemoteFolderKey(path);
  const size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string PathName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace twinbay
