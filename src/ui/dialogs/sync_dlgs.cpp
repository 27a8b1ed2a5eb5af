#include "ui/dialogs/sync_dlgs.h"
#include "ui/plain_text.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "ui/view/messages.h"
#include "widgets/progress_meter.h"

namespace twinbay {
namespace {
QString TransferText(long n, const char* direction) {
  return QString("Transfer %1 file%2 from %3").arg(n).arg(n == 1 ? "" : "s").arg(direction);
}
}  // namespace

CSyncConfirmDlg::CSyncConfirmDlg(const CFolderCollection& collection, SyncTotals& totals, int filter,
                                 quint32* setLocalTimestamps, QWidget* parent)
    : QDialog(parent), setLocalTimestamps_(setLocalTimestamps) {
  setWindowTitle("Synchronize Confirm");
  setObjectName("SyncConfirmDialog");
  CountTagged(collection, totals, filter);
  deletesUp_ = totals.taggedDeletesUp;
  deletesDown_ = totals.taggedDeletesDown;
  up_ = new QCheckBox(TransferText(totals.taggedUp, "Local to Remote"));
  down_ = new QCheckBox(TransferText(totals.taggedDown, "Remote to Local"));
  timestamps_ = new QCheckBox("Set Local timestamps to Remote after transfer");
  up_->setObjectName("up");
  down_->setObjectName("down");
  timestamps_->setObjectName("timestamps");
  up_->setEnabled(totals.taggedUp + deletesUp_ != 0);
  down_->setEnabled(totals.taggedDown + deletesDown_ != 0);
  deletes_ = new QCheckBox;
  deletes_->setObjectName("deletions");
  timestamps_->setChecked(setLocalTimestamps_ && *setLocalTimestamps_);
  timestamps_->setEnabled(false);
  connect(up_, &QCheckBox::toggled, this, [this](bool on) { timestamps_->setEnabled(on); });
  for (QCheckBox* direction : {up_, down_})
    connect(direction, &QCheckBox::toggled, this, &CSyncConfirmDlg::CountDeletions);
  CountDeletions();
  auto* layout = new QVBoxLayout(this);
  auto* g1 = new QGroupBox;
  auto* l1 = new QVBoxLayout(g1);
  l1->addWidget(up_);
  l1->addWidget(timestamps_);
  auto* g2 = new QGroupBox;
  (new QVBoxLayout(g2))->addWidget(down_);
  layout->addWidget(g1);
  layout->addWidget(g2);
  layout->addWidget(deletes_);
  // Conflicts are never copied or deleted by a sync: say how many stay.
  if (totals.conflicts > 0) {
    auto* conflicts = new QLabel(totals.conflicts == 1
                                     ? QString("1 conflict is left alone: keep one side of it from the list's popup.")
                                     : QString("%1 conflicts are left alone: keep one side of each from the list's popup.")
                                           .arg(totals.conflicts));
    conflicts->setObjectName("conflicts");
    conflicts->setWordWrap(true);
    layout->addWidget(conflicts);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CSyncConfirmDlg::CountDeletions() {
  const long n = (up_->isChecked() ? deletesUp_ : 0) + (down_->isChecked() ? deletesDown_ : 0);
  deletes_->setText(QString("Delete files deleted on the other side (%1)").arg(n));
  if (n > 0 && !deletes_->isEnabled()) deletes_->setChecked(true);
  if (n == 0) deletes_->setChecked(false);
  deletes_->setEnabled(n > 0);
}

void CSyncConfirmDlg::accept() {
  if (setLocalTimestamps_) *setLocalTimestamps_ = timestamps_->isChecked() ? 1 : 0;
  QDialog::accept();
}

CProgressDlg::CProgressDlg(CSyncController& controller, SyncTotals& totals, TransferOptions options, QObject* view,
                           QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      controller_(controller),
      totals_(totals),
      options_(options),
      view_(view),
      numbers_(NumberFormat::FromUserLocale()) {
  setWindowTitle("Progress");
  setObjectName("ProgressDialog");
  file_ = new QLabel("Filename");
  file_->setTextFormat(Qt::PlainText);
  file_->setMinimumWidth(360);
  fileMeter_ = new CProgressMeter;
  totalMeter_ = new CProgressMeter;
  bytes_ = new QLabel;
  cancel_ = new QPushButton("Cancel");
  auto* layout = new QVBoxLayout(this);
  auto* g1 = new QGroupBox("File");
  auto* l1 = new QVBoxLayout(g1);
  l1->addWidget(file_);
  l1->addWidget(fileMeter_);
  auto* g2 = new QGroupBox("Total");
  auto* l2 = new QVBoxLayout(g2);
  l2->addWidget(totalMeter_);
  l2->addWidget(bytes_);
  layout->addWidget(g1);
  layout->addWidget(g2);
  layout->addWidget(cancel_, 0, Qt::AlignRight);
  for (CProgressMeter* m : {fileMeter_, totalMeter_}) {
    m->SetRange(0, 100);
    m->SetPos(0);
  }
  connect(cancel_, &QPushButton::clicked, this, [this] { Cancel(); });
  // Start as soon as the dialog is on screen.
  QTimer::singleShot(0, this, [this] { Start(); });
}

CProgressDlg::~CProgressDlg() {
  // The transfer tells this dialog how it goes: it must not outlive it. It
  // has said it is over, or it is abandoned now (ending within a poll).
  if (started_) {
    if (!finished_) controller_.CancelSync();
    controller_.WaitForSync();
  }
}

void CProgressDlg::Start() {
  std::string why;
  started_ = controller_.StartSync(options_, totals_, static_cast<ITransferListener*>(this), why);
  // Refused for deleting more than seems right: the user may allow just
  // these deletions.
  if (const DeletionCheck check = started_ ? DeletionCheck() : controller_.CheckDeletions(options_); !check.allowed) {
    QMessageBox box(QMessageBox::Warning, "Twinbay", QString::fromStdString(check.problem),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName("DeletionGuard");
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QString("Delete these %1 files anyway?").arg(check.local + check.remote));
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() == QMessageBox::Yes)
      started_ = controller_.StartSync(options_, totals_, static_cast<ITransferListener*>(this), why,
                                       check.local + check.remote);
    else
      why.clear();
  }
  if (!started_) {
    if (!why.empty()) PlainWarning(this, QString::fromStdString(why));
    finished_ = true;
    QDialog::reject();
  }
}

void CProgressDlg::Cancel() {
  if (!cancel_->isEnabled()) return;
  cancel_->setEnabled(false);
  if (!started_) return;
  // The file in flight is finished first; one that the server leaves
  // hanging is abandoned after a moment, and whatever else still waits on a
  // silent server (a login, a clean-up) a moment later, rather than at its
  // time-out.
  controller_.StopSync();
  QTimer::singleShot(2000, this, [this] {
    if (!finished_) controller_.CancelSync();
  });
  QTimer::singleShot(5000, this, [this] {
    if (!finished_) controller_.CancelSessionWork();
  });
}

void CProgressDlg::reject() { Cancel(); }

void CProgressDlg::closeEvent(QCloseEvent* e) {
  if (!finished_) {
    Cancel();
    e->ignore();
  }
}

// Worker side: everything is posted to the dialog.
void CProgressDlg::TransferProgress() { Post<TransferProgressEvent>(this, TransferStep::Progress, nullptr); }
void CProgressDlg::TransferFolderChanged(CFolderRecord* r) {
  Post<TransferProgressEvent>(this, TransferStep::FolderChanged, r);
}
void CProgressDlg::TransferFinished() { Post<TransferProgressEvent>(this, TransferStep::Finished, nullptr); }

void CProgressDlg::ShowProgress() {
  if (!started_ || !controller_.Job()) return;
  // With several copies under way: the largest of them, with its own share.
  const SyncTotals t = controller_.Job()->Totals();
  const size_t others = std::max<size_t>(controller_.Job()->GetProgress().filesCopying, 1) - 1;
  file_->setText(QString::fromStdString(t.text) + (others ? QString(" (and %1 more under way)").arg(others) : QString()));
  fileMeter_->SetPos(static_cast<quint32>(t.FilePercent()));
  fileMeter_->SetText(QString("%1%").arg(fileMeter_->Pos()));
  totalMeter_->SetPos(static_cast<quint32>(t.TotalPercent()));
  totalMeter_->SetText(QString("%1%").arg(totalMeter_->Pos()));
  bytes_->setText(QString("%1 of %2 bytes copied")
                      .arg(QString::fromStdString(FormatNumber(t.AllDone(), 0, numbers_)))
                      .arg(QString::fromStdString(FormatNumber(t.SelectedTotal(), 0, numbers_))));
}

bool ShowTransferReport(QWidget* parent, const CTransferJob& job, const CFolderCollection& collection) {
  // The folders a run may remove, by the path of the side that goes.
  std::set<std::string> folders;
  {
    auto guard = collection.Lock();
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      const CFolderRecord* r = collection.GetAt(i);
      folders.insert(r->folderClass == FolderRemoteOnly ? r->remotePath : r->localPath);
    }
  }
  // Counts by kind: copies failed, copied with a warning, deletions failed,
  // files deleted locally and on the server, folders removed.
  enum { kNotCopied, kWarned, kNotDeleted, kDeletedLocally, kDeletedRemotely, kRemoved, kKinds };
  int count[kKinds] = {};
  QStringList lines;
  for (const TransferOutcome& o : job.Outcomes()) {
    const std::string& side = o.upload ? o.remotePath : o.localPath;
    const QString path = QString::fromStdString(side), error = QString::fromStdString(o.error);
    const QString where = o.upload ? "on the server" : "locally";
    const bool folder = o.deletion && folders.count(side);
    // Where the deleted file, or the version a copy replaced, was kept.
    const QString kept = o.keptAt.empty() ? QString() : QString(" (kept at %1)").arg(QString::fromStdString(o.keptAt));
    if (!o.ok) {
      ++count[o.deletion ? kNotDeleted : kNotCopied];
      lines << (o.deletion ? QString("Not deleted %1: %2: %3").arg(where, path, error)
                           : QString("Not copied: %1: %2").arg(path, error));
    } else if (folder) {
      ++count[kRemoved];
      lines << QString("Folder removed %1: %2").arg(where, path);
    } else if (o.deletion) {
      ++count[o.upload ? kDeletedRemotely : kDeletedLocally];
      lines << QString("Deleted %1: %2%3").arg(where, path, kept);
    } else if (!o.warning.empty()) {
      ++count[kWarned];
      lines << QString("Copied, but %1: %2").arg(path, QString::fromStdString(o.warning));
    }
    // Named in the details (a copy alone brings up no report).
    if (o.ok && !o.deletion && !kept.isEmpty())
      lines << QString("Replaced: %1; the old version%2").arg(QString::fromStdString(o.upload ? o.remotePath : o.localPath), kept);
  }
  auto files = [&](int kind, const char* one, const char* many, const QString& what) {
    return QString("%1 %2 %3.").arg(count[kind]).arg(count[kind] == 1 ? one : many, what);
  };
  QStringList summary;
  if (count[kNotCopied]) summary << files(kNotCopied, "file", "files", "could not be copied");
  if (count[kNotDeleted]) summary << files(kNotDeleted, "file or folder", "files or folders", "could not be deleted");
  if (count[kWarned]) summary << files(kWarned, "file was", "files were", "copied with a warning");
  if (count[kDeletedRemotely]) summary << files(kDeletedRemotely, "file was", "files were", "deleted on the server");
  if (count[kDeletedLocally]) summary << files(kDeletedLocally, "file was", "files were", "deleted locally");
  if (count[kRemoved]) summary << files(kRemoved, "emptied folder was", "emptied folders were", "removed");
  if (summary.isEmpty()) return false;
  const bool trouble = count[kNotCopied] + count[kNotDeleted] + count[kWarned] > 0;
  QMessageBox box(trouble ? QMessageBox::Warning : QMessageBox::Information, "Twinbay", summary.join("\n"),
                  QMessageBox::Ok, parent);
  box.setObjectName("TransferReport");
  box.setTextFormat(Qt::PlainText);
  box.setDetailedText(lines.join("\n"));
  box.exec();
  return true;
}

bool CProgressDlg::event(QEvent* e) {
  MarkTakenOver(e);
  const auto* m = EventAs<TransferProgressEvent>(e);
  if (!m) return QDialog::event(e);
  switch (m->step) {
    case TransferStep::Finished:
      ShowProgress();
      controller_.WaitForSync();
      finished_ = true;
      done(QDialog::Accepted);
      break;
    case TransferStep::Progress: ShowProgress(); break;
    case TransferStep::FolderChanged:
      if (view_) Post<FolderChangedEvent>(view_, FolderChange::Changed, m->record);
      break;
  }
  return true;
}

}  // namespace twinbay
