// twinbay-cli: a compare or sync run, step by step: the remote side opened, the
// compare, then the result, a dry run, or the copies and what became of them.

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/progress_line.h"
#include "engine/filters.h"
#include "engine/totals.h"

namespace twinbay::cli {
namespace {

// ---- interruption ----------------------------------------------------------------

// SIGINT and SIGTERM act as Cancel: the handler only records the signal and
// raises the abort flags of what runs (lock-free atomic stores); the main flow
// then cleans up and reports. A second signal ends the program at once.
std::atomic<int> g_signal{0};
std::atomic<CSyncController*> g_controller{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<CSyncController*>::is_always_lock_free);

extern "C" void OnInterrupt(int sig) {
  if (g_signal.exchange(sig) != 0) _exit(128 + sig);
  if (CSyncController* controller = g_controller.load()) controller->Abort();
}

void CatchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int InterruptedStatus() { return 128 + g_signal.load(); }

// sync --watch: a run that cannot go on (refused, the connection lost) ends
// that run, said as a failure is, and watching goes on.
bool g_watching = false;
struct RunEnded {};

[[noreturn]] void EndRun(const std::vector<std::string>& lines) {
  if (!g_watching) Fail(lines);
  for (const std::string& line : lines) std::fprintf(stderr, "twinbay-cli: %s\n", Visible(line).c_str());
  throw RunEnded{};
}

// Keeps the live progress line of a sync up to date.
class LiveProgress : public ITransferListener {
 public:
  LiveProgress(ProgressLine* line, const CSyncController& controller) : line_(line), controller_(controller) {}
  void TransferProgress() override { Draw(false); }
  void TransferFolderChanged(CFolderRecord*) override {}
  void TransferFinished() override { Draw(true); }

