// The program's pictures, drawn in code so that they scale and need no files:
// folder classes, direction marks, comparison states, tag marks and the
// connection state.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QStringList>

namespace twinbay::icons {

// Folder image by class (0 root, 1 both, 2 local only, 3 remote only) with the
// direction mark (0 none, 1 both ways, 2 up, 3 down) drawn over it.
// Overlay kIncompleteMark instead marks a folder that could not be read whole,
// kConflictMark one holding conflicts.
constexpr int kIncompleteMark = 4;  // the same as the comparer's kIncompleteOverlay
constexpr int kConflictMark = 5;    // and its kConflictOverlay
QIcon Folder(int folderClass, int overlay);
// By compare state: "<" (0), "=" (1), ">" (2), a conflict (4), delete on the
// server (5), delete locally (6).
QIcon State(int state);
// 0 in step, 1 not tagged, 2 tagged.
QIcon TagMark(int mark);
// The connection picture beside the path boxes (Connecting is animated:
// frames 0 to 3).
enum class ConnectionState { NotConnected, Connecting, Connected };
QPixmap Connection(ConnectionState state, int frame = 0);
// The program's own icon (scalable, from the compiled-in resources).
QIcon App();
// The picture of a menu or toolbar command by our name ("compare", "sync",
// "filter-up", ...): the desktop theme's icon where a standard freedesktop name
// fits and the theme has it, else our own scalable picture. Unknown names give
// a null icon.
QIcon Tool(const QString& name);
// Every name Tool() knows, for tests and the screenshot tool.
QStringList ToolNames();

}  // namespace twinbay::icons
