// The Connections dialog (choose, add, edit, delete stored connections), the
// Connection dialog (one record) and the Enter password dialog.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

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
    int protocol = 0;           // 0 FTP (tls tells which), 1 SFTP; a value this version does not know is kept
    int tls = 0;                // FtpTls; a value this version does not know is kept
    QString pinnedFingerprint;  // the certificate the user trusted, if any
    QString keyFile;            // SFTP: the private key file, if any
    QString hostKey;            // SFTP: the host key the user trusted ("SHA256:..."), if any
    QString exclude;            // paths to leave out, one pattern a line (as --exclude takes them)
    QString backupDir;          // the sync's backup folder on the server (empty: none)
    // Where the password is kept, said under it.
    QString passwordHome = "Password kept in the desktop keyring where one answers, else scrambled in the "
                           "connections file";
  };
  // The entries of the protocol choice, in their order in the box.
  enum Choice { kFtp, kFtpExplicitTls, kFtpImplicitTls, kSftp, kUnknown };

  CConnectionDlg(bool adding, const Values& values, QWidget* parent = nullptr);
  Values GetValues() const;
  static Values FromRecord(const CConnectionProperties& r);
  static void Fill(CConnectionProperties& r, const Values& v);
  // The choice a record's protocol and TLS mode stand for (kUnknown for
  // values this version does not know) and the port it uses by default
  // (0: none).
  static Choice ChoiceOf(int protocol, int tls);
  static int DefaultPortOf(Choice c);

  void accept() override;

 private:
  // A trust the user gave (certificate or host key), shown read-only with a
  // Forget button that clears it.
  struct Pin {
    QString value;
    QLabel* label = nullptr;
    QToolButton* forget = nullptr;
  };
  void BuildFields(const Values& v);
  void BuildProtocolChoice(const Values& v);
  QLayout* BuildKeyFileRow();
  QLayout* BuildPinRow(Pin& pin, const QString& value, const QString& name);
  void LayOut(QLayout* localRow, QLayout* keyFileRow, QLayout* certificateRow, QLayout* hostKeyRow);
  void ConnectControls(QToolButton* browseLocal);
  void BrowseKeyFile();
  Choice Current() const;
  void OnProtocolChosen();
  void UpdateControls();
  QLineEdit *description_, *host_, *port_, *user_, *password_, *local_, *remote_, *serverOffset_, *keyFile_, *backupDir_;
  QPlainTextEdit* exclude_;
  QCheckBox *anonymous_, *subFolders_;
  CHistoryComboBox* types_;
  QComboBox* protocol_;
  QLabel *portLabel_, *passwordHome_;
  QToolButton* browseKey_;
  Pin certificate_, hostKey_;
  Choice previous_ = kFtp;
  bool ftpAnonymous_ = true;  // the box as FTP had it, back when FTP is chosen again
  int unknownProtocol_ = 0, unknownTls_ = 0;
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