 private:
  void Draw(bool force) {
    if (!line_ || !controller_.Job()) return;
    const CTransferJob::Progress p = controller_.Job()->GetProgress();
    line_->Update({p.filesDone, p.filesTotal, p.bytesDone, p.bytesTotal, 0}, force);
  }
  ProgressLine* line_;
  const CSyncController& controller_;
};

// ---- compare and sync --------------------------------------------------------

// The terminal's width in columns (80 when it does not say).
int TerminalWidth() {
  winsize ws{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

std::string AbsoluteLocal(const std::string& path) {
  if (path.empty()) Fail("--local is required");
  std::error_code ec;
  std::string abs = std::filesystem::absolute(path, ec).lexically_normal().string();
  if (ec) Fail("cannot use the local path " + path);
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  return abs;
}

// Temporary files of an earlier run that ended abruptly: removed before a
// real sync, else named.
void ReportStaleTemps(const Options& o, bool sync, const CSyncController& controller) {
  FILE* const staleOut = (o.format == "tsv" && !sync) || o.quiet ? stderr : stdout;
  if (const int swept = controller.StaleTempsRemoved())
    std::fprintf(staleOut, "Removed %d stale temporary file%s left by an interrupted transfer\n", swept,
                 swept == 1 ? "" : "s");
  if (const std::vector<std::string> kept = controller.StaleTempsKept(); !kept.empty()) {
    for (const std::string& k : kept) std::fprintf(staleOut, "would remove %s\n", Visible(k).c_str());
    std::fprintf(staleOut, "%zu stale temporary file%s left by an interrupted transfer would be removed by a sync\n",
                 kept.size(), kept.size() == 1 ? "" : "s");
  }
}

// The end of a compare: the result, its summary and the exit status.
int FinishCompare(const CFolderCollection& collection, const std::string& local, const std::string& format) {
  PrintResult(collection, local, format);
  if (format == "text") PrintSummary(collection);
  int alone = 0;
  if (ReportIncomplete(collection, local, &alone) > 0) return kExitError;
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  return t.allUp + t.allDown + t.deletesUp + t.deletesDown + t.conflicts + alone == 0 ? kExitOk : kExitDifferences;
}

// Calls fn(record, entry) for every entry, under the collection's lock.
template <typename Fn>
void ForEachEntry(const CFolderCollection& collection, Fn fn) {
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    for (const auto& e : r->entries) fn(*r, *e);
  }
}

std::string PathOf(const std::string& local, const CFolderRecord& r, const CFileEntry& e) {
  return Visible(EntryPath(Relative(local, r.localPath), e));
}

// "up  ", "down", or for a deletion which side's copy goes.
const char* Way(bool upload, bool deletion) {
  return deletion ? (upload ? "remote" : "local") : upload ? "up  " : "down";
}

// What a sync leaves for the user to look at, one line each: conflicts, and
// the files a mirror keeps because they are newer on its destination.
std::vector<std::string> Unsettled(const CFolderCollection& collection, const Options& o, const std::string& local) {
  std::vector<std::string> lines;
  ForEachEntry(collection, [&](const CFolderRecord& r, const CFileEntry& e) {
    if (e.state == Conflict)
      lines.push_back("CONFLICT " + PathOf(local, r, e) +
                      (!e.local    ? ": deleted here and changed on the server since the last sync"
                       : !e.remote ? ": deleted on the server and changed here since the last sync"
                                   : ": changed on both sides since the last sync"));
    else if (o.mirror && e.state == (o.up ? CopyRemoteToLocal : CopyLocalToRemote) && (o.up ? e.local : e.remote))
      lines.push_back(std::string("kept ") + (o.up ? "remote " : "local ") + PathOf(local, r, e) +
                      (o.up ? ": newer on the server than here" : ": newer here than on the server"));
    else if (!o.keepDeleted && e.tagged && CTransferJob::DeletesThroughLink(r, e) &&
             (e.state == DeleteRemote ? o.up || !o.down : o.down || !o.up))
      lines.push_back(std::string("kept ") + (e.state == DeleteRemote ? "remote " : "local ") + PathOf(local, r, e) +
                      ": in a folder reached through a link; nothing is deleted through a link");
  });
  // A mirror leaves a link to a folder on its destination as it is.
  auto guard = collection.Lock();
  for (size_t i = 1; o.mirror && i < collection.GetCount(); ++i) {
    const CFolderRecord& r = *collection.GetAt(i);
    if (r.folderClass == (o.up ? FolderRemoteOnly : FolderLocalOnly) && r.ThroughLink(o.up) &&
        !r.parent->ThroughLink(o.up))
      lines.push_back(std::string("kept ") + (o.up ? "remote " : "local ") + Visible(Relative(local, r.localPath)) +
                      "/: a link to a folder; nothing is deleted through a link");
  }
  return lines;
}

// Says what was left unsettled (on stderr when stdout is not for reports);
// how many.
int ReportUnsettled(const std::vector<std::string>& lines, FILE* out) {
  for (const std::string& line : lines) std::fprintf(out, "%s\n", line.c_str());
  if (!lines.empty())
    std::fprintf(out, "%zu file%s left as %s on both sides\n", lines.size(), lines.size() == 1 ? "" : "s",
                 lines.size() == 1 ? "it is" : "they are");
  return static_cast<int>(lines.size());
}

// The deletions that follow one on the other side which this run leaves (its
// direction or --keep-deleted), one line per side; how many files.
int ReportLeftDeletions(const CFolderCollection& collection, const TransferOptions& options, FILE* out) {
  long here = 0, there = 0;  // deleted here (still on the server), deleted there (still here)
  ForEachEntry(collection, [&](const CFolderRecord& r, const CFileEntry& e) {
    if (IsDeleteState(e.state) && !r.UnderIncomplete() && !CTransferJob::Selected(e, options))
      ++(e.state == DeleteRemote ? here : there);
  });
  auto say = [&](long n, const char* gone, const char* still, bool direction, const char* other) {
    if (n == 0) return;
    const std::string why = !options.deleteFollowing ? std::string("--keep-deleted")
                            : direction ? std::string("not tagged")
                                        : std::string("a run ") + other + (n == 1 ? " leaves it" : " leaves them");
    std::fprintf(out, "%ld file%s deleted %s %s still %s (%s)\n", n, n == 1 ? "" : "s", gone, n == 1 ? "is" : "are",
                 still, why.c_str());
  };
  say(here, "here", "on the server", options.localToRemote, "--down");
  say(there, "on the server", "here", options.remoteToLocal, "--up");
  return static_cast<int>(here + there);
}

// The folders on one side only that a sync would remove (deepest first):
// those its deletions leave empty, or for a mirror every one left empty.
std::vector<std::string> FoldersToRemove(const CFolderCollection& collection, const TransferOptions& options,
                                         const std::string& local) {
  auto guard = collection.Lock();
  const size_t n = collection.GetCount();
  std::vector<char> kept(n, 0), emptied(n, 0);
  std::vector<std::string> out;
  for (size_t i = n; i-- > 1;) {
    const CFolderRecord& r = *collection.GetAt(i);
    const bool remoteSide = r.folderClass == FolderRemoteOnly;
    bool goes = !kept[i] && (remoteSide ? options.localToRemote
                                        : r.folderClass == FolderLocalOnly && options.remoteToLocal);
    for (const CFolderRecord* p = &r; goes && p; p = p->parent) goes = !p->incomplete;
    goes = goes && !r.ThroughLink(remoteSide);
    for (const auto& e : r.entries) {
      if (!(remoteSide ? e->remote : e->local)) continue;
      if (IsDeleteState(e->state) && CTransferJob::SelectedIn(r, *e, options)) emptied[i] = 1;
      else goes = false;
    }
    if (goes && (emptied[i] || options.mirror)) {
      out.push_back(std::string(remoteSide ? "remote " : "local ") + Visible(Relative(local, r.localPath)) + "/");
      if (r.parent) emptied[r.parent->index] = 1;
    } else if (r.parent) {
      kept[r.parent->index] = 1;
    }
  }
  return out;
}

// The guard's refusal, with what allows the run.
[[noreturn]] void Refuse(const DeletionCheck& check) {
  EndRun({check.problem, "--dry-run lists the deletions; to make them, run again with --max-delete " +
                           std::to_string(check.local + check.remote)});
}

// A warning when the last synchronised state could not be written (once:
// the first failure stays).
void ReportStateError(const CSyncController& controller) {
  static std::string said;
  const std::string e = controller.StateError();
  if (e.empty() || e == said) return;
  said = e;
  std::fprintf(stderr, "twinbay-cli: warning: the last synchronised state could not be written (%s); the next "
                       "run may ask about changes that are not there\n", Visible(e).c_str());
}

TransferOptions SyncOptions(const Options& o) {
  TransferOptions options;
  options.localToRemote = o.up || !o.down;
  options.remoteToLocal = o.down || !o.up;
  options.setLocalTimestamps = o.setLocalTimestamps;
  options.ignoreSeconds = o.ignoreSeconds;
  options.filter = FilterAll;
  options.connections = o.connections;
  options.bytesPerSecond = o.bytesPerSecond;
  options.verify = o.verify;
  // Deletions that follow one on the other side go with their direction; a
  // mirror's too, and it removes every folder on the destination only.
  options.deleteFollowing = !o.keepDeleted;
  options.mirror = o.mirror;
  options.localTrash = !o.noTrash;
  options.backupDir = o.backupDir;
  return options;
}

// --dry-run: names what a sync would copy and delete, and does nothing.
int DryRun(const CFolderCollection& collection, const Options& o, const TransferOptions& options,
           const std::string& local, const DeletionCheck& check) {
  int copies = 0, deletions = 0;
  ForEachEntry(collection, [&](const CFolderRecord& r, const CFileEntry& e) {
    if (!CTransferJob::SelectedIn(r, e, options)) return;
    const bool up = IsUpState(e.state);
    if (IsDeleteState(e.state)) ++deletions;
    else ++copies;
    std::printf("would %s %s %s\n", IsDeleteState(e.state) ? "delete" : "copy", Way(up, IsDeleteState(e.state)),
                PathOf(local, r, e).c_str());
  });
  for (const std::string& folder : FoldersToRemove(collection, options, local))
    std::printf("would delete %s%s\n", folder.c_str(), o.types == "*.*" ? "" : " (if no other file is in it)");
  // resolve names what it leaves itself; the rest of the compare is not its business.
  const int unsettled = o.command == "resolve" ? 0 :
      ReportUnsettled(Unsettled(collection, o, local), stdout) + ReportLeftDeletions(collection, options, stdout);
  std::printf("%d file%s would be copied\n", copies, copies == 1 ? "" : "s");
  if (deletions > 0) std::printf("%d file%s would be deleted\n", deletions, deletions == 1 ? "" : "s");
  if (!check.allowed)
    std::printf("The run would be refused: %s\nTo make them, run with --max-delete %ld\n", Visible(check.problem).c_str(),
                check.local + check.remote);
  int alone = 0;
  if (ReportIncomplete(collection, local, &alone) > 0 || !check.allowed) return kExitError;
  return unsettled + alone > 0 ? kExitDifferences : kExitOk;
}

// What is to be copied, to say afterwards what an interruption left undone.
struct Planned {
  bool upload, deletion;
  std::string localPath;
};

std::vector<Planned> PlannedCopies(const CFolderCollection& collection, const TransferOptions& options) {
  std::vector<Planned> planned;
  ForEachEntry(collection, [&](const CFolderRecord& r, const CFileEntry& e) {
    if (CTransferJob::SelectedIn(r, e, options))
      planned.push_back({IsUpState(e.state), IsDeleteState(e.state), JoinLocalPath(r.localPath, e.Name())});
  });
  return planned;
}


// Copies what the compare tagged and says what became of each file.
int Sync(const Options& o, CSyncController& controller, const CFolderCollection& collection,
         const TransferOptions& options, const std::string& local) {
  const std::vector<Planned> planned = PlannedCopies(collection, options);
  // The folders a run may remove come as outcomes of their own.
  std::set<std::string> oneSided;
  {
    auto guard = collection.Lock();
    for (size_t i = 1; i < collection.GetCount(); ++i)
      if (collection.GetAt(i)->folderClass != FolderOnBoth) oneSided.insert(collection.GetAt(i)->localPath);
  }
  SyncTotals totals;
  CountTagged(collection, totals, options.filter);
  // On a terminal one live line stands for the files; piped, every file gets
  // its line as before.
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  std::unique_ptr<ProgressLine> line;
  if (terminal && !o.quiet) line = std::make_unique<ProgressLine>(stdout, TerminalWidth());
  LiveProgress progress(line.get(), controller);
  if (std::string refused; !controller.RunSync(options, totals, &progress, &refused, o.maxDelete)) EndRun({refused});
  if (line) line->Clear();
  ReportServerTime(controller);
  ReportStateError(controller);
  // What is said of each file: nothing with -q but failures (on stderr); on a
  // terminal the copies only with -v; every deletion.
  FILE* const report = o.quiet ? nullptr : stdout;
  const bool eachCopy = !o.quiet && (!terminal || o.verbose);
  int copied = 0, deleted = 0, failed = 0, warnings = 0;
  bool deletions = std::any_of(planned.begin(), planned.end(), [](const Planned& p) { return p.deletion; });
  std::set<std::string> tried;
  for (const TransferOutcome& out : controller.Job()->Outcomes()) {
    tried.insert(out.localPath);
    deletions = deletions || out.deletion;
    const std::string rel = Visible(Relative(local, out.localPath)) + (oneSided.count(out.localPath) ? "/" : "");
    const char* way = Way(out.upload, out.deletion);
    // Where a deleted or replaced file was kept.
    const std::string kept = out.keptAt.empty() ? "" : " (kept at " + Visible(out.keptAt) + ")";
    if (out.ok && out.deletion) {
      if (report) std::fprintf(report, "deleted %s %s%s\n", way, rel.c_str(), kept.c_str());
      deleted += rel.back() != '/';  // files; the folders emptied are named only
    } else if (out.ok) {
      if (eachCopy && out.resumedFrom > 0)
        std::printf("copied %s %s (continued after %llu bytes a broken copy left)\n", way, rel.c_str(),
                    static_cast<unsigned long long>(out.resumedFrom));
      else if (eachCopy || (report && !kept.empty())) std::printf("copied %s %s%s\n", way, rel.c_str(), kept.c_str());
      ++copied;
      if (!out.warning.empty()) {
        if (report) std::fprintf(report, "WARNING %s %s: %s\n", way, rel.c_str(), Visible(out.warning).c_str());
        ++warnings;
      }
    } else {
      std::fprintf(report ? report : stderr, "%s %s%s %s: %s\n", out.cancelled ? "CANCELLED" : "FAILED",
                   out.deletion ? "delete " : "", way, rel.c_str(), Visible(out.error).c_str());
      ++failed;
    }
  }
  const std::string deletedText = deletions ? std::to_string(deleted) + " deleted, " : "";
  if (g_signal.load() != 0) {
    int untouched = 0;
    for (const Planned& p : planned)
      if (!tried.count(p.localPath)) {
        if (report)
          std::fprintf(report, "not %s %s %s\n", p.deletion ? "deleted" : "copied", Way(p.upload, p.deletion),
                       Visible(Relative(local, p.localPath)).c_str());
        ++untouched;
      }
    if (report)
      std::fprintf(report, "interrupted: %d copied, %s%d not %s\n", copied, deletedText.c_str(), failed + untouched,
                   deletions ? "done" : "copied");
    std::fflush(stdout);
    return InterruptedStatus();
  }
  FILE* const notes = report ? report : stderr;
  const int unsettled = o.command == "resolve" ? 0 :
      ReportUnsettled(Unsettled(collection, o, local), notes) + ReportLeftDeletions(collection, options, notes);
  if (report)
    std::fprintf(report, "%d copied, %s%d failed, %d warning%s\n", copied, deletedText.c_str(), failed, warnings,
                 warnings == 1 ? "" : "s");
  int alone = 0;
  if (ReportIncomplete(collection, local, &alone) > 0) return kExitError;
  return failed == 0 && unsettled == 0 && alone == 0 ? kExitOk : kExitDifferences;
}

// One compare and, for a sync, what follows it; the exit status.
int Pass(const Options& o, CSyncController& controller, CFolderCollection& collection,
         const CompareOptions& compare, const std::string& local) {
  // resolve is a sync of the conflicts it settles alone, under every guard of one.
  const bool sync = o.command == "sync" || o.command == "resolve";
  std::string problem;
  if (!controller.RunCompare(compare, nullptr, problem)) EndRun({problem});
  ReportServerTime(controller);
  ReportStateError(controller);
  if (g_signal.load() != 0) {
    std::fprintf(stderr, "twinbay-cli: interrupted during the compare; nothing was copied\n");
    return InterruptedStatus();
  }
  ReportStaleTemps(o, sync, controller);
  if (const std::string note = controller.ChecksumNote(); !note.empty())
    std::fprintf(stderr, "twinbay-cli: %s\n", Visible(note).c_str());

  if (!sync) return FinishCompare(collection, local, o.format);

  const int leftAlone = o.command == "resolve" ? ChooseConflicts(collection, o, local) : 0;
  auto settled = [&](int status) { return status == kExitOk && leftAlone > 0 ? kExitDifferences : status; };
  const TransferOptions options = SyncOptions(o);
  const DeletionCheck check = controller.CheckDeletions(options, o.maxDelete);
  if (o.dryRun) return settled(DryRun(collection, o, options, local, check));
  if (!check.allowed) Refuse(check);
  if (std::string lost; !controller.EnsureConnected(lost)) EndRun({"the connection was lost: " + lost});
  return settled(Sync(o, controller, collection, options, local));
}

}  // namespace

int CompareOrSync(Options o) {
  // resolve is a sync of the conflicts it settles alone, under every guard of one.
  const bool sync = o.command == "sync" || o.command == "resolve";
  Target target = ResolveTarget(o);
  if (o.types.empty()) o.types = "*.*";
  const std::string local = AbsoluteLocal(o.local);
  std::string problem = CFolderComparer::CheckPaths(local);
  if (!problem.empty()) Fail(problem);

  CFolderCollection collection;
  CSyncController controller(collection);
  if (!o.remoteDir.empty()) o.remoteDir = AbsoluteLocal(o.remoteDir);
  OpenRemote(o, target, controller);

  CompareOptions compare;
  compare.localPath = local;
  compare.remotePath = target.path;
  compare.fileTypes = o.types;
  compare.exclude = o.exclude;
  compare.includeSubFolders = o.includeSubFolders;
  compare.ignoreSeconds = o.ignoreSeconds;
  compare.checksum = o.checksum;
  compare.connections = o.connections;
  // Only a real sync removes what interrupted transfers left; a compare and a
  // dry run name it.
  compare.removeStaleTemps = sync && !o.dryRun;
  CatchInterrupts();
  g_controller.store(&controller);
  struct Unhook {
    ~Unhook() { g_controller.store(nullptr); }
  } unhook;  // before the controller goes
  // A mirror classes by the times (the source wins) but keeps the state up
  // to date for the runs after it.
  compare.memory = o.noState  ? CompareOptions::Memory::Off
                   : o.mirror ? CompareOptions::Memory::RecordOnly
                              : CompareOptions::Memory::On;
  compare.mirror = !o.mirror ? MirrorPolicy::None : o.up ? MirrorPolicy::Up : MirrorPolicy::Down;
  compare.connectionName = o.connection;
  compare.backupDir = o.backupDir;
  if (!o.watch) return Pass(o, controller, collection, compare, local);
  g_watching = true;
  WatchLoop(o, local, [&] {
    try {
      return Pass(o, controller, collection, compare, local);
    } catch (const RunEnded&) {
      return kExitError;
    }
  }, [] { return g_signal.load() != 0; });
  return InterruptedStatus();
}

// state forget: the place is the stored connection's server, login and port,
// or the address of --remote or --remote-dir.
int StateCommand(Options o) {
  if ((!o.connection.empty() + !o.remoteUrl.empty() + !o.remoteDir.empty()) != 1)
    Fail("state forget needs one of --connection, --remote or --remote-dir");
  FileSystemTarget place;
  if (!o.remoteDir.empty()) place.protocol = FsProtocol::Local, place.localRoot = AbsoluteLocal(o.remoteDir);
  else place = ResolveTarget(o).place;
  std::string error, note;
  const int n = CSyncController::ForgetState(place, o.connection, error, note);
  if (n < 0) Fail("the last synchronised state cannot be used: " + error);
  if (!note.empty()) std::printf("%s\n", Visible(note).c_str());
  std::printf("%d folder pair%s of %s forgotten\n", n, n == 1 ? "" : "s",
              Visible(CSyncController::PlaceOf(place)).c_str());
  return kExitOk;
}

}  // namespace twinbay::cli
