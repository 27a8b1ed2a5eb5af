// The program's own posted messages, as Qt events whose types are the message
// numbers and whose data are typed fields.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <utility>

#include "core/controller.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace twinbay {

class CFolderRecord;

enum TwinbayMessage : int {
  WM_PAINTCAPTION = 2024,
  WM_CONNECTDONE = 2025,
  WM_COMPAREDONE = 2026,
  WM_SHOWFOLDER = 2027,
  WM_TRANSFERPROGRESS = 2028,
  WM_FOLDERCHANGED = 2029,
  WM_BUSYCHANGED = 2030,
  WM_SESSIONDONE = 2031,
  WM_FREESPACE = 2032,
  WM_WATCHCHANGED = 2033,
};

// An event of one of the program's message numbers.
template <TwinbayMessage Message>
class MessageEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(Message);
  MessageEvent() : QEvent(kType) {}
};

// The event as one of the program's kinds, or null when it is another.
template <class E>
const E* EventAs(const QEvent* e) {
  return e->type() == E::kType ? static_cast<const E*>(e) : nullptr;
}

// The connect worker is done.
struct ConnectDoneEvent : MessageEvent<WM_CONNECTDONE> {
  explicit ConnectDoneEvent(const SessionOutcome& outcome) : outcome(outcome) {}
  const SessionOutcome outcome;  // cancelled: stopped by the user
};

// The compare worker is done (its helper connections logged out).
struct CompareDoneEvent : MessageEvent<WM_COMPAREDONE> {};

// The folder tree's selection moved to a folder.
struct ShowFolderEvent : MessageEvent<WM_SHOWFOLDER> {
  explicit ShowFolderEvent(CFolderRecord* record) : record(record) {}
  CFolderRecord* const record;
};

// How a transfer goes, for the Progress dialog.
enum class TransferStep {
  Progress,       // the figures moved on
  FolderChanged,  // the entries of a folder changed
  Finished,       // the transfer is over
};

struct TransferProgressEvent : MessageEvent<WM_TRANSFERPROGRESS> {
  TransferProgressEvent(TransferStep step, CFolderRecord* record) : step(step), record(record) {}
  const TransferStep step;
  CFolderRecord* const record;  // FolderChanged only
};

// What happened to the folder records.
enum class FolderChange {
  Added,     // the compare added records (no record named: all not shown yet)
  Finished,  // the compare finished walking the folder
  Changed,   // a transfer or a delete changed the folder's entries
};

struct FolderChangedEvent : MessageEvent<WM_FOLDERCHANGED> {
  FolderChangedEvent(FolderChange change, CFolderRecord* record) : change(change), record(record) {}
  const FolderChange change;
  CFolderRecord* const record;
};

// The view became busy or idle (the frame refuses to close while busy).
struct BusyChangedEvent : MessageEvent<WM_BUSYCHANGED> {
  explicit BusyChangedEvent(bool busy) : busy(busy) {}
  const bool busy;
};

// Work on the session (connection check, delete, disconnect) ended
// on the controller's thread.
struct SessionDoneEvent : MessageEvent<WM_SESSIONDONE> {
  explicit SessionDoneEvent(const SessionOutcome& outcome) : outcome(outcome) {}
  const SessionOutcome outcome;
};

// The free space where the local folder lives was measured (known false:
// it could not be).
// The watched local folders changed (or the interval for the server's came).
struct WatchChangedEvent : MessageEvent<WM_WATCHCHANGED> {};

// The free space was measured (the answer waits in the window, under its
// lock): a notice without data, posted by the query's thread.
struct FreeSpaceEvent : MessageEvent<WM_FREESPACE> {};

// A posted event reaches its receiver through Qt's event queue, whose lock
// ThreadSanitizer cannot see (Qt is not built for it). These two halves tell
// it about exactly that hand-over and nothing more: the poster releases the
// event it made, and the receiver acquires it before touching it, so what the
// poster wrote before posting is ordered before what the receiver reads. Any
// other sharing between the threads is still checked. Nothing in other builds.
inline void MarkHandedOver(QEvent* e) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(e);
#else
  (void)e;
#endif
}
inline void MarkTakenOver(QEvent* e) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(e);
#else
  (void)e;
#endif
}

// Posts an event made by the caller (safe from any thread).
inline void PostHandedOver(QObject* to, QEvent* e) {
  MarkHandedOver(e);
  QCoreApplication::postEvent(to, e);
}

// Posts an event of the program (safe from any thread; a receiver that is
// gone is the caller's business: receivers outlive the workers that post to
// them). The receiver's event() calls MarkTakenOver first.
template <class E, class... Args>
void Post(QObject* to, Args&&... args) {
  PostHandedOver(to, new E(std::forward<Args>(args)...));
}

// Posts a notice without data of a worker that may outlive its receiver's
// interest in it: a plain Qt event of the message's number, made and, when
// it is dropped unread (its receiver gone, the queue cleared), destroyed by
// Qt alone, so no code of ours touches it on two threads. The receiver knows
// it by its type.
template <class E>
void PostNotice(QObject* to) {
  PostHandedOver(to, new QEvent(E::kType));
}

}  // namespace twinbay
