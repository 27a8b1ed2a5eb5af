#include <gtest/gtest.h>

#include "engine/filters.h"
#include "engine/number_format.h"
#include "engine/tags.h"
#include "engine/totals.h"

namespace twinbay {
namespace {

NumberFormat EnUs() { return NumberFormat{".", ",", 3, 2}; }
NumberFormat German() { return NumberFormat{",", ".", 3, 2}; }

std::unique_ptr<CFileEntry> Entry(bool local, bool remote, CompareState state, bool tagged, uint64_t lsize = 0,
                                  uint64_t rsize = 0) {
  auto e = std::make_unique<CFileEntry>();
  if (local) {
    e->local = FindData{};
    e->local->size = lsize;
    e->local->name = "f";
  }
  if (remote) {
    e->remote = FindData{};
    e->remote->size = rsize;
    e->remote->name = "f";
  }
  e->state = state;
  e->tagged = tagged;
  return e;
}

TEST(Filters, EveryNumber) {
  auto up1 = Entry(true, false, CopyLocalToRemote, 1);
  auto upBoth = Entry(true, true, CopyLocalToRemote, 1);
  auto down1 = Entry(false, true, CopyRemoteToLocal, 1);
  auto same = Entry(true, true, InStep, 1);
  struct Row {
    int filter;
    bool up1, upBoth, down1, same;
  };
  const Row rows[] = {
      {0, true, true, true, true},     {1, true, true, false, false},  {2, false, false, true, false},
      {3, false, false, false, false}, {4, false, false, false, true}, {5, true, true, true, false},
      {6, true, false, true, false},   {7, false, true, false, true},  {8, false, false, false, false},
      {-1, false, false, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.filter);
    EXPECT_EQ(MatchesFilter(*up1, r.filter), r.up1);
    EXPECT_EQ(MatchesFilter(*upBoth, r.filter), r.upBoth);
    EXPECT_EQ(MatchesFilter(*down1, r.filter), r.down1);
    EXPECT_EQ(MatchesFilter(*same, r.filter), r.same);
  }
}

TEST(CountTagged, FollowsTheFilterButAllCountsDoNot) {
  CFolderCollection c;
  auto* r = c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  r->entries.push_back(Entry(true, false, CopyLocalToRemote, 1, 1000));      // up, one side
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 500, 7));     // up, both sides
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 0, 9999, 7));    // up, untagged
  r->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 3000));   // down
  r->entries.push_back(Entry(true, true, InStep, 1, 100, 100));              // never counted
  auto* s = c.Add(std::make_unique<CFolderRecord>("/l/s", "/r/s", FolderOnBoth));
  s->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 20));

  SyncTotals t;
  t.allDone = 99;
  t.text = "stale";
  CountTagged(c, t, FilterAll);
  EXPECT_EQ(t.taggedUp, 2);
  EXPECT_EQ(t.allUp, 3);
  EXPECT_EQ(t.bytesUp, 1500);
  EXPECT_EQ(t.taggedDown, 2);
  EXPECT_EQ(t.allDown, 2);
  EXPECT_EQ(t.bytesDown, 3020);
  EXPECT_EQ(t.allDone, 0);
  EXPECT_EQ(t.text, "");

  CountTagged(c, t, FilterOnePathOnly);
  EXPECT_EQ(t.taggedUp, 1);
  EXPECT_EQ(t.bytesUp, 1000);
  EXPECT_EQ(t.allUp, 3);
  EXPECT_EQ(t.taggedDown, 2);

  CountTagged(c, t, FilterRemoteToLocal);
  EXPECT_EQ(t.taggedUp, 0);
  EXPECT_EQ(t.allUp, 3);
  EXPECT_EQ(t.taggedDown, 2);

  UntagAllFiles(c);
  CountTagged(c, t, FilterAll);
  EXPECT_EQ(t.taggedUp + t.taggedDown, 0);
  EXPECT_EQ(r->entries[4]->tagged, 1);  // the in-step entry kept its flag
  TagAllFiles(c);
  CountTagged(c, t, FilterAll);
  EXPECT_EQ(t.taggedUp, 3);
  EXPECT_EQ(t.taggedDown, 2);
}

