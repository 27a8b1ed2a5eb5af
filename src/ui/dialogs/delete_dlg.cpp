#include "ui/dialogs/delete_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/icons.h"

namespace twinbay {

QString CConfirmDeleteDlg::Label(int count, const char* side) {
  return QString("Delete %1 file%2 from %3").arg(count).arg(count == 1 ? "" : "s").arg(side);
}

CConfirmDeleteDlg::CConfirmDeleteDlg(int localCount, int remoteCount, QWidget* parent) : QDialog(parent) {
  setObjectName("ConfirmDeleteDialog");
  setWindowTitle("Confirm Deletions");
  local_ = new QCheckBox(Label(localCount, "local"));
  local_->setObjectName("deleteLocal");
  local_->setEnabled(localCount != 0);
  remote_ = new QCheckBox(Label(remoteCount, "remote"));
  remote_->setObjectName("deleteRemote");
  remote_->setEnabled(remoteCount != 0);

  // Each box beside the picture of the side it deletes from.
  auto* group = new QGroupBox;
  auto* grid = new QGridLayout(group);
  auto picture = [](const QIcon& icon) {
    auto* l = new QLabel;
    l->setPixmap(icon.pixmap(16, 16));
    return l;
  };
  grid->addWidget(picture(icons::State(2)), 0, 0);
  grid->addWidget(local_, 0, 1);
  grid->addWidget(picture(icons::State(0)), 1, 0);
  grid->addWidget(remote_, 1, 1);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QDialogButtonBox;
  QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
  QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  ok->setObjectName("ok");
  cancel->setObjectName("cancel");
  ok->setAutoDefault(false);
  ok->setDefault(false);
  cancel->setAutoDefault(true);
  cancel->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* warn = new QLabel;
  warn->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(warn);
  bottom->addStretch(1);
  bottom->addWidget(buttons);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(bottom);
  cancel->setFocus();
}

bool CConfirmDeleteDlg::DeleteLocal() const { return local_->isEnabled() && local_->isChecked(); }
bool CConfirmDeleteDlg::DeleteRemote() const { return remote_->isEnabled() && remote_->isChecked(); }

}  // namespace twinbay
