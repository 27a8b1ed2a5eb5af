// Path helpers. Local paths use "/" as on the disk; remote paths use "/" as
// the separator and are kept in one normal form (no doubled "/"). A path the
// user typed is normalised once (NormalizeRemotePath: "\" is a separator
// there); below it, names come from listings and keep every byte, "\"
// included, so the other helpers never turn "\" into "/".
#pragma once

#include <string>

namespace twinbay {

// Every "\" becomes "/", then every run of "/" becomes one.
void NormalizeRemotePath(std::string& path);
// Every run of "/" becomes one.
void CollapseSlashes(std::string& path);
// Ends a non-empty path with "/" (a remote one with its runs of "/" collapsed).
void AppendSeparator(std::string& path, bool remote);
// A remote folder path in normal form without a trailing "/" (the root stays "/").
std::string RemoteFolderKey(const std::string& path);
// folder + "/" + name in normal form; an empty folder is the root.
std::string JoinRemotePath(const std::string& folder, const std::string& name);
// The folder a remote path is in ("/" for "/a" and for "/"); "" for a path
// without any "/".
std::string RemoteParent(const std::string& path);
// The last component of a path ("b" for "/a/b").
std::string PathName(const std::string& path);

}  // namespace twinbay
