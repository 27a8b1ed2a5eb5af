#include <gtest/gtest.h>

#include "engine/comparer.h"
#include "engine/state_rules.h"

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

TEST(CompareTimes, ThreeSecondTolerance) {
  EXPECT_EQ(Cmp(At(10, 0, 0), At(10, 0, 2)), InStep);
  EXPECT_EQ(Cmp(At(10, 0, 0), At(10, 0, 3)), CopyRemoteToLocal);
  EXPECT_EQ(Cmp(At(10, 0, 3), At(10, 0, 0)), CopyLocalToRemote);
  // Milliseconds are dropped before the difference is taken: 2.999 s apart
  // after truncation is 2 s, 0.002 s apart across a second boundary is 1 s.
  EXPECT_EQ(Cmp(At(10, 0, 0, 0), At(10, 0, 2, 999)), InStep);
  EXPECT_EQ(Cmp(At(10, 0, 0, 999), At(10, 0, 3, 0)), CopyRemoteToLocal);
}

TEST(CompareTimes, IgnoreSecondsTruncatesToTheMinute) {
  EXPECT_EQ(Cmp(At(10, 0, 59), At(10, 1, 0), true), CopyRemoteToLocal);
  EXPECT_EQ(Cmp(At(10, 0, 1), At(10, 0, 58), true), InStep);
  EXPECT_EQ(Cmp(At(10, 0, 1), At(10, 0, 58), false), CopyRemoteToLocal);
}

TEST(CompareTimes, CoarserListingPrecisionWins) {
  // A LIST time without seconds compares to the minute.
  EXPECT_EQ(Cmp(At(10, 5, 42), At(10, 5, 0, 0, TimePrecision::Minutes)), InStep);
  EXPECT_EQ(Cmp(At(10, 6, 1), At(10, 5, 0, 0, TimePrecision::Minutes)), CopyLocalToRemote);
  // A date without a time compares to the day.
  EXPECT_EQ(Cmp(At(23, 59, 59), At(0, 0, 0, 0, TimePrecision::Day)), InStep);
}

TEST(CompareTimes, UtcTimesAnHourApartAreNotInStep) {
  // Around a daylight-saving change two UTC times an hour apart can show the
  // same local wall-clock time; they must still differ.
  FindData a, b;
  a.lastWrite = TicksFromUtc(2026, 10, 25, 0, 30, 0);
  b.lastWrite = TicksFromUtc(2026, 10, 25, 1, 30, 0);
  EXPECT_EQ(CFolderComparer::CompareTimes(&a, &b, false), CopyRemoteToLocal);
}

TEST(CompareTimes, SizeDoesNotMatter) {
  FileSide l = At(10, 0, 10), r = At(10, 0, 0);
  l->size = 1;
  r->size = 1'000'000;
  EXPECT_EQ(Cmp(l, r), CopyLocalToRemote);
}

// With a record of the last sync, what changed since decides, never which
// clock is later: an edit on both sides is a conflict, a deletion on one side
// follows unless the other side changed.
TEST(CompareWithRecord, WhatChangedSinceTheRecordDecides) {
  const FindData old = *At(10, 0, 0), edited = *At(9, 0, 0), later = *At(11, 0, 0);
  FindData bigger = old;
  bigger.size = 7;
  FindData sameMinute = old;
  sameMinute.lastWrite += 40 * kTicksPerSecond;
  sameMinute.precision = TimePrecision::Minutes;
  const RecordedPair rec{{0, old.lastWrite}, {0, old.lastWrite}};
  using C = RecordedClass;
  struct Case {
    const FindData *l, *r;
    C want;
  } cases[] = {
      {&old, &old, C::InStep},          {&edited, &old, C::CopyUp},  // an older local edit still goes up
      {&old, &later, C::CopyDown},      {&bigger, &old, C::CopyUp},  // a size change alone is a change
      {&edited, &later, C::Conflict},   {nullptr, &old, C::DeletedLocally},
      {&old, nullptr, C::DeletedRemotely}, {nullptr, &later, C::Conflict},
      {&bigger, nullptr, C::Conflict},  {nullptr, nullptr, C::Gone},
      {&later, &later, C::InStep},      // the same edit on both sides
      {&old, &sameMinute, C::InStep},   // a minute-precision listing of the recorded time
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyWithRecord(c.l, c.r, &rec, false), c.want) << (c.l ? "l " : "- ") << (c.r ? "r" : "-");
  EXPECT_EQ(ClassifyWithRecord(&old, nullptr, nullptr, false), C::AsToday);
}

TEST(RemotePaths, SeparatorAndNormalForm) {
  std::string p = "/site";
  CFolderComparer::AppendSeparator(p, true);
  EXPECT_EQ(p, "/site/");
  p = "";
  CFolderComparer::AppendSeparator(p, true);
  EXPECT_EQ(p, "");
  p = "/site//a\\b";  // "\\" in a listed name is part of the name
  CFolderComparer::AppendSeparator(p, true);
  EXPECT_EQ(p, "/site/a\\b/");
  p = "\\site\\\\a//b\\";  // a typed path: "\\" separates
  CFolderComparer::NormalizeRemotePath(p);
  EXPECT_EQ(p, "/site/a/b/");
  p = "/l/a";
  CFolderComparer::AppendSeparator(p, false);
  EXPECT_EQ(p, "/l/a/");
}

}  // namespace
}  // namespace twinbay
