#include <gtest/gtest.h>

#include "net/listing_parser.h"

namespace twinbay {
namespace {

const int64_t kNow = TicksFromUtc(2026, 12, 6, 12, 0, 0);

constexpr LineKind E = LineKind::Entry, kBad = LineKind::Unreadable, kNone = LineKind::NotEntry;

struct Row {
  std::string_view line;  // "\n" separates the lines of one entry
  LineKind kind;
  std::string_view name = {};
  char type = 'f';  // f file, d folder, l link
  int64_t size = -1;  // -1: unknown
  std::string_view time = {};
  char precision = 'M';  // S seconds, M minutes, D day
};

void Check(const std::vector<Row>& rows, bool mlsd = false) {
  FamilyContext ctx;
  for (const Row& r : rows) {
    FindData fd;
    std::string_view text = r.line;
    for (size_t nl; (nl = text.find('\n')) != std::string_view::npos; text.remove_prefix(nl + 1))
      EXPECT_EQ(ParseListLine(text.substr(0, nl), kNow, fd, ctx), LineKind::Continued) << r.line;
    const LineKind kind = mlsd ? ParseMlsdLine(text, fd) : ParseListLine(text, kNow, fd, ctx);
    EXPECT_EQ(kind, r.kind) << r.line;
    if (kind != E || r.kind != E) continue;
    EXPECT_EQ(fd.name, r.name) << r.line;
    EXPECT_EQ(fd.IsDirectory() ? 'd' : fd.link ? 'l' : 'f', r.type) << r.line;
    EXPECT_EQ(fd.sizeKnown ? static_cast<int64_t>(fd.size) : -1, r.size) << r.line;
    EXPECT_EQ(FormatUtc(fd.lastWrite), r.time) << r.line;
    EXPECT_EQ("SMD"[static_cast<int>(fd.precision)], r.precision) << r.line;
  }
  EXPECT_TRUE(ctx.pending.empty());
}

// MLSD lines: facts in any case, bad times kept unknown, links, names never used.
TEST(ListingLines, Mlsd) {
  Check({
      {"modify=20200102030405;perm=radfwMT;size=300000;type=file;unique=fe00ga74008; b.bin", E, "b.bin", 'f', 300000, "2020-01-02T03:04:05Z", 'S'},
      {"modify=20200102030405;perm=adfrw;size=300000;type=file;unique=FE00UA86233;UNIX.group=65534;UNIX.groupname=nogroup;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=tester; b.bin", E, "b.bin", 'f', 300000, "2020-01-02T03:04:05Z", 'S'},
      {"Type=DIR;Modify=20261206091200.250;Sizd=4096;  two  blanks", E, " two  blanks", 'd', 0, "2026-12-06T09:12:00Z", 'S'},
      {"type=OS.unix=slink:/etc/x;size=5;modify=20200101000000; link", E, "link", 'l', 5, "2020-01-01T00:00:00Z", 'S'},
      {"type=file;modify=20201340000000; odd", E, "odd", 'f', 0, "1601-01-01T00:00:00Z", 'S'},
      {"type=cdir;modify=20200101000000; /home/x", kNone},
      {"type=OS.unix=chr-3/1; null", LineKind::UnsafeName},
      {"type=file;size=1; c\xff" "d.txt", LineKind::UnsafeName},
      {"no-facts-here", kBad},
  }, true);
}

// LIST lines of each family; each table is one listing (state carries from line to line).
TEST(ListFamilies, EveryFamilyLineByLine) {
  const std::vector<std::vector<Row>> listings = {
      // UnixDates
      {
          {"-rw-r--r--    1 102      105        300000 Dec 06 09:27 b.bin", E, "b.bin", 'f', 300000, "2026-12-06T09:27:00Z"},
          {"-rw-r--r--   1 root     root       300000 Jan 02  2020 b.bin", E, "b.bin", 'f', 300000, "2020-01-02T00:00:00Z", 'D'},
          {"-rw-r--r--   1 owner   1234 Mar 15 10:00 my file .txt ", E, "my file .txt ", 'f', 1234, "2026-03-15T10:00:00Z"},
          {"-rw-r--r--   1 a b 1 Dec 08 10:00 later", E, "later", 'f', 1, "2025-12-08T10:00:00Z"},
          {"-rw-r--r--   1 a b 1 Dec 07 10:00 tomorrow", E, "tomorrow", 'f', 1, "2026-12-07T10:00:00Z"},
          {"drwxr-xr-x   2 a b 4096 Nov 30 23:59 images", E, "images", 'd', 0, "2026-11-30T23:59:00Z"},
          {"lrwxrwxrwx   1 a b   11 Nov 30 23:59 current -> releases/42", E, "current", 'l', 11, "2026-11-30T23:59:00Z"},
          {"-rw-r--r--   1 user 2024 18446744073709551615 Jan 01 2001 huge", E, "huge", 'f', -1, "2001-01-01T00:00:00Z", 'D'},
          {"total 123", kNone},
          {"-rw-r--r--   1 a b 1 Jan 02  2020 cr\rname", LineKind::UnsafeName},
          {"-rw-r--r--   1 a b 1 Feb 30 2020 x", kBad},
          {"-rw-r--r--   1 root     other          5 12 24 10:00 xmas", E, "xmas", 'f', 5, "2025-12-24T10:00:00Z"},
          {"-rw-r--r--   1 root     other       4096 09-26 2001 old.tar", E, "old.tar", 'f', 4096, "2001-09-26T00:00:00Z", 'D'},
          {"drwxr-xr-x   2 ftp      ftp         4096 2005-06-07 21:22 build logs", E, "build logs", 'd', 0, "2005-06-07T21:22:00Z"},
          {"-rw-r--r--   1 ftp      ftp          120 24-04-2003 09:15 plan.doc", E, "plan.doc", 'f', 120, "2003-04-24T09:15:00Z"},
          {"-rw-r--r--   1 ftp      ftp          777 01-jun-99 legacy.dat", E, "legacy.dat", 'f', 777, "1999-06-01T00:00:00Z", 'D'},
          {"dr-xr-xr-x   2 root     other       2235 26. Juli, 20:10 Bilder", E, "Bilder", 'd', 0, "2026-07-26T20:10:00Z"},
          {"-rw-r--r--   1 root     sys         8473  4月 18日 2003年 日本.txt", E, "日本.txt", 'f', 8473, "2003-04-18T00:00:00Z", 'D'},
          {"-rwxr-xr-x    1 user group        9 Oct 08, 2002 09:47 run.sh", E, "run.sh", 'f', 9, "2002-10-08T09:47:00Z"},
          {"crw-rw-rw-   1 root     root      1,   3 Jan 01 2020 null", LineKind::UnsafeName},  // reported, never dropped unseen
          {"lrwxrwxrwx   1 root     other      7 2005-06-07 21:22 x -> y -> z", kBad},
      },
      // UnixSizesAndNumericListings
      {
          {"-rw-r--r--   1 root     other  34.5k Oct 5 21:22 rounded.iso", E, "rounded.iso", 'f', -1, "2026-10-05T21:22:00Z"},
          {"-r-xr-xr-x longowner longgroup123456 Feb 12 17:20 glued.bin", E, "glued.bin", 'f', -1, "2026-02-12T17:20:00Z"},
          {"lrwxrwxrwx   1 root     other      7 2005-06-07 21:22 latest -> v2.1", E, "latest", 'l', 7, "2005-06-07T21:22:00Z"},
          {"0100644   500  101   12345    1112345678       numeric file", E, "numeric file", 'f', 12345, "2005-04-01T08:54:38Z", 'S'},
          {"0100644   500  101   12x45    1112345678 bad", kBad},
      },
      // Eplf
      {
          {"+i8388621.48594,m825718503,r,s280,\tcore file", E, "core file", 'f', 280, "1996-03-01T22:15:03Z", 'S'},
          {"+i8388621.50690,m824255907,/,\tpub", E, "pub", 'd', 0, "1996-02-13T23:58:27Z", 'S'},
          {"+m824255907,r,\tnosize", E, "nosize", 'f', -1, "1996-02-13T23:58:27Z", 'S'},
          {"+i1,r,s10,\tnotime", kBad},
          {"+i1,m1,\tneither", kNone},
      },
      // DosVShellOs2
      {
          {"12-06-26  09:12AM       <DIR>          images", E, "images", 'd', 0, "2026-12-06T09:12:00Z"},
          {"01-31-99  12:05PM              1,234,567 Old Report.doc", E, "Old Report.doc", 'f', 1234567, "1999-01-31T12:05:00Z"},
          {"12-06-2026  23:40                 512 night.log", E, "night.log", 'f', 512, "2026-12-06T23:40:00Z"},
          {"07-04-25  12:00AM  7 midnight", E, "midnight", 'f', 7, "2025-07-04T00:00:00Z"},
          {"13-45-26  09:12AM  <DIR>  bad-date", kBad},
          {"2002-09-02  18:48       <DIR>          Reports 2002", E, "Reports 2002", 'd', 0, "2002-09-02T18:48:00Z"},
          {"04-23-103  10:57PM        1,234,567 y2k.log", E, "y2k.log", 'f', 1234567, "2003-04-23T22:57:00Z"},
          {"206876  Apr 04, 2000 21:06 vshell.zip", E, "vshell.zip", 'f', 206876, "2000-04-04T21:06:00Z"},
          {"0  Dec 12, 2002 02:13 incoming/", E, "incoming", 'd', 0, "2002-12-12T02:13:00Z"},
          {"36611      A    04-23-103  10:57  os2 file.txt", E, "os2 file.txt", 'f', 36611, "2003-04-23T10:57:00Z"},
          {"    0 DIR       02-11-103  16:15  tools", E, "tools", 'd', 0, "2003-02-11T16:15:00Z"},
      },
      // NetWare
      {
          {"d [R----F--] supervisor            512       Jan 16 18:53    Public Files", E, "Public Files", 'd', 0, "2026-01-16T18:53:00Z"},
          {"- [RWCEAFMS] rhesus             214059       Oct 20  2003    notes.txt ", E, "notes.txt ", 'f', 214059, "2003-10-20T00:00:00Z", 'D'},
          {"- [RWCEAFMS] rhesus             21x059       Oct 20  2003    bad", kBad},
      },
      // Vms
      {
          {"Directory DISK$USER:[ANONYMOUS]", kNone},
          {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)", E, "CII-MANUAL.TEX;1", 'f', -1, "1996-01-29T03:33:12Z"},
          {"SUBDIR.DIR;1  1 19-NOV-2001 21:41 [root,root] (RWE,RWE,RE,RE)", E, "SUBDIR", 'd', 0, "2001-11-19T21:41:00Z"},
          {"A-VERY-LONG-FILE-NAME.DATA;2\n      170774/170775     24-APR-2003 08:16:15.64  [FTP,SCOT]  (RWED,RWED,RE,)", E, "A-VERY-LONG-FILE-NAME.DATA;2", 'f', -1, "2003-04-24T08:16:15Z"},
          {"LOG.TXT;1   [SUMMARY]    1/3     2-AUG-2006 13:05  (RWE,RWE,RE,)", E, "LOG.TXT;1", 'f', -1, "2006-08-02T13:05:00Z"},
          {"SECRET.DAT;1  no privilege for attempted operation", kBad},
          {"LONELY.DAT;1\nTotal of 7 files, 216/224 blocks.", kBad},
          {"Total of 7 files, 216/224 blocks.", kNone},
      },
      // As400
      {
          {"QPGMR            1024 03/04/05 10:00:00 *STMF      early.csv", kBad},  // month or day first: not yet known
          {"QSYS            77824 02/23/00 15:09:55 *DIR       QSYS/", E, "QSYS", 'd', 0, "2000-02-23T15:09:55Z"},
          {"QPGMR            1024 03/04/05 10:00:00 *STMF      data file.csv", E, "data file.csv", 'f', 1024, "2005-03-04T10:00:00Z"},
      },
      // As400 (another listing)
      {
          {"QSYS            77824 23/02/00 15:09:55 *FILE      days.file", E, "days.file", 'f', 77824, "2000-02-23T15:09:55Z"},
          {"QSYS             4096 03/04/05 10:00:00 *LIB       MYLIB", E, "MYLIB", 'd', 0, "2005-04-03T10:00:00Z"},
          {"QSYS             4096 03/04/05 1O:00:00 *LIB       typo", kBad},
          {"QSYS             4096 03/14/05 10:00:00 *LIB       other-order", kBad},
      },
      // Os9AndRouters
      {
          {"                           Directory of . 11:44:44", kNone},
          {" Owner    Last modified  Attributes Sector Bytecount Name", kNone},
          {"-------   -------------  ---------- ------ --------- ----", kNone},
          {"  0.0    93/06/30 1404   ------wr     17      1402 readme", E, "readme", 'f', 1402, "1993-06-30T14:04:00Z"},
          {" 12.3    07/01/15 0930   d-ewrewr     1F       160 CMDS", E, "CMDS", 'd', 0, "2007-01-15T09:30:00Z"},
          {"config.cfg       1014196  06/03/04  Thur.   10:20:03", E, "config.cfg", 'f', 1014196, "2004-06-03T10:20:03Z"},
          {"2048    Feb-28-1998  05:23:30   flash <DIR>", E, "flash", 'd', 0, "1998-02-28T05:23:30Z"},
          {"2048    Feb-30-1998  05:23:30   bad", kBad},
      },
  };
  for (const auto& rows : listings) Check(rows);
}

}  // namespace
}  // namespace twinbay
