// File-type patterns, which entries a folder's listing offers, and the local folder scan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/comparer.h"
#include "fs/local_scan.h"
#include "fs/patterns.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using Names = std::vector<std::string>;

// Windows wildcards, case-blind; a pattern with a path never matches.
TEST(MatchesPattern, WindowsWildcardsAndUnusablePatterns) {
  const struct {
    const char *name, *pattern;
    bool match;
  } cases[] = {
      {"Index.HTM", "*.htm", true}, {"index.html", "*.htm", false}, {"Makefile", "*.*", true},
      {"ab1.txt", "ab?.txt", true}, {"ab.txt", "ab?.txt", false},   {"aXbYc", "a*b", false},
      {"a.txt", "", false},         {"a.txt", "../*.txt", false},   {"a.txt", "sub\\*.*", false},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchesPattern(c.name, c.pattern), c.match) << c.name << " " << c.pattern;
}

// The exclusion rules: name or whole path, folders only, anchored, "**", case-blind.
TEST(ExcludeList, PatternsAndPaths) {
  const struct {
    const char *pattern, *path;
    bool folder, excluded;
  } cases[] = {
      {"*.tmp", "a.TMP", false, true},           {"*.tmp", "x/y/a.tmp", false, true},
      {"*.tmp", "a.tmp.txt", false, false},      {".git/", "sub/.git", true, true},
      {".git/", "sub/.git", false, false},       {"node_modules/", "node_modules", true, true},
      {"/build/", "build", true, true},          {"/build/", "src/build", true, false},
      {"/build", "build", false, true},          {"docs/**/draft*", "docs/draft1", false, true},
      {"docs/**/draft*", "docs/a/b/Draft2", true, true}, {"docs/**/draft*", "x/docs/draft1", false, false},
      {"**/cache", "a/b/cache", true, true},     {"a/*.txt", "a/b/c.txt", false, false},
      {"a/*.txt", "A/c.txt", false, true},       {"  *.bak  ", "x.bak", false, true},
      {"# *.bak", "x.bak", false, false},        {"", "x", false, false},
  };
  for (const auto& c : cases) {
    ExcludeList list;
    std::string why;
    ASSERT_TRUE(list.Add(c.pattern, why)) << c.pattern;
    EXPECT_EQ(list.Excludes(c.path, c.folder), c.excluded) << c.pattern << " " << c.path;
  }
  ExcludeList bad;
  std::string why;
  EXPECT_FALSE(bad.AddLines("*.o\n\n!keep.o\n", why));
  EXPECT_NE(why.find("line 3"), std::string::npos) << why;
  EXPECT_FALSE(bad.Add("/", why));
  // A pattern file that is there but cannot be read is an error, not an empty list.
  test::TempDir t;
  test::MakeFolder(t / ".twinbayignore");
  EXPECT_FALSE(ReadExcludeFile(t / ".twinbayignore", bad, why));
  EXPECT_TRUE(ReadExcludeFile(t / "none", bad, why));
}

// "." and ".." go, a file named like a "total" line stays, the transfer's own
// temporary files never show, and folders are never filtered by type.
TEST(SelectMatching, KindsDotsAndTemporaryFiles) {
  ScanList listing;
  for (const char* n : {"./", "../", "total 123", "Total 123", "total 1234", "sub/", "page.htm",
                        ".twinbay-page.htm.partQx81Za", ".twinbay-page.htm.part", ".twinbay-notes.txt"}) {
    FindData fd;
    fd.name = n;
    if (fd.name.back() == '/') fd.name.pop_back(), fd.attributes = kAttrDirectory;
    listing.push_back(fd);
  }
  ScanList files, folders;
  SelectMatching(listing, false, "*.*", files);
  SelectMatching(listing, true, "*.htm", folders);  // folders are listed with *.* by the walk
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[0].name, "total 123");
  EXPECT_EQ(files[4].name, ".twinbay-notes.txt");
  EXPECT_TRUE(folders.empty());
}

Names Sorted(const ScanList& l) {
  Names n;
  for (auto& f : l) n.push_back(f.name + (f.IsDirectory() ? "/" : ""));
  std::sort(n.begin(), n.end());
  return n;
}

// Regular files and folders (through links) only, no pipes or dangling links; a relative or missing path lists nothing.
TEST(LocalScan, ListsRegularFilesAndFoldersOnlyAndRefusesRelativePaths) {
  test::TempDir t;
  test::WriteFile(t / "a.txt", "12345", 0);
  test::MakeFolder(t / "sub");
  ASSERT_EQ(mkfifo((t / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("a.txt", (t / "link.txt").c_str()), 0);
  ASSERT_EQ(symlink("missing", (t / "dangling").c_str()), 0);
  ASSERT_EQ(symlink("sub", (t / "sublink").c_str()), 0);
  ScanList all;
  ASSERT_TRUE(ListLocalFolder(t.path(), all));
  EXPECT_EQ(Sorted(all), (Names{"a.txt", "link.txt", "sub/", "sublink/"}));
  ScanList out;
  for (const std::string& p : {std::string(), std::string("."), std::string("./web"), t / "nope"})
    EXPECT_FALSE(ListLocalFolder(p, out)) << p;
  EXPECT_TRUE(out.empty());
  // The compare refuses what would scan the working folder; a folder not there yet is fine.
  EXPECT_NE(CFolderComparer::CheckPaths("web"), "");
  EXPECT_EQ(CFolderComparer::CheckPaths(t / "missing/deeper"), "");
}

}  // namespace
}  // namespace twinbay
