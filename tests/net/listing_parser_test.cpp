#include <gtest/gtest.h>

#include "net/listing_parser.h"

namespace twinbay {
namespace {

const int64_t kNow = TicksFromUtc(2026, 12, 6, 12, 0, 0);
int64_t At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) { return TicksFromUtc(y, mo, d, h, mi, s); }

// What each parser makes of one line. flags: d folder, l link (extra: its
// target), u extra is the MLSD "unique" fact, m/y time to the minute or day.
// size and time -1: not looked at.
TEST(ListingLines, EveryKindOfLine) {
  enum Parser { Mlsd, List };
  using K = LineKind;
  const struct {
    Parser parser;
    std::string line;
    LineKind kind;
    std::string name;
    int64_t size, time;
    std::string flags, extra;
  } cases[] = {
      {Mlsd, "modify=20200102030405;perm=radfwMT;size=300000;type=file;unique=fe00ga74008; b.bin", K::Entry, "b.bin",
       300000, At(2020, 1, 2, 3, 4, 5), "", ""},
      // proftpd, with its extra facts.
      {Mlsd, "modify=20200102030405;perm=adfrw;size=300000;type=file;unique=FE00UA86233;UNIX.group=65534;"
             "UNIX.groupname=nogroup;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=tester; b.bin",
       K::Entry, "b.bin", 300000, -1, "u", "FE00UA86233"},
      // Fact names in any case, a fraction of a second, a name with blanks.
      {Mlsd, "Type=DIR;Modify=20261206091200.250;Sizd=4096;  two  blanks", K::Entry, " two  blanks", 0,
       At(2026, 12, 6, 9, 12) + 2'500'000, "du", ""},
      // Links, in both spellings: marked, to be followed later.
      {Mlsd, "type=OS.unix=slink:/etc/x;size=5;modify=20200101000000; link", K::Entry, "link", 5, -1, "l", "/etc/x"},
      {Mlsd, "modify=20261207034235;perm=adfrw;size=2;type=OS.unix=symlink;unique=FE00UA760B6; up", K::Entry, "up", 2,
       -1, "l", ""},
      // An impossible time leaves the time unknown but keeps the entry.
      {Mlsd, "type=file;modify=20201340000000; odd", K::Entry, "odd", -1, 0, "", ""},
      {Mlsd, "type=file;size=1; a\\b.txt", K::Entry, "a\\b.txt", 1, -1, "", ""},
      {Mlsd, "type=cdir;modify=20200101000000; /home/x", K::NotEntry, "", -1, -1, "", ""},
      {Mlsd, "type=pdir;modify=20200101000000; ..", K::NotEntry, "", -1, -1, "", ""},
      {Mlsd, "type=OS.unix=chr-3/1; null", K::UnsafeName, "null", -1, -1, "", ""},
      {Mlsd, "type=OS.unix=slinky; odd", K::UnsafeName, "odd", -1, -1, "", ""},
      {Mlsd, "type=file;size=1; c\xff" "d.txt", K::UnsafeName, "c\xff" "d.txt", -1, -1, "", ""},
      {Mlsd, "no-facts-here", K::Unreadable, "", -1, -1, "", ""},
      {Mlsd, "size=3; no type fact", K::Unreadable, "", -1, -1, "", ""},
      // vsftpd: numeric owner and group, a recent date with a time.
      {List, "-rw-r--r--    1 102      105        300000 Dec 06 09:27 b.bin", K::Entry, "b.bin", 300000,
       At(2026, 12, 6, 9, 27), "m", ""},
      // pyftpdlib: an older file shows its year and no time.
      {List, "-rw-r--r--   1 root     root       300000 Jan 02  2020 b.bin", K::Entry, "b.bin", 300000,
       At(2020, 1, 2), "y", ""},
      // No group column; a name with blanks inside and at its end.
      {List, "-rw-r--r--   1 owner   1234 Mar 15 10:00 my file .txt ", K::Entry, "my file .txt ", 1234, -1, "", ""},
      // A year-less date that would lie more than a day ahead is last year's.
      {List, "-rw-r--r--   1 a b 1 Dec 08 10:00 later", K::Entry, "later", 1, At(2025, 12, 8, 10), "", ""},
      {List, "-rw-r--r--   1 a b 1 Dec 07 10:00 tomorrow", K::Entry, "tomorrow", 1, At(2026, 12, 7, 10), "", ""},
      {List, "drwxr-xr-x   2 a b 4096 Nov 30 23:59 images", K::Entry, "images", 0, -1, "d", ""},
      // A link's size is its text's: what it leads to is found out later.
      {List, "lrwxrwxrwx   1 a b   11 Nov 30 23:59 current -> releases/42", K::Entry, "current", 11, -1, "l",
       "releases/42"},
      {List, "lrwxrwxrwx 1 a b 5 Jan 01 2020 x -> y -> z", K::Unreadable, "", -1, -1, "", ""},
      // A group that looks like a number and a size column as wide as it gets.
      {List, "-rw-r--r--   1 user 2024 18446744073709551615 Jan 01 2001 huge", K::Entry, "huge", -1, -1, "", ""},
      {List, "total 123", K::NotEntry, "", -1, -1, "", ""},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 total 123", K::Entry, "total 123", 1, -1, "", ""},
      {List, "drwxr-xr-x   1 a b 1 Jan 02  2020 ..", K::NotEntry, "", -1, -1, "", ""},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 a\\b.txt", K::Entry, "a\\b.txt", 1, -1, "", ""},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 cr\rname", K::UnsafeName, "cr\rname", -1, -1, "", ""},
      {List, "crw-rw-rw-   1 root root 1, 3 Jan 01 2020 null", K::UnsafeName, "null", -1, -1, "", ""},
      {List, "b.txt 19 bytes, changed 2026-12-01 at 10:00", K::Unreadable, "", -1, -1, "", ""},
      {List, "-rw-r--r--   1 a b 1 Foo 01 2020 x", K::Unreadable, "", -1, -1, "", ""},
      {List, "-rw-r--r--   1 a b 1 Feb 30 2020 x", K::Unreadable, "", -1, -1, "", ""},
      // DOS/IIS.
      {List, "12-06-26  09:12AM       <DIR>          images", K::Entry, "images", 0, At(2026, 12, 6, 9, 12), "d", ""},
      {List, "01-31-99  12:05PM              1,234,567 Old Report.doc", K::Entry, "Old Report.doc", 1234567,
       At(1999, 1, 31, 12, 5), "", ""},
      {List, "12-06-2026  23:40                 512 night.log", K::Entry, "night.log", 512, At(2026, 12, 6, 23, 40), "",
       ""},
      {List, "07-04-25  12:00AM  7 midnight", K::Entry, "midnight", 7, At(2025, 7, 4), "", ""},
      {List, "07-04-25  01:30 PM  7 spaced", K::Entry, "spaced", 7, At(2025, 7, 4, 13, 30), "", ""},
      {List, "13-45-26  09:12AM  <DIR>  bad-date", K::Unreadable, "", -1, -1, "", ""},
      {List, "12-06-26  25:12  1 bad-time", K::Unreadable, "", -1, -1, "", ""},
  };
  for (const auto& c : cases) {
    FindData fd;
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.parser == Mlsd ? ParseMlsdLine(c.line, fd) : ParseListLine(c.line, kNow, fd), c.kind);
    if (c.name.empty()) continue;
    EXPECT_EQ(fd.name, c.name);
    if (c.kind != K::Entry) continue;
    const auto has = [&](char f) { return c.flags.find(f) != std::string::npos; };
    EXPECT_TRUE(c.size < 0 || fd.size == static_cast<uint64_t>(c.size)) << fd.size;
    EXPECT_TRUE(c.time < 0 || fd.lastWrite == c.time) << fd.lastWrite;
    EXPECT_EQ(fd.IsDirectory(), has('d'));
    EXPECT_EQ(fd.link, has('l'));
    EXPECT_EQ(has('u') ? fd.unique : fd.linkTarget, c.extra);
    EXPECT_TRUE(!(has('m') || has('y')) || fd.precision == (has('m') ? TimePrecision::Minutes : TimePrecision::Day));
  }
}