// The kept counts must always equal a full count, however the folders change.
TEST(KeptTotals, StayEqualToAFullCountAsFoldersTagsStatesAndTheFilterChange) {
  CFolderCollection c;
  KeptTotals kept;
  auto same = [&](int filter) {
    SyncTotals full;
    CountTagged(c, full, filter);
    const SyncTotals& k = kept.Totals();
    return k.taggedUp == full.taggedUp && k.taggedDown == full.taggedDown && k.allUp == full.allUp &&
           k.allDown == full.allDown && k.bytesUp == full.bytesUp && k.bytesDown == full.bytesDown;
  };
  auto* r = c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  r->entries.push_back(Entry(true, false, CopyLocalToRemote, 1, 1000));
  r->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 3000));
  kept.CountFolder(c, *r);
  auto* s = c.Add(std::make_unique<CFolderRecord>("/l/s", "/r/s", FolderOnBoth));
  s->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 500, 7));
  s->entries.push_back(Entry(true, true, InStep, 1, 100, 100));
  kept.CountFolder(c, *s);
  EXPECT_TRUE(same(FilterAll));
  EXPECT_EQ(kept.Totals().taggedUp, 2);
  // A folder counted again after a transfer re-classified one entry and a
  // delete removed another: only its own share changes.
  s->entries[0]->state = InStep;
  r->entries.erase(r->entries.begin());
  kept.CountFolder(c, *s);
  kept.CountFolder(c, *r);
  EXPECT_TRUE(same(FilterAll));
  EXPECT_EQ(kept.Totals().allUp, 0);
  // Untagged in the list, then another filter.
  r->entries[0]->tagged = false;
  kept.CountFolder(c, *r);
  EXPECT_TRUE(same(FilterAll));
  r->entries[0]->tagged = true;
  kept.CountAll(c, FilterLocalToRemote);
  EXPECT_TRUE(same(FilterLocalToRemote));
  EXPECT_EQ(kept.Totals().taggedDown, 0);
  EXPECT_EQ(kept.Totals().allDown, 1);
  kept.Clear();
  c.Clear();
  EXPECT_TRUE(same(FilterLocalToRemote));
}

TEST(FormatSize, Boundaries) {
  const NumberFormat f = EnUs();
  EXPECT_EQ(FormatSize(0, f), "0KB ");
  EXPECT_EQ(FormatSize(1, f), "1KB ");
  EXPECT_EQ(FormatSize(1024, f), "1KB ");
  EXPECT_EQ(FormatSize(1025, f), "2KB ");
  EXPECT_EQ(FormatSize(1048064, f), "1,024KB ");
  EXPECT_EQ(FormatSize(1048576, f), "1.00MB ");
  EXPECT_EQ(FormatSize(1.5 * 1073741824.0, f), "1.50GB ");
  EXPECT_EQ(FormatSize(5000.0 * 1073741824.0, f), "5,000.00GB ");
  EXPECT_EQ(FormatSize(1048576, German()), "1,00MB ");
}

TEST(FormatNumber, LocaleRoundingThenCut) {
  EXPECT_EQ(FormatNumber(1234567, 0, EnUs()), "1,234,567");
  EXPECT_EQ(FormatNumber(1234567, 0, German()), "1.234.567");
  EXPECT_EQ(FormatNumber(1.005, 1, EnUs()), "1.0");  // rounded to the locale's 2 decimals first
  EXPECT_EQ(FormatNumber(1.996, 1, EnUs()), "2.0");
  EXPECT_EQ(FormatNumber(999.999, 0, EnUs()), "1,000");
  EXPECT_EQ(FormatNumber(12.5, 3, EnUs()), "12.50");  // the locale shows only two
  EXPECT_EQ(FormatNumber(123, 0, NumberFormat{".", "", 0, 2}), "123");
  EXPECT_EQ(FormatNumber(-1234.5, 2, EnUs()), "-1,234.50");
}

TEST(SyncTotals, PercentagesStayWithinRange) {
  SyncTotals t;
  EXPECT_EQ(t.FilePercent(), 0);
  EXPECT_EQ(t.TotalPercent(), 0);  // nothing selected: divisor 0
  t.bytesUp = 1000;
  t.bytesDown = 3000;
  t.SetDirections(true, false);
  EXPECT_EQ(t.SelectedTotal(), 1000);
  t.StartFile(400);
  t.AddDone(100);
  EXPECT_EQ(t.FilePercent(), 25);
  EXPECT_EQ(t.TotalPercent(), 10);
  t.AddDone(2000);  // the file grew since the compare
  EXPECT_EQ(t.FilePercent(), 100);
  EXPECT_EQ(t.TotalPercent(), 100);
  t.SetDirections(true, true);
  EXPECT_EQ(t.TotalPercent(), 52);
  t.StartFile(0);
  EXPECT_EQ(t.FilePercent(), 0);
}

TEST(TaggedSummary, SingularOnlyWhenTheAllCountIsOne) {
  const NumberFormat f = EnUs();
  EXPECT_EQ(TaggedSummary(1, 1, 10, f), "1 of 1 file tagged (1KB)");
  EXPECT_EQ(TaggedSummary(0, 1, 0, f), "0 of 1 file tagged (0KB)");
  EXPECT_EQ(TaggedSummary(1, 2, 2048, f), "1 of 2 files tagged (2KB)");
  EXPECT_EQ(TaggedSummary(0, 0, 0, f), "0 of 0 files tagged (0KB)");
}

}  // namespace
}  // namespace twinbay
