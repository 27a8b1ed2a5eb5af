#include <gtest/gtest.h>

#include "net/listing_parser.h"

namespace twinbay {
namespace {

const int64_t kNow = TicksFromUtc(2026, 12, 6, 12, 0, 0);

FindData Unix(const std::string& line) {
  FindData fd;
  EXPECT_EQ(ParseUnixListLine(line, kNow, fd), LineKind::Entry) << line;
  return fd;
}

// What each parser makes of a line that is not a plain entry, and the name it
// reports for an entry left out.
TEST(ListingLines, KindOfEveryLine) {
  enum Parser { Mlsd, List };
  const struct {
    Parser parser;
    std::string line;
    LineKind kind;
    std::string name;
  } cases[] = {
      {Mlsd, "type=cdir;modify=20200101000000; /home/x", LineKind::NotEntry, ""},
      {Mlsd, "type=pdir;modify=20200101000000; ..", LineKind::NotEntry, ""},
      {Mlsd, "type=OS.unix=chr-3/1; null", LineKind::UnsafeName, "null"},
      {Mlsd, "type=OS.unix=slinky; odd", LineKind::UnsafeName, "odd"},
      {Mlsd, "type=file;size=1; c\xff" "d.txt", LineKind::UnsafeName, "c\xff" "d.txt"},
      {Mlsd, "type=file;size=1; a\\b.txt", LineKind::Entry, "a\\b.txt"},
      {Mlsd, "no-facts-here", LineKind::Unreadable, ""},
      {Mlsd, "size=3; no type fact", LineKind::Unreadable, ""},
      {List, "total 123", LineKind::NotEntry, ""},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 total 123", LineKind::Entry, "total 123"},
      {List, "drwxr-xr-x   1 a b 1 Jan 02  2020 ..", LineKind::NotEntry, ""},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 a\\b.txt", LineKind::Entry, "a\\b.txt"},
      {List, "-rw-r--r--   1 a b 1 Jan 02  2020 cr\rname", LineKind::UnsafeName, "cr\rname"},
      {List, "crw-rw-rw-   1 root root 1, 3 Jan 01 2020 null", LineKind::UnsafeName, "null"},
      {List, "-rw-r--r-- 1 ftp ftp 10 1. Dez 10:00 b.txt", LineKind::Unreadable, ""},
      {List, "lrwxrwxrwx 1 a b 5 Jan 01 2020 x -> y -> z", LineKind::Unreadable, ""},
      {List, "-rw-r--r--   1 a b 1 Foo 01 2020 x", LineKind::Unreadable, ""},
      {List, "-rw-r--r--   1 a b 1 Feb 30 2020 x", LineKind::Unreadable, ""},
      {List, "13-45-26  09:12AM  <DIR>  bad-date", LineKind::Unreadable, ""},
      {List, "12-06-26  25:12  1 bad-time", LineKind::Unreadable, ""},
      {List, "+i8388621.29609,m824255902,/,\tdev", LineKind::Unreadable, ""},
  };
  for (const auto& c : cases) {
    FindData fd;
    EXPECT_EQ(c.parser == Mlsd ? ParseMlsdLine(c.line, fd) : ParseListLine(c.line, kNow, fd), c.kind) << c.line;
    if (!c.name.empty()) {
      EXPECT_EQ(fd.name, c.name) << c.line;
    }
  }
}

TEST(MlsdLines, RealServersAndTheRulesOfTheFormat) {
  FindData fd;
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("modify=20200102030405;perm=radfwMT;size=300000;type=file;unique=fe00ga74008; b.bin", fd));
  EXPECT_EQ(fd.name, "b.bin");
  EXPECT_EQ(fd.size, 300000u);
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2020, 1, 2, 3, 4, 5));
  EXPECT_FALSE(fd.IsDirectory());
  // proftpd, with its extra facts.
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("modify=20200102030405;perm=adfrw;size=300000;type=file;unique=FE00UA86233;"
                            "UNIX.group=65534;UNIX.groupname=nogroup;UNIX.mode=0644;UNIX.owner=65534;"
                            "UNIX.ownername=tester; b.bin",
                            fd));
  EXPECT_EQ(fd.unique, "FE00UA86233");
  // Fact names in any case, a fraction of a second, a name with blanks.
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("Type=DIR;Modify=20261206091200.250;Sizd=4096;  two  blanks", fd));
  EXPECT_TRUE(fd.IsDirectory());
  EXPECT_EQ(fd.name, " two  blanks");
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2026, 12, 6, 9, 12, 0) + 2'500'000);
  EXPECT_TRUE(fd.unique.empty());
  EXPECT_FALSE(fd.link);
  // Links, in both spellings: marked, to be followed later.
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("type=OS.unix=slink:/etc/x;size=5;modify=20200101000000; link", fd));
  EXPECT_FALSE(fd.IsDirectory());
  EXPECT_TRUE(fd.link);
  EXPECT_EQ(fd.linkTarget, "/etc/x");
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("modify=20261207034235;perm=adfrw;size=2;type=OS.unix=symlink;unique=FE00UA760B6; up", fd));
  EXPECT_TRUE(fd.link);
  EXPECT_EQ(fd.linkTarget, "");
  // An impossible time leaves the time unknown but keeps the entry.
  ASSERT_EQ(LineKind::Entry, ParseMlsdLine("type=file;modify=20201340000000; odd", fd));
  EXPECT_EQ(fd.lastWrite, 0);
}

