// twinbay-cli: compare (and, later, synchronise) without a window.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/comparer.h"
#include "engine/filters.h"

using namespace twinbay;

namespace {

constexpr int kExitInStep = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitError = 2;

struct Options {
  std::string command;
  std::string local;
  std::string remoteDir;
  std::string types = "*.*";
  bool includeSubFolders = true;
  bool ignoreSeconds = true;
  std::string format = "text";
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "twinbay-cli: %s\n", message.c_str());
  std::exit(kExitError);
}

void Usage(FILE* to) {
  std::fputs(
      "usage: twinbay-cli compare --local DIR --remote-dir DIR [--types TEXT] [--no-subfolders]\n"
      "                           [--exact-seconds] [--format text|tsv]\n"
      "  --remote-dir DIR   a local folder that stands in for the server's folder\n"
      "exit status: 0 everything in step, 1 differences found, 2 error\n",
      to);
}

Options Parse(int argc, char** argv) {
  Options o;
  if (argc < 2) {
    Usage(stderr);
    std::exit(kExitError);
  }
  o.command = argv[1];
  if (o.command == "--help" || o.command == "-h") {
    Usage(stdout);
    std::exit(0);
  }
  if (o.command != "compare") Fail("unknown command \"" + o.command + "\" (try --help)");
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--local") o.local = value();
    else if (a == "--remote-dir") o.remoteDir = value();
    else if (a == "--types") o.types = value();
    else if (a == "--no-subfolders") o.includeSubFolders = false;
    else if (a == "--exact-seconds") o.ignoreSeconds = false;
    else if (a == "--format") {
      o.format = value();
      if (o.format != "text" && o.format != "tsv") Fail("--format takes text or tsv");
    } else Fail("unknown option " + a);
  }
  if (o.local.empty()) Fail("--local is required");
  if (o.remoteDir.empty()) Fail("--remote-dir is required");
  if (o.types.empty()) o.types = "*.*";
  return o;
}

std::string Relative(const std::string& root, const std::string& path) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (path == r || path + "/" == r) return ".";
  if (path.compare(0, r.size(), r) == 0) {
    std::string rest = path.substr(r.size());
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    return rest.empty() ? "." : rest;
  }
  return path;
}

const char* ClassName(int folderClass) {
  switch (folderClass) {
    case FolderRoot: return "root";
    case FolderOnBoth: return "both";
    case FolderLocalOnly: return "local";
    default: return "remote";
  }
}

char StateSymbol(int32_t state) { return state == CopyRemoteToLocal ? '<' : state == InStep ? '=' : '>'; }

std::string SizeText(const FileSide& s) { return s ? std::to_string(s->size) : "-"; }
std::string TimeText(const FileSide& s) { return s ? FormatUtc(s->lastWrite) : "-"; }

void PrintResult(const CFolderCollection& collection, const std::string& localRoot, const std::string& format) {
  auto guard = collection.Lock();
  struct Row {
    std::string kind, state, path, lsize, ltime, rsize, rtime;
  };
  std::vector<Row> rows;
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    const std::string rel = Relative(localRoot, r->localPath);
    rows.push_back({"D", ClassName(r->folderClass), rel, "", "", "", ""});
    for (const auto& e : r->entries) {
      const std::string path = rel == "." ? e->Name() : rel + "/" + e->Name();
      rows.push_back({"F", std::string(1, StateSymbol(e->state)), path, SizeText(e->local), TimeText(e->local),
                      SizeText(e->remote), TimeText(e->remote)});
    }
  }
  if (format == "tsv") {
    for (const Row& row : rows) {
      if (row.kind == "D") std::printf("D\t%s\t%s\n", row.state.c_str(), row.path.c_str());
      else
        std::printf("F\t%s\t%s\t%s\t%s\t%s\t%s\n", row.state.c_str(), row.path.c_str(), row.lsize.c_str(),
                    row.ltime.c_str(), row.rsize.c_str(), row.rtime.c_str());
    }
    return;
  }
  size_t wPath = 4, wSize = 10;
  for (const Row& row : rows) {
    wPath = std::max(wPath, row.path.size() + (row.kind == "D" ? 1 : 0));
    wSize = std::max({wSize, row.lsize.size(), row.rsize.size()});
  }
  std::printf("  %-*s  %*s  %-20s  %*s  %-20s\n", static_cast<int>(wPath), "Path", static_cast<int>(wSize),
              "Local size", "Local time (UTC)", static_cast<int>(wSize), "Rem. size", "Remote time (UTC)");
  for (const Row& row : rows) {
    if (row.kind == "D") {
      std::printf("\n%-*s [%s]\n", static_cast<int>(wPath + 2), (row.path + "/").c_str(), row.state.c_str());
    } else {
      std::printf("%s %-*s  %*s  %-20s  %*s  %-20s\n", row.state.c_str(), static_cast<int>(wPath), row.path.c_str(),
                  static_cast<int>(wSize), row.lsize.c_str(), row.ltime.c_str(), static_cast<int>(wSize),
                  row.rsize.c_str(), row.rtime.c_str());
    }
  }
}

void PrintSummary(const CFolderCollection& collection) {
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  const NumberFormat nf = NumberFormat::FromUserLocale();
  std::printf("\nLocal to Remote: %s\nRemote to Local: %s\n", TaggedSummary(t.taggedUp, t.allUp, t.bytesUp, nf).c_str(),
              TaggedSummary(t.taggedDown, t.allDown, t.bytesDown, nf).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  const std::string problem = CFolderComparer::CheckPaths(o.local, "/");
  if (!problem.empty()) Fail(problem);
  FolderId id;
  if (!LocalFolderId(o.remoteDir, id)) Fail("the folder \"" + o.remoteDir + "\" does not exist or is not a full path");

  LocalFolderLister lister(o.remoteDir);
  MemoryFolderTree tree;
  CFolderCollection collection;
  CFolderComparer comparer;
  comparer.BeginCompare(nullptr, &lister, &tree, &collection, o.local, "/", true, o.ignoreSeconds);
  comparer.Run(o.local, "/", o.types, o.includeSubFolders);

  PrintResult(collection, o.local, o.format);
  if (o.format == "text") PrintSummary(collection);
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  return t.allUp + t.allDown == 0 ? kExitInStep : kExitDifferences;
}
