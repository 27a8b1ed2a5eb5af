// What one line of a directory listing turned out to be. Every listing
// parser says one of these for each line, so that a line it could not read
// is never mistaken for a line that holds no entry.
#pragma once

namespace twinbay {

enum class LineKind {
  Entry,       // an entry, filled in
  NotEntry,    // a line that holds no entry: blank, "total N", a header or a trailer the format is known to have
  Unreadable,  // a line that may hold an entry but could not be read whole: its folder is incomplete
  UnsafeName,  // an entry whose name cannot be used here (left out alone, told) or of another kind (folder incomplete)
  Continued,   // the first part of an entry that goes on in the next line (VMS); the next line completes it
};

}  // namespace twinbay
