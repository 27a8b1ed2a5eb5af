// twinbay-cli resolve: settles conflicts as Keep Local / Keep Remote do in the
// window, one named path at a time or every conflict by its times; nothing
// else a compare found is tagged, so the run after it copies or deletes only
// the conflicts settled.

#include <cstdio>
#include <set>
#include <string>

#include "cli/cli.h"
#include "engine/tags.h"

namespace twinbay::cli {

int ChooseConflicts(CFolderCollection& collection, const Options& o, const std::string& local) {
  const std::set<std::string> named(o.paths.begin(), o.paths.end());
  std::set<std::string> seen;
  int unsettled = 0;
  UntagAllFiles(collection);
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    CFolderRecord& r = *collection.GetAt(i);
    for (auto& entry : r.entries) {
      CFileEntry& e = *entry;
      const std::string rel = EntryPath(Relative(local, r.localPath), e);
      const bool isNamed = named.count(rel) || named.count(Visible(rel));
      if (isNamed) seen.insert(named.count(rel) ? rel : Visible(rel));
      if (!isNamed && !(o.keep == "newer" && named.empty())) continue;
      if (e.state != Conflict) {
        if (isNamed) std::fprintf(stderr, "twinbay-cli: %s is not a conflict; left as it is\n", Visible(rel).c_str());
        unsettled += isNamed;
        continue;
      }
      if (r.UnderIncomplete()) {
        std::fprintf(stderr, "twinbay-cli: %s is in a folder not read whole; left as it is\n", Visible(rel).c_str());
        ++unsettled;
        continue;
      }
      bool keepLocal = o.keep == "local";
      if (o.keep == "newer") {
        // A file deleted on one side and changed on the other: the change is
        // the newer act (the deletion's time is not known), and keeping it
        // loses nothing.
        const int order = !e.local || !e.remote ? (e.local ? 1 : -1)
                          : CompareFileTimes(e.local->lastWrite, e.local->precision, e.remote->lastWrite,
                                             e.remote->precision, SidesScope(o.ignoreSeconds));
        if (order == 0) {
          std::fprintf(stderr, "twinbay-cli: %s has the same time on both sides; left as it is\n",
                       Visible(rel).c_str());
          ++unsettled;
          continue;
        }
        keepLocal = order > 0;
      }
      KeepSide(e, keepLocal);
    }
  }
  for (const std::string& p : named)
    if (!seen.count(p)) {
      std::fprintf(stderr, "twinbay-cli: %s is not a conflict (no such file was compared); left as it is\n",
                   Visible(p).c_str());
      ++unsettled;
    }
  return unsettled;
}

}  // namespace twinbay::cli