TEST(Listings, EntriesLinesNotReadAndNamesLeftOut) {
  const std::string mlsd =
      "type=file;size=1;modify=20200102030405; ../x\r\n"
      "type=file;size=1;modify=20200102030405; a/b\r\n"
      "type=file;size=1;modify=20200102030405; nul" + std::string(1, '\0') + "x\r\n"
      "type=file;size=1;modify=20200102030405; \r\n"
      "type=dir;modify=20200102030405; ..\r\n"
      "\r\n"
      "type=file;size=1;modify=20200102030405; good.txt\r\n";
  ScanList out;
  ListingParse p = ParseListing(mlsd, ListingFormat::Mlsd, kNow, out);
  EXPECT_EQ(p.entries, 1u);
  EXPECT_EQ(out[0].name, "good.txt");
  EXPECT_EQ(p.unsafe, (std::vector<std::string>{"../x", "a/b", "nul" + std::string(1, '\0') + "x", ""}));
  EXPECT_TRUE(p.firstUnreadable.empty());
  out.clear();
  p = ParseListing("total 8\n-rw-r--r-- 1 a b 1 Jan 02  2020 ok\nb.txt 19 bytes, changed 2026-12-01 at 10:00\n"
                   "?? second\n", ListingFormat::List, kNow, out);
  EXPECT_EQ(p.entries, 1u);
  EXPECT_EQ(p.unreadable, 2u);
  EXPECT_EQ(p.firstUnreadable, "b.txt 19 bytes, changed 2026-12-01 at 10:00");
  EXPECT_FALSE(p.Whole());
  EXPECT_EQ(EscapeListingText("a\\b\xff\x01\t"), "a\\\\b\\xff\\x01\\x09");
}

}  // namespace
}  // namespace twinbay
