#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/local_scan.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::TempDir;

std::vector<std::string> Names(ScanList l) {
  std::vector<std::string> n;
  for (auto& f : l) n.push_back(f.name + (f.IsDirectory() ? "/" : ""));
  std::sort(n.begin(), n.end());
  return n;
}

TEST(LocalScan, ListsRegularFilesAndFoldersOnly) {
  TempDir t;
  test::WriteFile(t / "a.txt", "12345", test::UnixTime(2024, 3, 1, 10, 0, 7));
  test::MakeFolder(t / "sub");
  ASSERT_EQ(mkfifo((t / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("a.txt", (t / "link.txt").c_str()), 0);
  ASSERT_EQ(symlink("missing", (t / "dangling").c_str()), 0);
  ASSERT_EQ(symlink("sub", (t / "sublink").c_str()), 0);

  ScanList all;
  ASSERT_TRUE(ListLocalFolder(t.path(), all));
  EXPECT_EQ(Names(all), (std::vector<std::string>{"a.txt", "link.txt", "sub/", "sublink/"}));
  auto a = std::find_if(all.begin(), all.end(), [](auto& f) { return f.name == "a.txt"; });
  EXPECT_EQ(a->size, 5u);
  EXPECT_EQ(a->lastWrite, TicksFromUtc(2024, 3, 1, 10, 0, 7));

  ScanList files, folders;
  ScanLocalFolder(false, files, t.path() + "/", "*.TXT");
  ScanLocalFolder(true, folders, t.path(), "*.*");
  EXPECT_EQ(Names(files), (std::vector<std::string>{"a.txt", "link.txt"}));
  EXPECT_EQ(Names(folders), (std::vector<std::string>{"sub/", "sublink/"}));
}

TEST(LocalScan, RefusesRelativeAndMissingPaths) {
  TempDir t;
  ScanList out;
  EXPECT_FALSE(IsUsableLocalPath(""));
  EXPECT_FALSE(IsUsableLocalPath("web"));
  EXPECT_FALSE(IsUsableLocalPath("./web"));
  EXPECT_FALSE(ListLocalFolder("", out));
  EXPECT_FALSE(ListLocalFolder(".", out));
  EXPECT_FALSE(ListLocalFolder(t / "nope", out));
  EXPECT_TRUE(out.empty());
  ScanList files;
  ScanLocalFolder(false, files, "", "*.*");
  EXPECT_TRUE(files.empty());
}

TEST(LocalScan, JoinAndStat) {
  EXPECT_EQ(JoinLocalPath("/web", "a"), "/web/a");
  EXPECT_EQ(JoinLocalPath("/", "a"), "/a");
  EXPECT_EQ(JoinLocalPath("", "a"), "a");
  TempDir t;
  test::WriteFile(t / "x.bin", "abc", 1'700'000'000);
  FindData fd;
  ASSERT_TRUE(StatLocalFile(t / "x.bin", fd));
  EXPECT_EQ(fd.name, "x.bin");
  EXPECT_EQ(fd.size, 3u);
  EXPECT_FALSE(StatLocalFile(t / "y.bin", fd));
}

}  // namespace
}  // namespace twinbay
