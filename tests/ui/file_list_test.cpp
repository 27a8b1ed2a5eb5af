// The file list's ordering: strict, sizes beyond 2 GiB in order, rows without
// the sorted side together.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui/view/file_list.h"

namespace twinbay {
namespace {

CFileEntry Entry(const char* name, bool local, uint64_t size, int64_t time) {
  CFileEntry e;
  FindData fd;
  fd.name = name;
  fd.size = size;
  fd.lastWrite = time;
  if (local) e.local = fd;
  else e.remote = fd;
  e.state = local ? CopyLocalToRemote : CopyRemoteToLocal;
  return e;
}

TEST(FileListOrder, StrictAndCorrectForLargeSizes) {
  std::vector<CFileEntry> entries = {
      Entry("b", true, 5ull << 30, 1), Entry("a", true, 3ull << 30, 2), Entry("c", false, 7, 3),
      Entry("d", true, 1, 4),          Entry("e", false, 9, 5),          Entry("f", true, 3ull << 30, 6),
  };
  std::vector<const CFileEntry*> rows;
  for (auto& e : entries) rows.push_back(&e);
  for (int column = 0; column < 6; ++column) {
    for (const CFileEntry* x : rows) {
      EXPECT_FALSE(FileListModel::Less(*x, *x, column));  // irreflexive
      for (const CFileEntry* y : rows) {
        if (x != y) {
          EXPECT_NE(FileListModel::Less(*x, *y, column), FileListModel::Less(*y, *x, column));
        }
      }
    }
  }
  std::sort(rows.begin(), rows.end(), [](auto* x, auto* y) { return FileListModel::Less(*x, *y, 1); });
  std::string order;
  for (auto* r : rows) order += r->Name();
  EXPECT_EQ(order, "cedafb");  // no local side first, then 1 < 3 GiB (a, f by name) < 5 GiB
}

}  // namespace
}  // namespace twinbay
