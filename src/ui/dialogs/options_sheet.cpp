#include "ui/dialogs/options_sheet.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace twinbay {

COptionsPage::COptionsPage(const QString& name, QWidget* parent) : QWidget(parent) {
  setObjectName(name);
  auto* box = new QGroupBox;
  group_ = new QVBoxLayout(box);
  group_->setContentsMargins(12, 12, 12, 12);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 10, 10, 10);
  layout->addWidget(box);
  group_->addStretch(1);
}

QCheckBox* COptionsPage::AddFlag(const QString& text, const QString& objectName, quint32* flag) {
  auto* box = new QCheckBox(text);
  box->setObjectName(objectName);
  box->setChecked(*flag != 0);
  group_->insertWidget(group_->count() - 1, box);
  boxes_.append({box, flag});
  return box;
}

QSpinBox* COptionsPage::AddNumber(const QString& text, const QString& objectName, quint32* value, int lowest,
                                  int highest) {
  auto* spin = new QSpinBox;
  spin->setObjectName(objectName);
  spin->setRange(lowest, highest);
  spin->setValue(static_cast<int>(*value));
  auto* label = new QLabel(text);
  label->setBuddy(spin);
  auto* row = new QHBoxLayout;
  row->addWidget(label, 1);
  row->addWidget(spin);
  group_->insertLayout(group_->count() - 1, row);
  numbers_.append({spin, value});
  return spin;
}

void COptionsPage::Exchange() {
  for (const auto& [box, flag] : boxes_) *flag = box->isChecked() ? 1 : 0;
  for (const auto& [spin, value] : numbers_) *value = static_cast<quint32>(spin->value());
}

CPropertyPageCompare::CPropertyPageCompare(CSettings& s, QWidget* parent) : COptionsPage("ComparePage", parent) {
  AddFlag("Audible alert on completion", "compareAlert", &s.m_bCompareAlert);
  AddFlag("Ignore seconds when comparing timestamps", "ignoreSeconds", &s.m_bIgnoreSeconds);
  AddFlag("Compare files of equal size by content where the server gives a hash", "checksum", &s.m_bChecksum);
  AddNumber("Connections to list folders over at once", "connections", &s.m_nConnections, 1, 16);
  // Kept for the current connection only (none: nothing to keep it for).
  AddFlag("Remember the last synchronisation for this connection", "rememberSync", &s.m_bRememberSync)
      ->setEnabled(!s.m_connection.isEmpty());
}

CPropertyPageDisplay::CPropertyPageDisplay(CSettings& s, QWidget* parent) : COptionsPage("DisplayPage", parent) {
  AddFlag("Suppress tagging of files after compare", "suppressTagging", &s.m_bSuppressTagging);
  AddFlag("Suppress striped list", "suppressStripes", &s.m_bSuppressStripedList);
  AddFlag("Use the system's title bar", "systemCaption", &s.m_bSystemCaption);
}

CPropertyPageTransfer::CPropertyPageTransfer(CSettings& s, QWidget* parent) : COptionsPage("TransferPage", parent) {
  AddFlag("Audible alert on completion", "transferAlert", &s.m_bTransferAlert);
  AddFlag("Set Local timestamps to Remote after transfer", "setTimestamps", &s.m_bSetLocalTimestamps);
  AddFlag("Verify every copy by hash where the server gives one", "verify", &s.m_bVerify);
  AddNumber("Bandwidth limit for all copies, KiB/s (0: none)", "bandwidthLimit", &s.m_nBandwidthLimit, 0,
            static_cast<int>(kMaxBandwidthLimit));
}

COptionsSheet::COptionsSheet(const CSettings& settings, QWidget* parent) : QDialog(parent), copy_(settings) {
  setObjectName("OptionsSheet");
  setWindowTitle("Options");
  tabs_ = new QTabWidget;
  pages_[0] = new CPropertyPageCompare(copy_);
  pages_[1] = new CPropertyPageDisplay(copy_);
  pages_[2] = new CPropertyPageTransfer(copy_);
  tabs_->addTab(pages_[0], "Compare");
  tabs_->addTab(pages_[1], "Display");
  tabs_->addTab(pages_[2], "Transfer");
  tabs_->setCurrentIndex(0);
  // Nothing is applied before OK, so there is no Apply button.
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
  resize(380, 260);
}

void COptionsSheet::accept() {
  for (COptionsPage* p : pages_) p->Exchange();
  QDialog::accept();
}

void CopyOptionFlags(const CSettings& from, CSettings& to) {
  to.m_bCompareAlert = from.m_bCompareAlert;
  to.m_bIgnoreSeconds = from.m_bIgnoreSeconds;
  to.m_bChecksum = from.m_bChecksum;
  to.m_bVerify = from.m_bVerify;
  to.m_bSuppressTagging = from.m_bSuppressTagging;
  to.m_bSuppressStripedList = from.m_bSuppressStripedList;
  to.m_bSystemCaption = from.m_bSystemCaption;
  to.m_bSetLocalTimestamps = from.m_bSetLocalTimestamps;
  to.m_bTransferAlert = from.m_bTransferAlert;
  to.m_nConnections = from.m_nConnections;
  to.m_nBandwidthLimit = from.m_nBandwidthLimit;
  to.m_bRememberSync = from.m_bRememberSync;
}

bool RunOptions(CSettings& settings, QWidget* parent) {
  COptionsSheet sheet(settings, parent);
  if (sheet.exec() != QDialog::Accepted) return false;
  CopyOptionFlags(sheet.Edited(), settings);
  return true;
}

}  // namespace twinbay
