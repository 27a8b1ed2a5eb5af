// Tools > Options: the Compare, Display and Transfer pages over a copy of the
// view's settings.
#pragma once

#include <QCheckBox>
#include <QDialog>

#include "ui/settings.h"

class QSpinBox;
class QTabWidget;
class QVBoxLayout;

namespace twinbay {

// One page: a group box with its check boxes, each bound to one flag of the
// sheet's copy of the settings.
class COptionsPage : public QWidget {
  Q_OBJECT
 public:
  COptionsPage(const QString& name, QWidget* parent = nullptr);
  QCheckBox* AddFlag(const QString& text, const QString& objectName, quint32* flag);
  // A number from `lowest` to `highest`, beside its label.
  QSpinBox* AddNumber(const QString& text, const QString& objectName, quint32* value, int lowest, int highest);
  // Copies the boxes into the flags.
  void Exchange();

 private:
  QList<QPair<QCheckBox*, quint32*>> boxes_;
  QList<QPair<QSpinBox*, quint32*>> numbers_;
  QVBoxLayout* group_;
};

class CPropertyPageCompare : public COptionsPage {
  Q_OBJECT
 public:
  explicit CPropertyPageCompare(CSettings& s, QWidget* parent = nullptr);
};
class CPropertyPageDisplay : public COptionsPage {
  Q_OBJECT
 public:
  explicit CPropertyPageDisplay(CSettings& s, QWidget* parent = nullptr);
};
class CPropertyPageTransfer : public COptionsPage {
  Q_OBJECT
 public:
  explicit CPropertyPageTransfer(CSettings& s, QWidget* parent = nullptr);
};

class COptionsSheet : public QDialog {
  Q_OBJECT
 public:
  // Edits a copy of `settings`; Edited() holds it after OK.
  explicit COptionsSheet(const CSettings& settings, QWidget* parent = nullptr);
  const CSettings& Edited() const { return copy_; }
  QTabWidget* Tabs() const { return tabs_; }
  void accept() override;

 private:
  CSettings copy_;
  QTabWidget* tabs_;
  COptionsPage* pages_[3];
};

// Runs the sheet; on OK writes the option flags back into `settings`.
// Returns true when OK was pressed.
bool RunOptions(CSettings& settings, QWidget* parent);
// Copies the flags the Options sheet edits.
void CopyOptionFlags(const CSettings& from, CSettings& to);

}  // namespace twinbay
