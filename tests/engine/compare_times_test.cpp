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

// Times within 3 s are in step (milliseconds dropped first); compared to the
// minute with ignoreSeconds or against a listing without seconds, to the day
// against a date; the size never counts.
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
  FileSide l = At(10, 0, 10), r = At(10, 0, 0);
  l->size = 1;
  r->size = 1'000'000;
  EXPECT_EQ(Cmp(l, r), CopyLocalToRemote);
  // Around a daylight-saving change, UTC times an hour apart can show the same wall-clock time.
  l->lastWrite = TicksFromUtc(2026, 10, 25, 0, 30, 0);
  r->lastWrite = TicksFromUtc(2026, 10, 25, 1, 30, 0);
  EXPECT_EQ(Cmp(l, r), CopyRemoteToLocal);
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
