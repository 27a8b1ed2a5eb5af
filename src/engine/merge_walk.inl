// The merge walk over two name-sorted listings (included by comparer.h).
#pragma once

#include <vector>

namespace twinbay {

template <class Pair, class Stop>
void MergeSortedLists(const ScanList& local, const ScanList& remote, Pair f, Stop stop) {
  size_t i = 0, j = 0;
  const size_t nl = local.size(), nr = remote.size();
  while (i < nl || j < nr) {
    if (stop()) return;
    if (i < nl && j < nr) {
      const int c = CompareNamesNoCase(local[i].name, remote[j].name);
      if (c < 0) {
        f(&local[i++], nullptr);
      } else if (c > 0) {
        f(nullptr, &remote[j++]);
      } else {
        // A run of names that are equal but for case, on either side.
        size_t i2 = i + 1, j2 = j + 1;
        while (i2 < nl && CompareNamesNoCase(local[i2].name, local[i].name) == 0) ++i2;
        while (j2 < nr && CompareNamesNoCase(remote[j2].name, remote[j].name) == 0) ++j2;
        if (i2 - i == 1 && j2 - j == 1) {
          f(&local[i], &remote[j]);
        } else {
          std::vector<char> usedRemote(j2 - j, 0);
          std::vector<const FindData*> partner(i2 - i, nullptr);
          for (size_t a = i; a < i2; ++a)
            for (size_t b = j; b < j2; ++b)
              if (!usedRemote[b - j] && local[a].name == remote[b].name) {
                usedRemote[b - j] = 1;
                partner[a - i] = &remote[b];
                break;
              }
          size_t next = j;
          for (size_t a = i; a < i2; ++a) {
            if (partner[a - i]) continue;
            while (next < j2 && usedRemote[next - j]) ++next;
            if (next < j2) {
              usedRemote[next - j] = 1;
              partner[a - i] = &remote[next];
            }
          }
          for (size_t a = i; a < i2; ++a) {
            if (stop()) return;
            f(&local[a], partner[a - i]);
          }
          for (size_t b = j; b < j2; ++b) {
            if (stop()) return;
            if (!usedRemote[b - j]) f(nullptr, &remote[b]);
          }
        }
        i = i2;
        j = j2;
      }
    } else if (i < nl) {
      f(&local[i++], nullptr);
    } else {
      f(nullptr, &remote[j++]);
    }
  }
}

}  // namespace twinbay
