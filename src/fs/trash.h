// The desktop's trash (the freedesktop.org layout a file manager restores
// from): a local file a sync deletes or replaces goes there instead of being
// destroyed.
#pragma once

#include <string>

namespace twinbay {

// Puts the local file `path` into the trash of its disk: the home trash
// ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash) when the file is on the
// same device, else $topdir/.Trash-$uid at the top of the file's own mount.
// Its .trashinfo (the original path and the time) is made first, exclusively,
// under a name not yet used there. With `link` the file is hard-linked into
// the trash and stays where it is (a replacement then renames the new
// version over it); a disk that takes no hard links (FAT) moves it instead
// and says so in `moved`. Else it is moved there. Returns the file's path in
// the trash, or "" with `error` (nothing was changed then).
std::string MoveToTrash(const std::string& path, bool link, std::string& error, bool* moved = nullptr);
// Undoes MoveToTrash: the file at `kept` goes back to `path` (when it was
// moved) or its link is dropped, and its .trashinfo goes.
bool TakeBackFromTrash(const std::string& kept, const std::string& path, bool moved);

}  // namespace twinbay
