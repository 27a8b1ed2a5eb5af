// The window's watch mode: the local folders watched on a thread of their
// own, which posts an event; a compare and a sync then run as the user's
// would, with the choices last confirmed. The window's thread never waits.

#include "ui/view/twinbay_view.h"

namespace twinbay {

void CTwinbayView::SetWatching(bool on) {
  watching_ = on;
  if (!on) {
    watch_.Stop();
    watchRun_ = watchDue_ = false;
  } else if (synced_) {
    WatchAfterSync();
  }
}

// The end of a sync: watching begins (or goes on) on its local folder; a
// change seen while the run went on brings one more run.
void CTwinbayView::WatchAfterSync() {
  synced_ = true;
  if (!watching_ || shuttingDown_) return;
  if (!watch_.Running())
    watch_.Start(controller_.LocalRoot(), std::chrono::minutes(5), [this] { PostNotice<WatchChangedEvent>(this); });
  if (watchDue_) {
    watchDue_ = false;
    PostNotice<WatchChangedEvent>(this);
  }
}

void CTwinbayView::OnWatchChanged() {
  if (!watching_) return;
  if (!CanCompare()) {  // a run, a dialog or a wait on the server under way: after it
    watchDue_ = true;
    return;
  }
  watchRun_ = true;
  OnCompare();
}

// After a compare the watch began: the sync, without asking again; the
// deletion guard, incomplete folders and conflicts stop it as ever.
void CTwinbayView::SyncAfterWatchCompare() {
  watchRun_ = false;
  if (!watching_ || !AnyToDo() || !CanSynchronize()) return;
  TellFrame(true);
  if (!StartCheck(AfterCheck::Synchronize, "Checking the connection...")) TellFrame(false);
}

}  // namespace twinbay
