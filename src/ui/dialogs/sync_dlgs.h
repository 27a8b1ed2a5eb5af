// Synchronize Confirm (directions and the timestamp option) and the Progress
// dialog that runs the transfer on its worker thread.
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
  void accept() override;

 private:
  QCheckBox *up_, *down_, *timestamps_;
  quint32* setLocalTimestamps_;
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

// After a transfer: when files failed or were copied with a warning, says so in
// a message box (object name "TransferReport") that lists each of them. Nothing
// is shown when every file was copied cleanly. Returns whether it showed one.
bool ShowTransferReport(QWidget* parent, const CTransferJob& job);

}  // namespace twinbay
