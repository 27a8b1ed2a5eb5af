#include <gtest/gtest.h>

#include "engine/comparer.h"
#include "engine/decide.h"

namespace twinbay {
namespace {

// The one decision: every class, each boundary of the time rule (3 s, the
// minute, each side's precision), the record (absent, unchanged, changed on
// one side or both, a side gone), the server's time range, unread listings
// and both mirrors. The record: local 10:05:00, remote 10:05:10, 7 bytes.
TEST(Decide, ClassesAndBoundaries) {
  constexpr auto S = TimePrecision::Seconds, M = TimePrecision::Minutes, D = TimePrecision::Day;
  constexpr int64_t N = -1;  // the side is not there
  const auto at = [](int h, int m, int s, int ms = 0) { return TicksFromUtc(2026, 3, 29, h, m, s) + ms * 10'000; };
  const DecideOptions sec{.ignoreSeconds = false}, toMin{.ignoreSeconds = true},
      mem{.ignoreSeconds = false, .memory = true}, memMin{.ignoreSeconds = true, .memory = true},
      up{.ignoreSeconds = false, .memory = true, .mirror = MirrorPolicy::Up},
      down{.ignoreSeconds = false, .mirror = MirrorPolicy::Down},
      range{.ignoreSeconds = false, .remoteLatest = at(12, 0, 0)};
  const RecordedPair record{{7, at(10, 5, 0)}, {7, at(10, 5, 10)}}, storing{{7, at(10, 5, 0)}, {kStoreUnderWay, 0}};
  struct Row {
    int64_t local, remote;
    TimePrecision lp, rp;
    const DecideOptions& o;
    CompareState want;
    bool tagged = true;
    int recorded = 0;  // 1: `record`, 2: `storing` (a direct store under way)
    int unread = 0;           // 1: the local listing, 2: the remote one
    uint64_t localSize = 7, remoteSize = 7;
  };
  const std::vector<Row> rows = {
      // The times alone: less than 3 s apart in step, to the second.
      {at(10, 0, 0), at(10, 0, 2), S, S, sec, InStep},
      {at(10, 0, 0), at(10, 0, 3), S, S, sec, CopyRemoteToLocal},  // exactly 3 s
      {at(10, 0, 3), at(10, 0, 0), S, S, sec, CopyLocalToRemote},
      {at(10, 0, 4), at(10, 0, 0), S, S, sec, CopyLocalToRemote},  // 3 s + 1
      {at(10, 0, 0), at(10, 0, 2, 999), S, S, sec, InStep},
      {at(10, 0, 0, 999), at(10, 0, 3), S, S, sec, CopyRemoteToLocal},
      {at(0, 30, 0), at(1, 30, 0), S, S, sec, CopyRemoteToLocal},  // an hour apart (a daylight-saving change)
      // Ignore seconds: the minute.
      {at(10, 0, 59), at(10, 1, 0), S, S, toMin, CopyRemoteToLocal},
      {at(10, 0, 1), at(10, 0, 58), S, S, toMin, InStep},
      {at(10, 0, 1), at(10, 0, 58), S, S, sec, CopyRemoteToLocal},
      // Each side's precision: the coarser one decides.
      {at(10, 5, 42), at(10, 5, 0), S, M, sec, InStep},
      {at(10, 6, 1), at(10, 5, 0), S, M, sec, CopyLocalToRemote},
      {at(10, 5, 0), at(10, 5, 42), M, S, sec, InStep},
      {at(23, 59, 59), at(0, 0, 0), S, D, sec, InStep},
      {at(10, 0, 0), N, S, S, sec, CopyLocalToRemote},  // a missing side is older
      {N, at(10, 0, 0), S, S, sec, CopyRemoteToLocal},
      // A time the server cannot hold never makes its side the newer one.
      {at(13, 0, 0), at(10, 0, 0), S, S, range, CopyRemoteToLocal},
      {at(10, 0, 0), at(13, 0, 0), S, S, range, CopyLocalToRemote},
      {at(13, 0, 0), at(14, 0, 0), S, S, range, CopyRemoteToLocal},
      // A side missing from a listing not read whole may be there.
      {N, at(10, 0, 0), S, S, sec, StateUnknown, true, false, 1},
      {at(10, 0, 0), N, S, S, mem, StateUnknown, true, true, 2},
      {at(10, 0, 0), at(10, 0, 9), S, S, sec, CopyRemoteToLocal, true, false, 1},
      // The record: each side against its own, at its own precision.
      {at(10, 5, 0), at(10, 5, 10), S, S, memMin, InStep, true, true},
      {at(10, 5, 0), at(10, 5, 10), S, S, sec, CopyRemoteToLocal, true, true},  // memory off: the times
      {at(10, 5, 40), at(10, 5, 10), S, S, memMin, CopyLocalToRemote, true, true},  // an edit within the minute
      {at(10, 5, 1), at(10, 5, 10), S, S, mem, CopyLocalToRemote, true, true},
      {at(10, 5, 0, 999), at(10, 5, 10), S, S, mem, InStep, true, true},
      {at(10, 5, 0), at(10, 5, 10), S, S, mem, CopyLocalToRemote, true, true, 0, 8},  // the size
      {at(10, 5, 40), at(10, 5, 10), S, M, mem, CopyLocalToRemote, true, true},
      {at(10, 5, 0), at(10, 5, 50), S, M, memMin, InStep, true, true},
      {at(10, 5, 0), at(10, 6, 10), S, M, memMin, CopyRemoteToLocal, true, true},
      {at(10, 5, 0), at(11, 5, 10), S, D, memMin, InStep, true, true},
      {at(10, 5, 40), at(10, 5, 13), S, S, mem, Conflict, false, true},
      {at(10, 5, 40), at(10, 5, 43), S, S, mem, Conflict, false, true},  // exactly 3 s apart
      {at(10, 5, 40), at(10, 5, 42, 999), S, S, mem, InStep, true, true},
      {at(10, 5, 50), at(10, 5, 11), S, S, memMin, InStep, true, true},
      {N, at(10, 5, 10), S, S, mem, DeleteRemote, true, true},
      {at(10, 5, 0), N, S, S, mem, DeleteLocal, true, true},
      {N, at(10, 5, 20), S, S, mem, Conflict, false, true},
      {at(10, 5, 0), N, S, S, mem, Conflict, false, true, 0, 9},
      {at(10, 0, 0), N, S, S, mem, CopyLocalToRemote},  // no record: a new file
      // Mirrors: the times decide, the destination's own files go, a file
      // newer there is left (untagged); a folder not read whole loses nothing.
      {N, at(10, 0, 0), S, S, up, DeleteRemote},
      {at(10, 0, 0), at(10, 0, 9), S, S, up, CopyRemoteToLocal, false},
      {at(10, 5, 40), at(10, 5, 13), S, S, up, CopyLocalToRemote, true, true},
      {N, at(10, 0, 0), S, S, up, CopyRemoteToLocal, false, false, 2},
      {at(10, 0, 0), N, S, S, down, DeleteLocal},
      {at(10, 0, 9), at(10, 0, 0), S, S, down, CopyLocalToRemote, false},
      {at(10, 0, 0), at(10, 0, 9), S, S, down, CopyRemoteToLocal},
      // A direct store under way: the server's file (a broken one's, with
      // the server's time) is never newer, in any mode; alone it is left.
      {at(10, 5, 0), at(11, 0, 0), S, S, mem, CopyLocalToRemote, true, 2},
      {at(10, 5, 0), at(11, 0, 0), S, S, sec, CopyLocalToRemote, true, 2},
      {at(10, 5, 0), N, S, S, mem, CopyLocalToRemote, true, 2},
      {N, at(11, 0, 0), S, S, mem, Conflict, false, 2},
      {at(10, 5, 0), at(11, 0, 0), S, S, down, CopyLocalToRemote, false, 2},
      // ... but a larger one is not what the store left: the times decide.
      {at(10, 5, 0), at(11, 0, 0), S, S, mem, CopyRemoteToLocal, true, 2, 0, 7, 9},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    FindData l, r;
    l.size = row.localSize, l.lastWrite = row.local, l.precision = row.lp;
    r.size = row.remoteSize, r.lastWrite = row.remote, r.precision = row.rp;
    const PairFacts pair{row.local == N ? nullptr : &l, row.remote == N ? nullptr : &r, row.unread == 1,
                         row.unread == 2};
    const CompareState cls = Decide(pair, row.recorded == 2 ? &storing : row.recorded ? &record : nullptr, row.o);
    EXPECT_EQ(cls, row.want) << "row " << i;
    EXPECT_EQ(TaggedByCompare(cls, row.o), row.tagged) << "row " << i;
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
