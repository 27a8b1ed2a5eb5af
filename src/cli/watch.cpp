// twinbay-cli sync --watch: the first run, then a run again once changes in
// the local tree have been quiet for a second, and every --interval minutes
// for the server's changes (which nothing here announces). Every run is a
// whole compare and sync with every guard; one that is refused or leaves
// something undone is named and watching goes on. The copies a run makes
// here are changes too: they cause at most one more run, which finds the
// two sides in step and copies nothing.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/cli.h"
#include "core/watcher.h"

namespace twinbay::cli {

void WatchLoop(const Options& o, const std::string& local, const std::function<int()>& pass,
               const std::function<bool()>& interrupted) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kQuiet = std::chrono::seconds(1);
  const auto serverEvery = std::chrono::minutes(o.intervalMinutes);
  FILE* const out = o.quiet ? nullptr : stdout;
  // Watching begins before the first run, so that nothing saved during it
  // goes unseen.
  CTreeWatcher watcher;
  watcher.Start(local);
  bool limitSaid = false;
  auto sayLimit = [&] {
    if (limitSaid || !watcher.Limited()) return;
    limitSaid = true;
    std::fprintf(stderr, "twinbay-cli: %s\n", Visible(watcher.Note()).c_str());
  };
  int runs = 0;
  auto run = [&](const char* why) {
    ++runs;
    if (out) std::fprintf(out, "watch: run %d (%s)\n", runs, why), std::fflush(out);
    const int status = pass();
    if (interrupted()) return;
    if (status != kExitOk)
      std::fprintf(out ? out : stderr, "watch: run %d %s (see above); watching goes on\n", runs,
                   status == kExitError ? "was refused or could not finish" : "left files as they are");
    std::fflush(stdout);
  };
  sayLimit();
  run("the first sync");
  if (out && !interrupted())
    std::fprintf(out, "watching %s for changes; the server every %d minute%s (Ctrl-C ends)\n", Visible(local).c_str(),
                 o.intervalMinutes, o.intervalMinutes == 1 ? "" : "s"), std::fflush(out);
  auto lastRun = Clock::now(), lastChange = lastRun;
  bool changed = false;
  while (!interrupted()) {
    if (watcher.Wait(200)) changed = true, lastChange = Clock::now();
    if (interrupted()) break;
    sayLimit();
    const auto now = Clock::now();
    // Where folders are not watched, a full compare at least every minute
    // finds their changes.
    const auto every = watcher.Limited() ? std::min<Clock::duration>(serverEvery, std::chrono::minutes(1))
                                         : Clock::duration(serverEvery);
    const char* why = changed && now - lastChange >= kQuiet ? "changes here"
                      : now - lastRun >= every ? (watcher.Limited() ? "a full compare" : "the server's changes")
                                               : nullptr;
    if (!why) continue;
    changed = false;
    run(why);
    lastRun = Clock::now();
  }
}

}  // namespace twinbay::cli
