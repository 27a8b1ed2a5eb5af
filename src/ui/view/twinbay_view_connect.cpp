// The main view's Connect: the connections dialog, the connect on its worker,
// its outcome, and the questions whether to trust a refused certificate or an
// unknown SFTP host key.
#include <QInputDialog>
#include <QMessageBox>

#include "core/keyring.h"
#include "ui/alerts.h"
#include "ui/dialogs/connection_dlgs.h"
#include "ui/icons.h"
#include "ui/plain_text.h"
#include "ui/view/twinbay_view.h"
#include "widgets/history_combo.h"

namespace twinbay {

// ---- Connect ---------------------------------------------------------------------

void CTwinbayView::OnConnect() {
  if (!CanConnect()) return;
  CConnectionsDlg dlg(connections_, settings_.m_bCompareOnConnect != 0, this);
  const int result = dlg.exec();
  // A record deleted in the dialog must not stay the current one.
  for (const CConnectionProperties* gone : dlg.Deleted())
    if (gone == current_) current_ = nullptr;
  if (result != QDialog::Accepted || !dlg.Chosen()) return;
  current_ = dlg.Chosen();
  subFolders_->setChecked(current_->includeSubFolders != 0);
  local_->setEditText(QString::fromStdString(current_->localPath));
  remote_->setEditText(QString::fromStdString(current_->remotePath));
  types_->setEditText(QString::fromStdString(current_->fileTypes));
  settings_.m_bCompareOnConnect = dlg.CompareOnConnect() ? 1 : 0;

  current_->passwordStored = 1;
  promptedPassword_.clear();
  // A password kept in the desktop keyring is read now; one it cannot give
  // stops the connect (never an empty password in its place).
  if (std::string problem; !FetchRecordPassword(*current_, problem)) {
    PlainWarning(this, QString::fromStdString(problem));
    return;
  }
  if (!AskForSecrets(false)) return;
  StartConnect();
}

bool CTwinbayView::AskForSecrets(bool afterRefusedSignIn) {
  ForgetPassphrase(passphrase_);
  ConnectTarget target;
  std::string problem;
  // A record that cannot be used is told as a failed connect.
  if (!RecordTarget(*current_, {}, target, problem)) return true;
  // Once SFTP's keys were refused, only a password is asked for.
  const SecretsToAsk ask = afterRefusedSignIn ? SecretsToAsk{true, false} : SecretsBeforeConnect(target);
  if (ask.password) {
    current_->passwordStored = 0;
    CPasswordDlg pw(QString::fromStdString(current_->description), this);
    if (pw.exec() != QDialog::Accepted) return false;
    current_->password = pw.Password().toStdString();
    promptedPassword_ = current_->password;
  }
  if (ask.passphrase) {
    QInputDialog dlg(this);
    dlg.setObjectName("PassphraseDialog");
    dlg.setWindowTitle("Twinbay");
    dlg.setLabelText("Passphrase for the key file\n" + QString::fromStdString(current_->keyFile));
    dlg.setTextEchoMode(QLineEdit::Password);
    const bool ok = dlg.exec() == QDialog::Accepted;
    QString text = dlg.textValue();
    dlg.setTextValue(QString());
    QByteArray utf8 = text.toUtf8();
    std::string typed(utf8.constData(), static_cast<size_t>(utf8.size()));
    utf8.fill('\0');
    text.fill(QChar(0));
    // Handed to the first sign-in with the key, then wiped.
    passphrase_ = PassphraseOnce(typed);
    if (!ok) ForgetPassphrase(passphrase_);
    return ok;
  }
  return true;
}

void CTwinbayView::StartConnect() {
  if (!current_) return;
  SetAnimation(icons::ConnectionState::Connecting);
  SetBusy(true);
  TellFrame(true);
  FileSystemTarget target;
  std::string problem;
  bool started = false;
  if (RecordTarget(*current_, promptedPassword_, target, problem)) {
    // The first sign-in with the key takes the passphrase (and wipes it); the
    // pool's later logins use the decrypted key it kept.
    target.askPassphrase = passphrase_;
    started = controller_.StartConnect(target, GetServerOffset(*current_), this);
  } else {
    // The controller tells a record it cannot use as a failed connect.
    started = controller_.StartConnect(*current_, promptedPassword_, this);
  }
  if (!started) {
    SetAnimation(icons::ConnectionState::NotConnected);
    SetBusy(false);
    TellFrame(false);
    QMessageBox::warning(this, "Twinbay", "Connecting could not be started.");
    return;
  }
  sessionWaiting_ = true;
  emit StatusMessage(QString("Connecting to %1...").arg(QString::fromStdString(current_->host)));
  emit StateChanged();
}

void CTwinbayView::OnConnectDone(const SessionOutcome& o) {
  SetBusy(false);
  const bool ok = o.ok;
  lastError_ = o.error;
  encrypted_ = ok && controller_.Encrypted();
  const OpenFailureKind kind = o.failure.kind;
  if (!ok && !o.cancelled && current_) {
    FileSystemTarget tried;
    std::string problem;
    const ConnectQuestion question = RecordTarget(*current_, promptedPassword_, tried, problem)
                                         ? QuestionAfter(tried, o.failure)
                                         : ConnectQuestion::None;
    const bool again = question == ConnectQuestion::TrustCertificate ? AskToTrustCertificate(o.failure)
                       : question == ConnectQuestion::TrustHostKey   ? AskToTrustHostKey(o.failure)
                       : question == ConnectQuestion::Password       ? AskForSecrets(true)
                                                                     : false;
    if (again) {
      TellFrame(false);
      StartConnect();
      return;
    }
  }
  // Wiped, also where ssh-agent got in and the key was never read.
  ForgetPassphrase(passphrase_);
  // The old connection went before the new one was tried.
  connected_ = ok;
  if (ok) {
    SetAnimation(icons::ConnectionState::Connected);
    remoteLabel_->setText(QString("Remote path on %1:").arg(QString::fromStdString(controller_.Host())));
    browseRemote_->setEnabled(CanBrowseRemote());
  } else if (!o.cancelled && kind == OpenFailureKind::ChangedHostKey) {
    SetAnimation(icons::ConnectionState::NotConnected);
    ShowChangedHostKey(o.failure);
  } else if (!o.cancelled) {
    SetAnimation(icons::ConnectionState::NotConnected);
    QMessageBox box(QMessageBox::Warning, "Twinbay", "Connect FAILED", QMessageBox::Ok, this);
    box.setObjectName("ConnectFailed");
    if (!o.error.empty()) box.setInformativeText(QString::fromStdString(o.error));
    MakePlain(box);
    box.exec();
  } else {
    SetAnimation(icons::ConnectionState::NotConnected);
  }
  TellFrame(false);
  RefreshFreeSpace();
  emit StateChanged();
  if (ok && settings_.m_bCompareOnConnect) OnCompare();
}

void CTwinbayView::SaveTrust() {
  if (connections_.FileName().empty()) return;
  const ConnectionsReadResult saved = connections_.Save();
  if (!saved.ok) PlainWarning(this, "The connections could not be saved: " + QString::fromStdString(saved.error));
}

namespace {
// Asks whether to trust what a server presented: Yes or No, No the default.
bool AskTrust(QWidget* parent, const char* name, const QString& question, const QString& details) {
  QMessageBox box(QMessageBox::Warning, "Twinbay", question, QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName(name);
  box.setDefaultButton(QMessageBox::No);
  box.setInformativeText(details);
  MakePlain(box);
  return box.exec() == QMessageBox::Yes;
}
}  // namespace

bool CTwinbayView::AskToTrustCertificate(const OpenFailure& failure) {
  const std::string& fingerprint = failure.fingerprint;
  // Never a changed pin quietly replaced: the question says which it is.
  const bool changed = !PinField(*current_).empty();
  // Why it was refused, up to the sentence that gives the fingerprint: the
  // question gives it once, on a line of its own.
  std::string why = failure.message;
  if (const size_t at = why.find(fingerprint); at != std::string::npos) {
    const size_t stop = why.rfind(". ", at);
    why = stop == std::string::npos ? std::string() : why.substr(0, stop + 1);
  }
  const QString details =
      QString("%1\n\n%2The server %3 presented a certificate with the SHA-256 fingerprint\n\n%4\n\n"
              "Trust it only if this is the server's own certificate (ask its administrator). It is then "
              "remembered for the connection \"%5\" only, and a different certificate stops the connect again.")
          .arg(QString::fromStdString(why),
               changed ? "THE CERTIFICATE HAS CHANGED since you trusted it. " : "",
               QString::fromStdString(current_->host), QString::fromStdString(fingerprint),
               QString::fromStdString(current_->description));
  if (!AskTrust(this, "TrustCertificate", "Trust this certificate?", details)) return false;
  TrustOnRecord(*current_, fingerprint);
  SaveTrust();
  return true;
}

bool CTwinbayView::AskToTrustHostKey(const OpenFailure& failure) {
  const QString details =
      QString("The server %1 is not known on this computer (~/.ssh/known_hosts does not hold it). "
              "Its host key has the fingerprint\n\n%2\n\n"
              "Trust it only if this is the server's own key (its administrator can read it with ssh-keygen -l). "
              "It is then remembered for the connection \"%3\" only, and a different key stops the connect.")
          .arg(QString::fromStdString(current_->host), QString::fromStdString(failure.fingerprint),
               QString::fromStdString(current_->description));
  if (!AskTrust(this, "TrustHostKey", "Trust this host key?", details)) return false;
  TrustOnRecord(*current_, failure.fingerprint);
  SaveTrust();
  return true;
}

void CTwinbayView::ShowChangedHostKey(const OpenFailure& failure) {
  QMessageBox box(QMessageBox::Critical, "Twinbay",
                  QString("THE HOST KEY OF %1 HAS CHANGED").arg(QString::fromStdString(current_ ? current_->host : "")),
                  QMessageBox::Ok, this);
  box.setObjectName("HostKeyChanged");
  box.setInformativeText(
      QString("The server presented the host key\n\n%1\n\nwhich is not the key known for it. Someone may be "
              "listening in on the connection, or the server's key was replaced. Nothing was sent to it and "
              "the connect was stopped.\n\nAsk the server's administrator. Only if the new key is genuine, "
              "forget the trusted key in the connection's settings or remove the old one from "
              "~/.ssh/known_hosts.")
          .arg(QString::fromStdString(failure.fingerprint)));
  MakePlain(box);
  box.exec();
}

}  // namespace twinbay