TEST(UnixLines, ColumnsDatesAndNames) {
  // vsftpd: numeric owner and group, a recent date with a time.
  FindData fd = Unix("-rw-r--r--    1 102      105        300000 Dec 06 09:27 b.bin");
  EXPECT_EQ(fd.size, 300000u);
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2026, 12, 6, 9, 27, 0));
  EXPECT_EQ(fd.precision, TimePrecision::Minutes);
  // pyftpdlib: an older file shows its year and no time.
  fd = Unix("-rw-r--r--   1 root     root       300000 Jan 02  2020 b.bin");
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2020, 1, 2, 0, 0, 0));
  EXPECT_EQ(fd.precision, TimePrecision::Day);
  // No group column; a name with blanks inside and at its end.
  fd = Unix("-rw-r--r--   1 owner   1234 Mar 15 10:00 my file .txt ");
  EXPECT_EQ(fd.name, "my file .txt ");
  EXPECT_EQ(fd.size, 1234u);
  // A year-less date that would lie more than a day ahead is last year's.
  fd = Unix("-rw-r--r--   1 a b 1 Dec 08 10:00 later");
  EXPECT_EQ(UtcFields(fd.lastWrite).year, 2025);
  fd = Unix("-rw-r--r--   1 a b 1 Dec 07 10:00 tomorrow");
  EXPECT_EQ(UtcFields(fd.lastWrite).year, 2026);
  // Folders and links.
  fd = Unix("drwxr-xr-x   2 a b 4096 Nov 30 23:59 images");
  EXPECT_TRUE(fd.IsDirectory());
  EXPECT_EQ(fd.size, 0u);
  fd = Unix("lrwxrwxrwx   1 a b   11 Nov 30 23:59 current -> releases/42");
  EXPECT_EQ(fd.name, "current");
  EXPECT_TRUE(fd.link);  // its size is the link text's: what it leads to is found out later
  EXPECT_EQ(fd.linkTarget, "releases/42");
  // A group that looks like a number and a size column as wide as it gets.
  fd = Unix("-rw-r--r--   1 user 2024 18446744073709551615 Jan 01 2001 huge");
  EXPECT_EQ(fd.size, 18446744073709551615ull);
}

TEST(DosLines, IisFormats) {
  FindData fd;
  ASSERT_EQ(LineKind::Entry, ParseDosListLine("12-06-26  09:12AM       <DIR>          images", fd));
  EXPECT_TRUE(fd.IsDirectory());
  EXPECT_EQ(fd.name, "images");
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2026, 12, 6, 9, 12, 0));
  ASSERT_EQ(LineKind::Entry, ParseDosListLine("01-31-99  12:05PM              1,234,567 Old Report.doc", fd));
  EXPECT_EQ(fd.size, 1234567u);
  EXPECT_EQ(fd.name, "Old Report.doc");
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(1999, 1, 31, 12, 5, 0));
  ASSERT_EQ(LineKind::Entry, ParseDosListLine("12-06-2026  23:40                 512 night.log", fd));
  EXPECT_EQ(fd.lastWrite, TicksFromUtc(2026, 12, 6, 23, 40, 0));
  ASSERT_EQ(LineKind::Entry, ParseDosListLine("07-04-25  12:00AM  7 midnight", fd));
  EXPECT_EQ(UtcFields(fd.lastWrite).hour, 0);
  ASSERT_EQ(LineKind::Entry, ParseDosListLine("07-04-25  01:30 PM  7 spaced", fd));
  EXPECT_EQ(UtcFields(fd.lastWrite).hour, 13);
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
  p = ParseListing("total 8\n-rw-r--r-- 1 a b 1 Jan 02  2020 ok\n-rw-r--r-- 1 ftp ftp 10 1. Dez 10:00 b.txt\n"
                   "?? second\n", ListingFormat::List, kNow, out);
  EXPECT_EQ(p.entries, 1u);
  EXPECT_EQ(p.unreadable, 2u);
  EXPECT_EQ(p.firstUnreadable, "-rw-r--r-- 1 ftp ftp 10 1. Dez 10:00 b.txt");
  EXPECT_FALSE(p.Whole());
  EXPECT_EQ(EscapeListingText("a\\b\xff\x01\t"), "a\\\\b\\xff\\x01\\x09");
}

}  // namespace
}  // namespace twinbay
