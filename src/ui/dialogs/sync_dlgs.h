// Synchronize Confirm (directions, the timestamp option and the deletions
// that follow the other side's) and the Progress dialog that runs the
// transfer on its worker thread.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include "core/controller.h"
#include "engine/number_format.h"
#include "engine/totals.h"

namespace twinbay {

class CProgressMeter;

class CSyncConfirmDlg : public QDialog {
  Q_OBJECT
 public:
  CSyncConfirmDlg(const CFolderCollection& collection, SyncTotals& totals, int filter, quint32* setLocalTimestamps,
                  QWidget* parent = nullptr);
  bool LocalToRemote() const { return up_->isChecked(); }
  bool RemoteToLocal() const { return down_->isChecked(); }
  QCheckBox* UpBox() const { return up_; }
  QCheckBox* DownBox() const { return down_; }
  QCheckBox* TimestampBox() const { return timestamps_; }
  // "Delete files deleted on the other side (N)", N the tagged deletions of
  // the chosen directions: checked when N comes above 0, off at 0.
  QCheckBox* DeleteBox() const { return deletes_; }
  bool DeleteFollowing() const { return deletes_->isChecked(); }
  void accept() override;

 private:
  void CountDeletions();

  QCheckBox *up_, *down_, *timestamps_, *deletes_;
  quint32* setLocalTimestamps_;
  long deletesUp_, deletesDown_;
};

class CProgressDlg : public QDialog, private ITransferListener {
  Q_OBJECT
 public:
  // Runs the controller's transfer while it is up.
  CProgressDlg(CSyncController& controller, SyncTotals& totals, TransferOptions options, QObject* view,
               QWidget* parent = nullptr);
  ~CProgressDlg() override;

  CProgressMeter* FileMeter() const { return fileMeter_; }
  CProgressMeter* TotalMeter() const { return totalMeter_; }
  QString FileText() const { return file_->text(); }
  QString BytesText() const { return bytes_->text(); }
  // Whether the transfer was started (its outcome is the controller's job's).
  bool Started() const { return started_; }
  void Cancel();

 protected:
  bool event(QEvent* e) override;
  void reject() override;  // Escape acts as Cancel
  void closeEvent(QCloseEvent* e) override;

 private:
  void Start();
  void ShowProgress();
  void TransferProgress() override;
  void TransferFolderChanged(CFolderRecord* record) override;
  void TransferFinished() override;

  CSyncController& controller_;
  SyncTotals& totals_;
  TransferOptions options_;
  QObject* view_;
  bool started_ = false, finished_ = false;
  CProgressMeter *fileMeter_, *totalMeter_;
  QLabel *file_, *bytes_;
  QPushButton* cancel_;
  NumberFormat numbers_;
};

// After a transfer: when files failed or were copied with a warning, or files
// or emptied folders were deleted, says so in a message box (object name
// "TransferReport") that lists each of them. Nothing is shown when every file
// was copied cleanly and nothing deleted. Returns whether it showed one.
// `collection` tells the folders removed from the files deleted.
bool ShowTransferReport(QWidget* parent, const CTransferJob& job, const CFolderCollection& collection);

}  // namespace twinbay
