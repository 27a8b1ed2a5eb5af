// The program's own posted messages, as Qt events whose types are the message
// numbers.
#pragma once

#include <QCoreApplication>
#include <QEvent>

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

class TwinbayEvent : public QEvent {
 public:
  TwinbayEvent(int message, quintptr wParam, quintptr lParam)
      : QEvent(static_cast<QEvent::Type>(message)), wParam(wParam), lParam(lParam) {}
  const quintptr wParam;
  const quintptr lParam;
};

// Posts a message (safe from any thread; a receiver that is gone is the
// caller's business: receivers outlive the workers that post to them).
inline void PostMessage(QObject* to, int message, quintptr wParam, quintptr lParam) {
  QCoreApplication::postEvent(to, new TwinbayEvent(message, wParam, lParam));
}

inline bool IsMessage(const QEvent* e, int message) { return static_cast<int>(e->type()) == message; }

}  // namespace twinbay
