// Confirm Deletions: asks which sides of the selected files to delete. Cancel
// is the default button, so Enter changes nothing.
#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace twinbay {

class CConfirmDeleteDlg : public QDialog {
  Q_OBJECT
 public:
  // localCount / remoteCount: selected entries with a local / remote side.
  CConfirmDeleteDlg(int localCount, int remoteCount, QWidget* parent = nullptr);

  bool DeleteLocal() const;
  bool DeleteRemote() const;
  // "Delete 1 file from local", "Delete 2 files from remote".
  static QString Label(int count, const char* side);

 private:
  QCheckBox *local_, *remote_;
};

}  // namespace twinbay
