#include "ui/dialogs/connection_dlgs.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cctype>

#include "core/connections.h"
#include "core/keyring.h"
#include "widgets/history_combo.h"
#include "ui/settings.h"
#include "ui/icons.h"
#include "widgets/folder_picker.h"
#include "fs/file_system.h"
#include "fs/patterns.h"

namespace twinbay {

// ---- Connection ----------------------------------------------------------------

CConnectionDlg::CConnectionDlg(bool adding, const Values& v, QWidget* parent) : QDialog(parent) {
  setWindowTitle(adding ? "Add new connection" : "Edit connection properties");
  setObjectName("ConnectionDialog");
  BuildFields(v);
  auto* browseLocal = new QToolButton;
  browseLocal->setText("...");
  auto* localRow = new QHBoxLayout;
  localRow->addWidget(local_);
  localRow->addWidget(browseLocal);
  BuildProtocolChoice(v);
  QLayout* certificateRow = BuildPinRow(certificate_, v.pinnedFingerprint, "Certificate");
  QLayout* hostKeyRow = BuildPinRow(hostKey_, v.hostKey, "HostKey");
  LayOut(localRow, BuildKeyFileRow(), certificateRow, hostKeyRow);
  ConnectControls(browseLocal);
  types_->SetKey(QString(kBaseKey) + "\\Types History");
  types_->Load();
  // The record's own file types stay visible, not the most recent history line.
  types_->setEditText(v.fileTypes);
  UpdateControls();
  resize(460, sizeHint().height());
}

// The edits and boxes every protocol has, holding the values.
void CConnectionDlg::BuildFields(const Values& v) {
  description_ = new QLineEdit(v.description);
  host_ = new QLineEdit(v.host);
  port_ = new QLineEdit(QString::number(v.port));
  port_->setAlignment(Qt::AlignRight);
  port_->setValidator(new QIntValidator(0, 99999, port_));
  port_->setMaximumWidth(80);
  anonymous_ = new QCheckBox("Anonymous login");
  anonymous_->setChecked(v.anonymous);
  ftpAnonymous_ = v.anonymous;
  user_ = new QLineEdit(v.userName);
  password_ = new QLineEdit(v.password);
  password_->setEchoMode(QLineEdit::Password);
  passwordHome_ = new QLabel(v.passwordHome);
  passwordHome_->setObjectName("passwordHome");
  passwordHome_->setWordWrap(true);
  local_ = new QLineEdit(v.localPath);
  types_ = new CHistoryComboBox;
  remote_ = new QLineEdit(v.remotePath);
  subFolders_ = new QCheckBox("Include sub-folders");
  subFolders_->setLayoutDirection(Qt::RightToLeft);
  subFolders_->setChecked(v.includeSubFolders);
  serverOffset_ = new QLineEdit(v.serverOffset);
  serverOffset_->setPlaceholderText("automatic");
  serverOffset_->setToolTip(
      "For an FTP server that lists times in its own local time: \"automatic\" finds its offset from UTC for "
      "each session where it can; a fixed offset such as +05:30 or -08:00 is used as it is. SFTP servers give "
      "times in UTC.");
  keyFile_ = new QLineEdit(v.keyFile);
  keyFile_->setPlaceholderText("none: ssh-agent or the password");
  exclude_ = new QPlainTextEdit(v.exclude);
  exclude_->setPlaceholderText("none; e.g. .git/ node_modules/ *.tmp");
  exclude_->setFixedHeight(exclude_->fontMetrics().lineSpacing() * 4 + 12);
  exclude_->setToolTip(
      "Paths below the two folders to leave out, one pattern a line (besides the local folder's "
      ".twinbayignore): * any run of characters in a name, ? one character, ** any number of folders; a "
      "trailing / matches folders only, a / elsewhere anchors the pattern at the top; A-Z matches a-z; "
      "lines starting with # are comments. What is left out is never copied, deleted or recorded.");
  backupDir_ = new QLineEdit(v.backupDir);
  backupDir_->setPlaceholderText("none: files a sync deletes or replaces there are gone");
  backupDir_->setToolTip(
      "A folder on the server (from the remote path unless it starts with /): a file a sync deletes or "
      "replaces there is moved into a dated folder below it instead. It costs space on the server.");
  const std::pair<QWidget*, const char*> names[] = {
      {description_, "description"}, {host_, "host"},     {port_, "port"},           {user_, "user"},
      {password_, "password"},       {local_, "local"},   {remote_, "remote"},       {anonymous_, "anonymous"},
      {types_, "types"},             {serverOffset_, "serverOffset"}, {keyFile_, "keyFile"},
      {exclude_, "exclude"},         {backupDir_, "backupDir"}};
  for (const auto& [w, name] : names) w->setObjectName(name);
}

CConnectionDlg::Choice CConnectionDlg::ChoiceOf(int protocol, int tls) {
  if (protocol == 1) return kSftp;
  if (protocol != 0 || tls < 0 || tls > 2) return kUnknown;
  return static_cast<Choice>(tls);
}

int CConnectionDlg::DefaultPortOf(Choice c) {
  switch (c) {
    case kFtp: return DefaultPort(FsProtocol::Ftp);
    case kFtpExplicitTls: return DefaultPort(FsProtocol::FtpTlsExplicit);
    case kFtpImplicitTls: return DefaultPort(FsProtocol::FtpTlsImplicit);
    case kSftp: return DefaultPort(FsProtocol::Sftp);
    default: return 0;
  }
}

void CConnectionDlg::BuildProtocolChoice(const Values& v) {
  protocol_ = new QComboBox;
  protocol_->setObjectName("protocol");
  protocol_->addItem("FTP", kFtp);
  protocol_->addItem("FTP over explicit TLS", kFtpExplicitTls);
  protocol_->addItem("FTP over implicit TLS", kFtpImplicitTls);
  protocol_->addItem("SFTP", kSftp);
  protocol_->setToolTip("FTP: the password and files travel in clear. FTP over explicit TLS: AUTH TLS on the "
                        "normal port (21). FTP over implicit TLS: TLS from the first byte (port 990). With TLS "
                        "nothing is sent in clear; a server without TLS fails the connect. SFTP: over SSH "
                        "(port 22), signing in with ssh-agent, a key file or the password.");
  previous_ = ChoiceOf(v.protocol, v.tls);
  if (previous_ == kUnknown) {
    // Kept as it is, so that OK does not turn it into something else.
    unknownProtocol_ = v.protocol;
    unknownTls_ = v.tls;
    protocol_->addItem(QString("Unknown (protocol %1, TLS %2)").arg(v.protocol).arg(v.tls), kUnknown);
  }
  protocol_->setCurrentIndex(protocol_->findData(previous_));
  if (previous_ == kSftp) anonymous_->setChecked(false);  // SFTP has no anonymous login
  portLabel_ = new QLabel;
}

QLayout* CConnectionDlg::BuildKeyFileRow() {
  browseKey_ = new QToolButton;
  browseKey_->setText("Browse...");
  browseKey_->setObjectName("browseKeyFile");
  auto* row = new QHBoxLayout;
  row->addWidget(keyFile_, 1);
  row->addWidget(browseKey_);
  return row;
}

QLayout* CConnectionDlg::BuildPinRow(Pin& pin, const QString& value, const QString& name) {
  pin.value = value;
  pin.label = new QLabel(value.isEmpty() ? QString("none") : value);
  pin.label->setObjectName("trusted" + name);
  pin.label->setWordWrap(true);
  pin.label->setTextFormat(Qt::PlainText);
  pin.label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pin.forget = new QToolButton;
  pin.forget->setText("Forget");
  pin.forget->setObjectName("forget" + name);
  auto* row = new QHBoxLayout;
  row->addWidget(pin.label, 1);
  row->addWidget(pin.forget);
  connect(pin.forget, &QToolButton::clicked, this, [this, &pin] {
    pin.value.clear();
    pin.label->setText("none");
    UpdateControls();
  });
  return row;
}

void CConnectionDlg::LayOut(QLayout* localRow, QLayout* keyFileRow, QLayout* certificateRow, QLayout* hostKeyRow) {
  auto* group = new QGroupBox("Properties");
  auto* form = new QFormLayout(group);
  form->addRow("Description", description_);
  form->addRow("Protocol", protocol_);
  form->addRow("Hostname or IP address", host_);
  form->addRow(portLabel_, port_);
  form->addRow("", anonymous_);
  form->addRow("User name", user_);
  form->addRow("Password", password_);
  form->addRow("", passwordHome_);
  form->addRow("Key file", keyFileRow);
  form->addRow("Local path", localRow);
  form->addRow("File Types", types_);
  form->addRow("Remote path", remote_);
  form->addRow("", subFolders_);
  form->addRow("Leave out", exclude_);
  form->addRow("Server backup folder", backupDir_);
  form->addRow("Server time offset", serverOffset_);
  form->addRow("Trusted certificate", certificateRow);
  form->addRow("Trusted host key", hostKeyRow);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CConnectionDlg::ConnectControls(QToolButton* browseLocal) {
  connect(anonymous_, &QCheckBox::toggled, this, [this] { UpdateControls(); });
  connect(protocol_, &QComboBox::currentIndexChanged, this, [this] { OnProtocolChosen(); });
  connect(browseLocal, &QToolButton::clicked, this, [this] {
    QString path = local_->text();
    if (CFolderPicker::Browse(this, path, "Select Local Path")) local_->setText(path);
  });
  connect(browseKey_, &QToolButton::clicked, this, [this] { BrowseKeyFile(); });
}

void CConnectionDlg::BrowseKeyFile() {
  const QString current = keyFile_->text();
  const QString ssh = QDir::homePath() + "/.ssh";
  QFileDialog picker(this, "Select Private Key File",
                     !current.isEmpty() ? QFileInfo(current).absolutePath() : QDir(ssh).exists() ? ssh : QDir::homePath());
  picker.setObjectName("KeyFileDialog");
  picker.setFileMode(QFileDialog::ExistingFile);
  // Keys live in hidden folders (~/.ssh) and may be hidden files themselves.
  picker.setFilter(picker.filter() | QDir::Hidden);
  if (picker.exec() == QDialog::Accepted && !picker.selectedFiles().isEmpty())
    keyFile_->setText(picker.selectedFiles().first());
}

CConnectionDlg::Choice CConnectionDlg::Current() const { return static_cast<Choice>(protocol_->currentData().toInt()); }

// The port follows the choice when it was the previous choice's usual one (a
// port the user typed stays); anonymous is put aside while SFTP is chosen.
void CConnectionDlg::OnProtocolChosen() {
  const Choice now = Current();
  if (port_->text() == QString::number(DefaultPortOf(previous_)) && DefaultPortOf(now) != 0)
    port_->setText(QString::number(DefaultPortOf(now)));
  if (now == kSftp && previous_ != kSftp) {
    ftpAnonymous_ = anonymous_->isChecked();
    anonymous_->setChecked(false);
  } else if (now != kSftp && previous_ == kSftp) {
    anonymous_->setChecked(ftpAnonymous_);
  }
  previous_ = now;
  UpdateControls();
}

// Only what the chosen protocol uses can be edited.
void CConnectionDlg::UpdateControls() {
  const Choice c = Current();
  const bool sftp = c == kSftp, tls = c == kFtpExplicitTls || c == kFtpImplicitTls;
  const int usual = DefaultPortOf(c);
  portLabel_->setText(usual ? QString("Port (default is %1)").arg(usual) : QString("Port"));
  anonymous_->setEnabled(!sftp);
  user_->setEnabled(!anonymous_->isChecked());
  password_->setEnabled(!anonymous_->isChecked());
  keyFile_->setEnabled(sftp);
  browseKey_->setEnabled(sftp);
  // SFTP servers give times in UTC; the offset is for FTP listings.
  serverOffset_->setEnabled(!sftp);
  certificate_.label->setEnabled(tls || c == kUnknown);
  certificate_.forget->setEnabled((tls || c == kUnknown) && !certificate_.value.isEmpty());
  hostKey_.label->setEnabled(sftp || c == kUnknown);
  hostKey_.forget->setEnabled((sftp || c == kUnknown) && !hostKey_.value.isEmpty());
}

void CConnectionDlg::accept() {
  bool ok = false;
  const int port = port_->text().toInt(&ok);
  if (!ok || port < 1 || port > 65535) {
    QMessageBox::warning(this, "Twinbay", "Please enter an integer between 1 and 65535.");
    port_->setFocus();
    port_->selectAll();
    return;
  }
  ServerTimeOffset offset;
  std::string why;
  const QString offsetText = serverOffset_->text().trimmed();
  if (!offsetText.isEmpty() && !ServerTimeOffset::Parse(offsetText.toStdString(), offset, &why)) {
    QMessageBox::warning(this, "Twinbay", "Enter \"automatic\" or an offset such as +05:30 or -08:00 for the server time.");
    serverOffset_->setFocus();
    serverOffset_->selectAll();
    return;
  }
  // The list is used as --exclude uses it: one pattern that cannot be used
  // keeps the dialog open, never an empty list.
  ExcludeList exclusions;
  if (!exclusions.AddLines(exclude_->toPlainText().toStdString(), why)) {
    QMessageBox::warning(this, "Twinbay", "The paths to leave out cannot be used: " + QString::fromStdString(why) +
                                              ".\nEach line is one pattern such as *.tmp, .git/ or /build/.");
    exclude_->setFocus();
    return;
  }
  types_->Add(types_->currentText());
  types_->Save();
  QDialog::accept();
}

CConnectionDlg::Values CConnectionDlg::GetValues() const {
  Values v;
  v.description = description_->text();
  v.host = host_->text().trimmed();
  v.port = port_->text().toInt();
  v.anonymous = anonymous_->isChecked();
  v.userName = user_->text();
  v.password = password_->text();
  v.localPath = local_->text();
  v.fileTypes = types_->currentText();
  v.remotePath = remote_->text();
  v.includeSubFolders = subFolders_->isChecked();
  v.serverOffset = serverOffset_->text().trimmed();
  const Choice c = Current();
  v.protocol = c == kUnknown ? unknownProtocol_ : c == kSftp ? 1 : 0;
  v.tls = c == kUnknown ? unknownTls_ : c == kSftp ? 0 : static_cast<int>(c);
  v.pinnedFingerprint = certificate_.value;
  v.keyFile = keyFile_->text().trimmed();
  v.hostKey = hostKey_.value;
  v.exclude = exclude_->toPlainText();
  v.backupDir = backupDir_->text().trimmed();
  return v;
}

CConnectionDlg::Values CConnectionDlg::FromRecord(const CConnectionProperties& r) {
  Values v;
  v.description = QString::fromStdString(r.description);
  v.host = QString::fromStdString(r.host);
  v.remotePath = QString::fromStdString(r.remotePath);
  v.anonymous = r.anonymous != 0;
  v.userName = QString::fromStdString(r.userName);
  v.password = QString::fromStdString(r.password);
  v.includeSubFolders = r.includeSubFolders != 0;
  v.localPath = QString::fromStdString(r.localPath);
  v.fileTypes = QString::fromStdString(r.fileTypes);
  v.port = r.port;
  v.serverOffset = QString::fromStdString(GetServerOffset(r).Text());
  v.protocol = r.protocol;
  v.tls = r.tlsMode;
  v.pinnedFingerprint = QString::fromStdString(r.pinnedFingerprint);
  v.keyFile = QString::fromStdString(r.keyFile);
  v.hostKey = QString::fromStdString(r.hostKey);
  v.passwordHome = QString::fromStdString(PasswordHomeText(r));
  v.exclude = QString::fromStdString(r.exclude);
  v.backupDir = QString::fromStdString(r.backupDir);
  return v;
}

void CConnectionDlg::Fill(CConnectionProperties& r, const Values& v) {
  r.description = (v.description.isEmpty() ? v.host : v.description).toStdString();
  r.host = v.host.toStdString();
  r.remotePath = v.remotePath.toStdString();
  r.anonymous = v.anonymous && v.protocol != 1 ? 1 : 0;  // SFTP has no anonymous login
  r.userName = v.userName.toStdString();
  r.password = v.password.toStdString();
  r.passwordStored = 1;
  r.includeSubFolders = v.includeSubFolders ? 1 : 0;
  r.localPath = v.localPath.toStdString();
  r.fileTypes = v.fileTypes.toStdString();
  r.port = v.port;
  ServerTimeOffset offset;  // automatic when empty
  if (v.serverOffset.trimmed().isEmpty() || ServerTimeOffset::Parse(v.serverOffset.toStdString(), offset))
    SetServerOffset(r, offset);
  r.protocol = v.protocol;
  r.tlsMode = v.tls;
  r.keyFile = v.keyFile.toStdString();
  // One pattern a line, without the blank lines and line ends left at the end.
  r.exclude = v.exclude.toStdString();
  std::erase(r.exclude, '\r');
  while (!r.exclude.empty() && std::isspace(static_cast<unsigned char>(r.exclude.back()))) r.exclude.pop_back();
  r.backupDir = v.backupDir.trimmed().toStdString();
  // A certificate pin belongs to FTP over TLS, a host key pin to SFTP; a
  // protocol without one has nothing to trust (values this version does not
  // know keep both).
  const Choice c = ChoiceOf(v.protocol, v.tls);
  r.pinnedFingerprint = c == kFtp || c == kSftp ? std::string() : v.pinnedFingerprint.toStdString();
  r.hostKey = c == kUnknown || c == kSftp ? v.hostKey.toStdString() : std::string();
}

// ---- Connections ---------------------------------------------------------------

CConnectionsDlg::CConnectionsDlg(ConnectionsList& list, bool compareOnConnect, QWidget* parent)
    : QDialog(parent), list_(list) {
  setWindowTitle("Connections");
  setObjectName("ConnectionsDialog");
  setWindowIcon(icons::App());
  listBox_ = new QListWidget;
  listBox_->setSortingEnabled(true);
  listBox_->setObjectName("connections");
  add_ = new QPushButton("&Add...");
  edit_ = new QPushButton("&Edit...");
  delete_ = new QPushButton("&Delete");
  connect_ = new QPushButton("&Connect");
  auto* cancel = new QPushButton("Cancel");
  connect_->setDefault(true);
  compareOnConnect_ = new QCheckBox("Compare on Connect");
  compareOnConnect_->setChecked(compareOnConnect);
  add_->setObjectName("add");
  edit_->setObjectName("edit");
  delete_->setObjectName("delete");
  connect_->setObjectName("connect");
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {connect_, add_, edit_, delete_, cancel}) buttons->addWidget(b);
  buttons->addStretch();
  auto* group = new QGroupBox("Stored connections");
  auto* inner = new QHBoxLayout(group);
  inner->addWidget(listBox_);
  inner->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(compareOnConnect_);
  for (size_t i = 0; i < list_.Count(); ++i) {
    CConnectionProperties* r = list_.At(i);
    // A password typed at an earlier prompt is forgotten here.
    if (!r->passwordStored) r->password.clear();
    auto* item = new QListWidgetItem(QString::fromStdString(r->description), listBox_);
    item->setData(Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(r)));
  }
  connect(listBox_, &QListWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  connect(listBox_, &QListWidget::itemDoubleClicked, this, [this] { OnConnect(); });
  connect(add_, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(edit_, &QPushButton::clicked, this, [this] { OnEdit(); });
  connect(delete_, &QPushButton::clicked, this, [this] { OnDelete(); });
  connect(connect_, &QPushButton::clicked, this, [this] { OnConnect(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  UpdateButtons();
  if (list_.Count() == 0) QTimer::singleShot(250, this, [this] { OnAdd(); });
  resize(440, 300);
}

CConnectionProperties* CConnectionsDlg::Selected() const {
  const QList<QListWidgetItem*> sel = listBox_->selectedItems();
  if (sel.isEmpty()) return nullptr;
  return reinterpret_cast<CConnectionProperties*>(sel.first()->data(Qt::UserRole).value<quintptr>());
}

void CConnectionsDlg::UpdateButtons() {
  const bool any = Selected() != nullptr;
  connect_->setEnabled(any);
  edit_->setEnabled(any);
  delete_->setEnabled(any);
}

void CConnectionsDlg::OnAdd() {
  CConnectionDlg dlg(true, CConnectionDlg::Values(), this);
  if (dlg.exec() != QDialog::Accepted) return;
  auto record = std::make_unique<CConnectionProperties>();
  CConnectionDlg::Fill(*record, dlg.GetValues());
  CConnectionProperties* r = list_.Add(std::move(record));
  KeepRecordPassword(*r);  // into the keyring now, so that the dialog tells the truth next time
  auto* item = new QListWidgetItem(QString::fromStdString(r->description), listBox_);
  item->setData(Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(r)));
  listBox_->clearSelection();
  item->setSelected(true);
  listBox_->setCurrentItem(item);
  UpdateButtons();
}

void CConnectionsDlg::OnEdit() {
  CConnectionProperties* r = Selected();
  if (!r) return;
  // The password shown is the one the keyring keeps (an empty field left as
  // it is changes nothing when it cannot be read).
  std::string problem;
  CConnectionDlg::Values values = CConnectionDlg::FromRecord(*r);
  if (!FetchRecordPassword(*r, problem)) values.passwordHome = QString::fromStdString(problem);
  values.password = QString::fromStdString(r->password);
  CConnectionDlg dlg(false, values, this);
  if (dlg.exec() != QDialog::Accepted) return;
  CConnectionDlg::Fill(*r, dlg.GetValues());
  KeepRecordPassword(*r);
  listBox_->selectedItems().first()->setText(QString::fromStdString(r->description));
}

void CConnectionsDlg::OnDelete() {
  CConnectionProperties* r = Selected();
  if (!r) return;
  if (QMessageBox::question(this, "Twinbay - Confirm deletion", "Do you really want to delete this connection?",
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  delete listBox_->selectedItems().first();
  deleted_.push_back(r);
  const CConnectionProperties removed = *r;
  list_.Remove(r);
  ForgetRecordPassword(list_, removed);
  listBox_->clearSelection();
  UpdateButtons();
}

void CConnectionsDlg::OnConnect() {
  chosen_ = Selected();
  if (!chosen_) return;  // nothing to connect with
  accept();
}

// ---- Enter password --------------------------------------------------------------

CPasswordDlg::CPasswordDlg(const QString& text, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Enter password");
  setObjectName("PasswordDialog");
  edit_ = new QLineEdit;
  edit_->setEchoMode(QLineEdit::Password);
  edit_->setObjectName("password");
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* form = new QFormLayout(this);
  form->addRow(label);
  form->addRow("Password", edit_);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

}  // namespace twinbay
