// The main view's Connect: the connections dialog, the connect on its worker,
// its outcome, and the question whether to trust a refused certificate.
#include <QMessageBox>

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
  if (current_->password.empty() && !current_->anonymous && !current_->userName.empty()) {
    current_->passwordStored = 0;
    CPasswordDlg pw(QString::fromStdString(current_->description), this);
    if (pw.exec() != QDialog::Accepted) return;
    current_->password = pw.Password().toStdString();
    promptedPassword_ = current_->password;
  }
  StartConnect();
}

void CTwinbayView::StartConnect() {
  if (!current_) return;
  SetAnimation(icons::ConnectionState::Connecting);
  SetBusy(true);
  TellFrame(true);
  // The controller takes its own copy of the record.
  if (!controller_.StartConnect(*current_, promptedPassword_, this)) {
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

void CTwinbayView::OnConnectDone(bool ok, bool cancelled) {
  SetBusy(false);
  encrypted_ = ok && session_.Encrypted();
  if (!ok && !cancelled && AskToTrustCertificate()) {
    TellFrame(false);
    StartConnect();
    return;
  }
  if (ok) {
    SetAnimation(icons::ConnectionState::Connected);
    connected_ = true;
    remoteLabel_->setText(QString("Remote path on %1:").arg(QString::fromStdString(session_.GetHost())));
    browseRemote_->setEnabled(CanBrowseRemote());
  } else if (!cancelled) {
    SetAnimation(icons::ConnectionState::NotConnected);
    QMessageBox box(QMessageBox::Warning, "Twinbay", "Connect FAILED", QMessageBox::Ok, this);
    box.setObjectName("ConnectFailed");
    if (!session_.LastError().empty()) box.setInformativeText(QString::fromStdString(session_.LastError()));
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

bool CTwinbayView::AskToTrustCertificate() {
  const std::string fingerprint = session_.RefusedCertificate();
  // Only a certificate that was refused by its check, never a changed pin
  // quietly replaced: the question says which it is.
  if (fingerprint.empty() || !current_) return false;
  const bool changed = !current_->pinnedFingerprint.empty();
  // Why it was refused, up to the sentence that gives the fingerprint: the
  // question gives it once, on a line of its own.
  std::string why = session_.LastError();
  if (const size_t at = why.find(fingerprint); at != std::string::npos) {
    const size_t stop = why.rfind(". ", at);
    why = stop == std::string::npos ? std::string() : why.substr(0, stop + 1);
  }
  QMessageBox box(QMessageBox::Warning, "Twinbay", "Trust this certificate?", QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName("TrustCertificate");
  box.setDefaultButton(QMessageBox::No);
  box.setInformativeText(
      QString("%1\n\n%2The server %3 presented a certificate with the SHA-256 fingerprint\n\n%4\n\n"
              "Trust it only if this is the server's own certificate (ask its administrator). It is then "
              "remembered for the connection \"%5\" only, and a different certificate stops the connect again.")
          .arg(QString::fromStdString(why),
               changed ? "THE CERTIFICATE HAS CHANGED since you trusted it. " : "",
               QString::fromStdString(current_->host), QString::fromStdString(fingerprint),
               QString::fromStdString(current_->description)));
  MakePlain(box);
  if (box.exec() != QMessageBox::Yes) return false;
  current_->pinnedFingerprint = fingerprint;
  if (!connections_.FileName().empty()) {
    const ConnectionsReadResult saved = connections_.Save();
    if (!saved.ok)
      PlainWarning(this, "The connections could not be saved: " + QString::fromStdString(saved.error));
  }
  return true;
}

}  // namespace twinbay
