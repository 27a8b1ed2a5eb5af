#include "widgets/history_combo.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

#include "widgets/registry_key.h"

namespace twinbay {

CHistoryComboBox::CHistoryComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  setAcceptDrops(true);
  setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setMinimumContentsLength(8);
}

void CHistoryComboBox::Load() {
  CRegistryKey k;
  k.Open(key_);
  for (int i = 0;; ++i) {
    const QString line = k.GetString(QString("Line%1").arg(i));
    if (line.isEmpty()) break;
    addItem(line);
  }
  SizeDropDown();
  if (count() > 0) setCurrentIndex(0);
}

void CHistoryComboBox::Add(const QString& text) {
  if (text.isEmpty()) return;
  for (int i = 0; i < count(); ++i)
    if (itemText(i).compare(text, Qt::CaseInsensitive) == 0) {
      removeItem(i);
      break;
    }
  insertItem(0, text);
  setCurrentIndex(0);
}

void CHistoryComboBox::Save() const {
  CRegistryKey k;
  k.Open(key_);
  for (int i = 0; i < count(); ++i) k.SetString(QString("Line%1").arg(i), itemText(i));
  // A shorter list must not leave old lines behind it.
  k.DeleteTree(QString("Line%1").arg(count()));
  k.Sync();
}

void CHistoryComboBox::SizeDropDown(int minItems, int maxItems) {
  setMaxVisibleItems(std::clamp(count(), minItems, maxItems));
}

void CHistoryComboBox::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void CHistoryComboBox::dropEvent(QDropEvent* e) {
  const QList<QUrl> urls = e->mimeData()->urls();
  if (!urls.isEmpty() && urls.first().isLocalFile()) {
    setEditText(urls.first().toLocalFile());
    e->acceptProposedAction();
  }
}

}  // namespace twinbay
