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

// Each side against its own record at its own precision, whatever the
// compare's tolerance; the tolerance only judges one side against the other
// (two sides changed and alike now are in step, else a conflict).
TEST(CompareTimes, EachSideAgainstItsOwnRecord) {
  using R = RecordedClass;
  const TimePrecision S = TimePrecision::Seconds, M = TimePrecision::Minutes, D = TimePrecision::Day;
  const int64_t t = TicksFromUtc(2026, 3, 29, 10, 5, 0), s = kTicksPerSecond;
  auto side = [](int64_t at, TimePrecision p) {
    FindData f;
    return f.size = 7, f.lastWrite = at, f.precision = p, f;
  };
  const struct {
    int64_t local, remote;
    TimePrecision lp, rp;
    bool ignoreSeconds;
    R want;
  } cases[] = {
      {t, t + 10 * s, S, S, true, R::InStep},             // as recorded, 10 s apart
      {t + 40 * s, t + 10 * s, S, S, true, R::CopyUp},     // a same-size edit 40 s later, compared to the minute
      {t + 1 * s, t + 10 * s, S, S, false, R::CopyUp},     // one second later
      {t + 999 * s / 1000, t + 10 * s, S, S, false, R::InStep},  // within the same second
      {t + 40 * s, t + 10 * s, S, M, false, R::CopyUp},    // the server listing to the minute
      {t, t + 50 * s, S, M, true, R::InStep},              // listed in the same minute as recorded
      {t, t + 70 * s, S, M, true, R::CopyDown},            // the next minute
      {t, t + 10 * s + 3600 * s, S, D, true, R::InStep},   // listed to the day: the same day
      {t + 40 * s, t + 13 * s, S, S, false, R::Conflict},  // both changed
      {t + 40 * s, t + 40 * s + 3 * s, S, S, false, R::Conflict},          // exactly 3 s apart
      {t + 40 * s, t + 40 * s + 2999 * s / 1000, S, S, false, R::InStep},  // alike: 2.999 s apart
      {t + 50 * s, t + 11 * s, S, S, true, R::InStep},     // alike: the same minute
  };
  const RecordedPair record{{7, t}, {7, t + 10 * s}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const FindData l = side(cases[i].local, cases[i].lp), r = side(cases[i].remote, cases[i].rp);
    EXPECT_EQ(ClassifyWithRecord(&l, &r, &record, cases[i].ignoreSeconds), cases[i].want) << "case " << i;
  }
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
