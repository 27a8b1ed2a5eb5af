#include "ui/dialogs/connection_dlgs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/connections.h"
#include "widgets/history_combo.h"
#include "ui/settings.h"
#include "ui/icons.h"
#include "widgets/folder_picker.h"

namespace twinbay {

// ---- Connection ----------------------------------------------------------------

CConnectionDlg::CConnectionDlg(bool adding, const Values& v, QWidget* parent) : QDialog(parent) {
  setWindowTitle(adding ? "Add new connection" : "Edit connection properties");
  setObjectName("ConnectionDialog");
  auto* group = new QGroupBox("Properties");
  auto* form = new QFormLayout(group);
  description_ = new QLineEdit(v.description);
  host_ = new QLineEdit(v.host);
  port_ = new QLineEdit(QString::number(v.port));
  port_->setAlignment(Qt::AlignRight);
  port_->setValidator(new QIntValidator(0, 99999, port_));
  port_->setMaximumWidth(80);
  anonymous_ = new QCheckBox("Anonymous login");
  anonymous_->setChecked(v.anonymous);
  user_ = new QLineEdit(v.userName);
  password_ = new QLineEdit(v.password);
  password_->setEchoMode(QLineEdit::Password);
  local_ = new QLineEdit(v.localPath);
  auto* browse = new QToolButton;
  browse->setText("...");
  auto* localRow = new QHBoxLayout;
  localRow->addWidget(local_);
  localRow->addWidget(browse);
  types_ = new CHistoryComboBox;
  remote_ = new QLineEdit(v.remotePath);
  subFolders_ = new QCheckBox("Include sub-folders");
  subFolders_->setLayoutDirection(Qt::RightToLeft);
  subFolders_->setChecked(v.includeSubFolders);
  serverOffset_ = new QLineEdit(v.serverOffset);
  serverOffset_->setPlaceholderText("automatic");
  serverOffset_->setToolTip(
      "For a server that lists times in its own local time: \"automatic\" finds its offset from UTC for each "
      "session where it can; a fixed offset such as +05:30 or -08:00 is used as it is.");
  serverOffset_->setObjectName("serverOffset");
  tls_ = new QComboBox;
  tls_->setObjectName("tls");
  tls_->addItem("None", 0);
  tls_->addItem("Explicit", 1);
  tls_->addItem("Implicit", 2);
  tls_->setToolTip("None: plain FTP, the password and files travel in clear. Explicit: AUTH TLS on the normal "
                   "port (21). Implicit: TLS from the first byte (port 990). With TLS nothing is sent in clear; "
                   "a server without TLS fails the connect.");
  if (v.tls < 0 || v.tls > 2) tls_->addItem(QString("Unknown (%1)").arg(v.tls), v.tls);
  tls_->setCurrentIndex(tls_->findData(v.tls));
  pinnedFingerprint_ = v.pinnedFingerprint;
  trusted_ = new QLabel(v.pinnedFingerprint.isEmpty() ? QString("none") : v.pinnedFingerprint);
  trusted_->setObjectName("trustedCertificate");
  trusted_->setWordWrap(true);
  trusted_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* forget = new QToolButton;
  forget->setText("Forget");
  forget->setObjectName("forgetCertificate");
  forget->setEnabled(!v.pinnedFingerprint.isEmpty());
  auto* trustedRow = new QHBoxLayout;
  trustedRow->addWidget(trusted_, 1);
  trustedRow->addWidget(forget);
  connect(forget, &QToolButton::clicked, this, [this, forget] {
    pinnedFingerprint_.clear();
    trusted_->setText("none");
    forget->setEnabled(false);
  });
  // The usual port follows the choice where the port was the other usual one.
  connect(tls_, &QComboBox::currentIndexChanged, this, [this] {
    const int mode = tls_->currentData().toInt();
    if (mode == 2 && port_->text() == "21") port_->setText("990");
    if (mode != 2 && port_->text() == "990") port_->setText("21");
  });
  description_->setObjectName("description");
  host_->setObjectName("host");
  port_->setObjectName("port");
  user_->setObjectName("user");
  password_->setObjectName("password");
  local_->setObjectName("local");
  remote_->setObjectName("remote");
  anonymous_->setObjectName("anonymous");
  types_->setObjectName("types");
  form->addRow("Description", description_);
  form->addRow("Hostname or IP address", host_);
  form->addRow("Port (default is 21)", port_);
  form->addRow("", anonymous_);
  form->addRow("User name", user_);
  form->addRow("Password", password_);
  form->addRow("Local path", localRow);
  form->addRow("File Types", types_);
  form->addRow("Remote path", remote_);
  form->addRow("", subFolders_);
  form->addRow("Server time offset", serverOffset_);
  form->addRow("Encryption (TLS)", tls_);
  form->addRow("Trusted certificate", trustedRow);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(anonymous_, &QCheckBox::toggled, this, [this] { UpdateLogin(); });
  connect(browse, &QToolButton::clicked, this, [this] {
    QString path = local_->text();
    if (CFolderPicker::Browse(this, path, "Select Local Path")) local_->setText(path);
  });
  types_->SetKey(QString(kBaseKey) + "\\Types History");
  types_->Load();
  // The record's own file types stay visible, not the most recent history line.
  types_->setEditText(v.fileTypes);
  UpdateLogin();
  resize(460, sizeHint().height());
}

void CConnectionDlg::UpdateLogin() {
  user_->setEnabled(!anonymous_->isChecked());
  password_->setEnabled(!anonymous_->isChecked());
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
  v.tls = tls_->currentData().toInt();
  v.pinnedFingerprint = pinnedFingerprint_;
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
  v.tls = r.tlsMode;
  v.pinnedFingerprint = QString::fromStdString(r.pinnedFingerprint);
  return v;
}

void CConnectionDlg::Fill(CConnectionProperties& r, const Values& v) {
  r.description = (v.description.isEmpty() ? v.host : v.description).toStdString();
  r.host = v.host.toStdString();
  r.remotePath = v.remotePath.toStdString();
  r.anonymous = v.anonymous ? 1 : 0;
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
  r.tlsMode = v.tls;
  // A pin belongs to TLS; plain FTP has no certificate to trust.
  r.pinnedFingerprint = v.tls == 0 ? std::string() : v.pinnedFingerprint.toStdString();
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
  CConnectionDlg dlg(false, CConnectionDlg::FromRecord(*r), this);
  if (dlg.exec() != QDialog::Accepted) return;
  CConnectionDlg::Fill(*r, dlg.GetValues());
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
  list_.Remove(r);
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
