// The program's own posted messages, as Qt events whose types are the message
// numbers.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <functional>
#include <future>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace twinbay {

enum TwinbayMessage : int {
  WM_PAINTCAPTION = 2024,
  WM_CONNECTDONE = 2025,
  WM_COMPAREDONE = 2026,
  WM_SHOWFOLDER = 2027,
  WM_TRANSFERPROGRESS = 2028,
  WM_FOLDERCHANGED = 2029,
  WM_BUSYCHANGED = 2030,
};

class CFolderRecord;

// WM_FOLDERCHANGED: what happened to the folder records.
enum class FolderChange {
  Added,     // the compare added records (no record named: all not shown yet)
  Finished,  // the compare finished walking the folder
  Changed,   // a transfer or a delete changed the folder's entries
};

class FolderChangedEvent : public QEvent {
 public:
  FolderChangedEvent(FolderChange change, CFolderRecord* record)
      : QEvent(static_cast<QEvent::Type>(WM_FOLDERCHANGED)), change(change), record(record) {}
  const FolderChange change;
  CFolderRecord* const record;
};

class TwinbayEvent : public QEvent {
 public:
  TwinbayEvent(int message, quintptr wParam, quintptr lParam)
      : QEvent(static_cast<QEvent::Type>(message)), wParam(wParam), lParam(lParam) {}
  const quintptr wParam;
  const quintptr lParam;
};

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

// Posts a message (safe from any thread; a receiver that is gone is the
// caller's business: receivers outlive the workers that post to them). The
// receiver's event() calls MarkTakenOver first.
inline void PostMessage(QObject* to, int message, quintptr wParam, quintptr lParam) {
  PostHandedOver(to, new TwinbayEvent(message, wParam, lParam));
}

inline bool IsMessage(const QEvent* e, int message) { return static_cast<int>(e->type()) == message; }

// Runs calls from worker threads on the thread the object lives on (the
// user-interface thread), each waited for by the caller.
class CUiThreadCaller : public QObject {
 public:
  using QObject::QObject;
  // From a thread other than the object's: runs f there and returns when it
  // has finished.
  void CallAndWait(const std::function<void()>& f) {
    std::promise<void> finished;
    PostHandedOver(this, new CallEvent([&] {
      f();
      finished.set_value();
    }));
    finished.get_future().wait();
  }

 protected:
  bool event(QEvent* e) override {
    MarkTakenOver(e);
    if (e->type() != kCallEvent) return QObject::event(e);
    static_cast<CallEvent*>(e)->call();
    return true;
  }

 private:
  static constexpr QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::User + 3000);
  struct CallEvent : QEvent {
    explicit CallEvent(std::function<void()> f) : QEvent(kCallEvent), call(std::move(f)) {}
    std::function<void()> call;
  };
};

}  // namespace twinbay
