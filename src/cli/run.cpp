// twinbay-cli: a compare or sync run, step by step: the remote side opened, the
// compare, then the result, a dry run, or the copies and what became of them.

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
  if (ReportIncomplete(collection, local) > 0) return kExitError;
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  return t.allUp + t.allDown == 0 ? kExitOk : kExitDifferences;
}

TransferOptions SyncOptions(const Options& o) {
  TransferOptions options;
  options.localToRemote = o.up || !o.down;
  options.remoteToLocal = o.down || !o.up;
  options.setLocalTimestamps = o.setLocalTimestamps;
  options.ignoreSeconds = o.ignoreSeconds;
  options.filter = FilterAll;
  options.connections = o.connections;
  // Deletions that follow one on the other side go with their direction.
  options.deleteFollowing = true;
  return options;
}

// --dry-run: names what a sync would copy and copies nothing.
int DryRun(const CFolderCollection& collection, const TransferOptions& options, const std::string& local) {
  int n = 0;
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    for (const auto& e : r->entries)
      if (CTransferJob::Selected(*e, options)) {
        std::printf("would copy %s %s\n", e->state == CopyLocalToRemote ? "up  " : "down",
                    Visible(EntryPath(Relative(local, r->localPath), *e)).c_str());
        ++n;
      }
  }
  std::printf("%d file%s would be copied\n", n, n == 1 ? "" : "s");
  return ReportIncomplete(collection, local) > 0 ? kExitError : kExitOk;
}

// What is to be copied, to say afterwards what an interruption left undone.
struct Planned {
  bool upload;
  std::string localPath;
};

std::vector<Planned> PlannedCopies(const CFolderCollection& collection, const TransferOptions& options) {
  std::vector<Planned> planned;
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    for (const auto& e : r->entries)
      if (CTransferJob::Selected(*e, options))
        planned.push_back({e->state == CopyLocalToRemote, JoinLocalPath(r->localPath, e->Name())});
  }
  return planned;
}

// Copies what the compare tagged and says what became of each file.
int Sync(const Options& o, CSyncController& controller, const CFolderCollection& collection,
         const TransferOptions& options, const std::string& local) {
  const std::vector<Planned> planned = PlannedCopies(collection, options);
  SyncTotals totals;
  CountTagged(collection, totals, options.filter);
  // On a terminal one live line stands for the files; piped, every file gets
  // its line as before.
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  std::unique_ptr<ProgressLine> line;
  if (terminal && !o.quiet) line = std::make_unique<ProgressLine>(stdout, TerminalWidth());
  LiveProgress progress(line.get(), controller);
  if (std::string refused; !controller.RunSync(options, totals, &progress, &refused)) Fail(refused);
  if (line) line->Clear();
  ReportServerTime(controller);
  // What is said of each file: nothing with -q but failures (on stderr); on a
  // terminal the copies only with -v.
  FILE* const report = o.quiet ? nullptr : stdout;
  const bool eachCopy = !o.quiet && (!terminal || o.verbose);
  int copied = 0, failed = 0, warnings = 0;
  std::set<std::string> tried;
  for (const TransferOutcome& out : controller.Job()->Outcomes()) {
    tried.insert(out.localPath);
    const std::string rel = Visible(Relative(local, out.localPath));
    const char* way = out.upload ? "up  " : "down";
    if (out.deletion) way = out.upload ? "delete remote" : "delete local";
    if (out.ok) {
      if (eachCopy) std::printf("copied %s %s\n", way, rel.c_str());
      ++copied;
      if (!out.warning.empty()) {
        if (report) std::fprintf(report, "WARNING %s %s: %s\n", way, rel.c_str(), Visible(out.warning).c_str());
        ++warnings;
      }
    } else {
      std::fprintf(report ? report : stderr, "%s %s %s: %s\n", out.cancelled ? "CANCELLED" : "FAILED", way,
                   rel.c_str(), Visible(out.error).c_str());
      ++failed;
    }
  }
  if (g_signal.load() != 0) {
    int untouched = 0;
    for (const Planned& p : planned)
      if (!tried.count(p.localPath)) {
        if (report)
          std::fprintf(report, "not copied %s %s\n", p.upload ? "up  " : "down",
                       Visible(Relative(local, p.localPath)).c_str());
        ++untouched;
      }
    if (report) std::fprintf(report, "interrupted: %d copied, %d not copied\n", copied, failed + untouched);
    std::fflush(stdout);
    return InterruptedStatus();
  }
  if (report)
    std::fprintf(report, "%d copied, %d failed, %d warning%s\n", copied, failed, warnings, warnings == 1 ? "" : "s");
  if (ReportIncomplete(collection, local) > 0) return kExitError;
  return failed == 0 ? kExitOk : kExitDifferences;
}

}  // namespace

int CompareOrSync(Options o) {
  const bool sync = o.command == "sync";
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
  compare.includeSubFolders = o.includeSubFolders;
  compare.ignoreSeconds = o.ignoreSeconds;
  compare.connections = o.connections;
  // Only a real sync removes what interrupted transfers left; a compare and a
  // dry run name it.
  compare.removeStaleTemps = sync && !o.dryRun;
  CatchInterrupts();
  g_controller.store(&controller);
  struct Unhook {
    ~Unhook() { g_controller.store(nullptr); }
  } unhook;  // before the controller goes
  if (!controller.RunCompare(compare, nullptr, problem)) Fail(problem);
  ReportServerTime(controller);
  if (g_signal.load() != 0) {
    std::fprintf(stderr, "twinbay-cli: interrupted during the compare; nothing was copied\n");
    return InterruptedStatus();
  }
  ReportStaleTemps(o, sync, controller);

  if (!sync) return FinishCompare(collection, local, o.format);

  const TransferOptions options = SyncOptions(o);
  if (o.dryRun) return DryRun(collection, options, local);
  if (std::string lost; !controller.EnsureConnected(lost)) Fail("the connection was lost: " + lost);
  return Sync(o, controller, collection, options, local);
}

}  // namespace twinbay::cli
