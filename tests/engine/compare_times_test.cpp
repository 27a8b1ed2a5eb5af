#include <gtest/gtest.h>

#include "engine/comparer.h"

namespace twinbay {
namespace {

FileSide At(int h, int m, int s, int ms = 0, TimePrecision p = TimePrecision::Seconds) {
  FindData fd;
  fd.name = "f";
  fd.lastWrite = TicksFromUtc(2026, 3, 29, h, m, s) + ms * 10'000;
  fd.precision = p;
  return fd;
}

int32_t Cmp(const FileSide& l, const FileSide& r, bool ignoreSeconds = false) {
  return CFolderComparer::CompareTimes(l, r, ignoreSeconds);
}

// Within 3 s is in step; coarser listings and ignoreSeconds compare to the minute or day.
TEST(CompareTimes, ToleranceAndPrecision) {
  const TimePrecision M = TimePrecision::Minutes;
  const struct {
    FileSide l, r;
    bool ignoreSeconds;
    int32_t want;
  } cases[] = {
      {At(10, 0, 0), At(10, 0, 2), false, InStep},
      {At(10, 0, 0), At(10, 0, 3), false, CopyRemoteToLocal},
      {At(10, 0, 3), At(10, 0, 0), false, CopyLocalToRemote},
      {At(10, 0, 0, 0), At(10, 0, 2, 999), false, InStep},
      {At(10, 0, 0, 999), At(10, 0, 3, 0), false, CopyRemoteToLocal},
      {At(10, 0, 59), At(10, 1, 0), true, CopyRemoteToLocal},
      {At(10, 0, 1), At(10, 0, 58), true, InStep},
      {At(10, 0, 1), At(10, 0, 58), false, CopyRemoteToLocal},
      {At(10, 5, 42), At(10, 5, 0, 0, M), false, InStep},
      {At(10, 6, 1), At(10, 5, 0, 0, M), false, CopyLocalToRemote},
      {At(23, 59, 59), At(0, 0, 0, 0, TimePrecision::Day), false, InStep},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(Cmp(cases[i].l, cases[i].r, cases[i].ignoreSeconds), cases[i].want) << "case " << i;
  // Around a daylight-saving change, UTC times an hour apart can show the same wall-clock time.
  FileSide l = At(0, 0, 0), r = At(0, 0, 0);
  l->lastWrite = TicksFromUtc(2026, 10, 25, 0, 30, 0);
  r->lastWrite = TicksFromUtc(2026, 10, 25, 1, 30, 0);
  EXPECT_EQ(Cmp(l, r), CopyRemoteToLocal);
}

// "\\" in a listed name is part of the name; in a typed path it separates.
TEST(RemotePaths, SeparatorAndNormalForm) {
  auto append = [](std::string p, bool remote) { return CFolderComparer::AppendSeparator(p, remote), p; };
  EXPECT_EQ(append("/site", true), "/site/");
  EXPECT_EQ(append("", true), "");
  EXPECT_EQ(append("/site//a\\b", true), "/site/a\\b/");
  EXPECT_EQ(append("/l/a", false), "/l/a/");
  std::string p = "\\site\\\\a//b\\";
  CFolderComparer::NormalizeRemotePath(p);
  EXPECT_EQ(p, "/site/a/b/");
}

}  // namespace
}  // namespace twinbay
