// The main view's status texts: what is tagged in each direction, the free
// space where the local folder lives, the server's clock.
#include "ui/view/twinbay_view.h"
#include "widgets/history_combo.h"

namespace twinbay {

// ---- Status texts ---------------------------------------------------------------------

namespace {
// The deletions of one direction, short: ", 1 of 2 deletions".
QString Deletions(long tagged, long all) {
  return all == 0 ? QString() : QString(", %1 of %2 deletion%3").arg(tagged).arg(all).arg(all == 1 ? "" : "s");
}
}  // namespace

QString CTwinbayView::LocalPaneText() {
  const SyncTotals& t = kept_.Totals();
  return QString::fromStdString(TaggedSummary(t.taggedUp, t.allUp, t.bytesUp, numbers_)) +
         Deletions(t.taggedDeletesUp, t.deletesUp) + " - " + freeSpaceText_;
}

QString CTwinbayView::RemotePaneText() const {
  const SyncTotals& t = kept_.Totals();
  return QString::fromStdString(TaggedSummary(t.taggedDown, t.allDown, t.bytesDown, numbers_)) +
         Deletions(t.taggedDeletesDown, t.deletesDown) +
         (t.conflicts == 0 ? QString() : QString(", %1 conflict%2").arg(t.conflicts).arg(t.conflicts == 1 ? "" : "s"));
}

QString CTwinbayView::ServerTimeNotice() const {
  return connected_ ? QString::fromStdString(controller_.ClockNotice()) : QString();
}

QString CTwinbayView::ServerTimePaneText() const {
  return ServerTimeNotice().isEmpty() ? QString(" ") : QString("Server time offset unknown: taken as UTC");
}

void CTwinbayView::RefreshFreeSpace() {
  // Measured on the query's thread: the window never waits on the disk.
  freeSpace_.Ask(local_->currentText().trimmed().toStdString());
}

void CTwinbayView::TakeFreeSpace() {
  std::optional<std::pair<bool, double>> answer;
  {
    std::lock_guard g(freeSpaceMutex_);
    answer.swap(freeSpaceAnswer_);
  }
  if (answer) ShowFreeSpace(answer->first, answer->second);
}

void CTwinbayView::ShowFreeSpace(bool known, double bytes) {
  freeSpaceText_ = known ? " Free space: " + QString::fromStdString(FormatSize(bytes, numbers_)) + " " : QString();
  emit StateChanged();
}

}  // namespace twinbay
