// The Connections dialog (choose, add, edit, delete stored connections), the
// Connection dialog (one record) and the Enter password dialog.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "core/connections.h"

namespace twinbay {

class CHistoryComboBox;

class CConnectionDlg : public QDialog {
  Q_OBJECT
 public:
  struct Values {
    QString description, host, remotePath = "/", userName, password, localPath, fileTypes;
    QString serverOffset = "automatic";  // or a fixed "+HH:MM" / "-HH:MM"
    bool anonymous = true, includeSubFolders = true;
    int port = 21;
    int tls = 0;                // FtpTls; a value this version does not know is kept
    QString pinnedFingerprint;  // the certificate the user trusted, if any
  };
  CConnectionDlg(bool adding, const Values& values, QWidget* parent = nullptr);
  Values GetValues() const;
  static Values FromRecord(const CConnectionProperties& r);
  static void Fill(CConnectionProperties& r, const Values& v);

  void accept() override;

 private:
  void UpdateLogin();
  QLineEdit *description_, *host_, *port_, *user_, *password_, *local_, *remote_, *serverOffset_;
  QCheckBox *anonymous_, *subFolders_;
  CHistoryComboBox* types_;
  QComboBox* tls_;
  QLabel* trusted_;
  QString pinnedFingerprint_;
};

class CConnectionsDlg : public QDialog {
  Q_OBJECT
 public:
  CConnectionsDlg(ConnectionsList& list, bool compareOnConnect, QWidget* parent = nullptr);
  CConnectionProperties* Chosen() const { return chosen_; }
  bool CompareOnConnect() const { return compareOnConnect_->isChecked(); }
  // Records deleted while the dialog was up (the view may hold one of them).
  const std::vector<const CConnectionProperties*>& Deleted() const { return deleted_; }

  void OnAdd();
  void OnEdit();
  void OnDelete();
  void OnConnect();

 private:
  void UpdateButtons();
  CConnectionProperties* Selected() const;
  ConnectionsList& list_;
  CConnectionProperties* chosen_ = nullptr;
  QListWidget* listBox_;
  QPushButton *connect_, *edit_, *delete_, *add_;
  QCheckBox* compareOnConnect_;
  std::vector<const CConnectionProperties*> deleted_;
};

class CPasswordDlg : public QDialog {
  Q_OBJECT
 public:
  CPasswordDlg(const QString& text, QWidget* parent = nullptr);
  QString Password() const { return edit_->text(); }

 private:
  QLineEdit* edit_;
};

}  // namespace twinbay
