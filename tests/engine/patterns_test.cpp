#include <gtest/gtest.h>

#include "engine/patterns.h"

namespace twinbay {
namespace {

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> p{"stale"};
  SplitFileTypes(p, text);
  return p;
}

TEST(SplitFileTypes, BlanksAndEmptyParts) {
  EXPECT_EQ(Split("*.*"), (std::vector<std::string>{"*.*"}));
  EXPECT_EQ(Split("*.htm; *.gif"), (std::vector<std::string>{"*.htm", "*.gif"}));
  // A blank before ";" stays with the pattern; only the whole text is trimmed.
  EXPECT_EQ(Split("  *.htm ;*.gif  "), (std::vector<std::string>{"*.htm ", "*.gif"}));
  EXPECT_EQ(Split("*.txt;;*.doc"), (std::vector<std::string>{"*.txt", "", "*.doc"}));
  EXPECT_EQ(Split("*.txt;"), (std::vector<std::string>{"*.txt", ""}));
  EXPECT_EQ(Split(""), (std::vector<std::string>{""}));
}

TEST(MatchesPattern, WindowsWildcards) {
  EXPECT_TRUE(MatchesPattern("Index.HTM", "*.htm"));
  EXPECT_TRUE(MatchesPattern("index.htm", "*.HTM"));
  EXPECT_FALSE(MatchesPattern("index.html", "*.htm"));
  EXPECT_TRUE(MatchesPattern("a.b.c", "*.*"));
  EXPECT_TRUE(MatchesPattern("Makefile", "*.*"));  // no extension still matches *.*
  EXPECT_TRUE(MatchesPattern("readme", "read*.*"));
  EXPECT_TRUE(MatchesPattern("ab1.txt", "ab?.txt"));
  EXPECT_FALSE(MatchesPattern("ab.txt", "ab?.txt"));
  EXPECT_TRUE(MatchesPattern("a*b", "a*b"));
  EXPECT_TRUE(MatchesPattern("aXbYb", "a*b"));
  EXPECT_FALSE(MatchesPattern("aXbYc", "a*b"));
  // Letters beyond ASCII are compared exactly.
  EXPECT_TRUE(MatchesPattern("\xC3\xA9t\xC3\xA9.txt", "*.TXT"));
  EXPECT_FALSE(MatchesPattern("\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"));
}

TEST(MatchesPattern, UnusablePatternsMatchNothing) {
  EXPECT_FALSE(MatchesPattern("a.txt", ""));
  EXPECT_FALSE(MatchesPattern("a.txt", "../*.txt"));
  EXPECT_FALSE(MatchesPattern("a.txt", "sub/*.*"));
  EXPECT_FALSE(MatchesPattern("a.txt", "sub\\*.*"));
  // A kept blank is part of the pattern.
  EXPECT_FALSE(MatchesPattern("a.htm", "*.htm "));
}

TEST(SelectMatching, KindsDotsAndTemporaryFiles) {
  ScanList listing;
  auto add = [&](const std::string& name, bool dir) {
    FindData fd;
    fd.name = name;
    fd.attributes = dir ? kAttrDirectory : 0;
    listing.push_back(fd);
  };
  add(".", true);
  add("..", true);
  add("total 123", false);
  add("Total 123", false);
  add("total 1234", false);
  add("sub", true);
  add("page.htm", false);
  add(".twinbay-page.htm.partQx81Za", false);  // left by an interrupted download
  add(".twinbay-page.htm.part", false);        // left by an interrupted upload
  add(".twinbay-notes.txt", false);            // an ordinary hidden file
  ScanList files, folders;
  SelectMatching(listing, false, "*.*", files);
  SelectMatching(listing, true, "*.htm", folders);  // folders are listed with *.* by the walk
  ASSERT_EQ(files.size(), 5u);  // a file named "total 123" is a file like any other
  EXPECT_EQ(files[0].name, "total 123");
  EXPECT_EQ(files[4].name, ".twinbay-notes.txt");
  EXPECT_TRUE(folders.empty());
}

TEST(SortByName, CaseInsensitiveOrderAndNoDuplicates) {
  ScanList l;
  for (const char* n : {"b.txt", "_a", "A.txt", "a.txt", "b.txt", "B.TXT"}) {
    FindData fd;
    fd.name = n;
    l.push_back(fd);
  }
  SortByName(l);
  std::vector<std::string> names;
  for (auto& f : l) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"_a", "A.txt", "a.txt", "B.TXT", "b.txt"}));
}

}  // namespace
}  // namespace twinbay
