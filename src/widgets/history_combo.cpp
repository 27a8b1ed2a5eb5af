#include "widgets/history_combo.h"

#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

#include "widgets/registry_key.h"

namespace twinbay {

CHistoryComboBox::CHistoryComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  setAcceptDrops(true);
  lineEdit()->installEventFilter(this);
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

QString CHistoryComboBox::DroppedFolder(const QMimeData* data) {
  QUrl url;
  if (data->hasUrls()) {
    url = data->urls().value(0);
  } else if (data->hasText()) {
    const QString text = data->text().section('\n', 0, 0).trimmed();
    url = text.startsWith('/') ? QUrl::fromLocalFile(text) : QUrl(text);
  }
  if (!url.isLocalFile()) return QString();
  const QFileInfo info(url.toLocalFile());
  return info.isDir() ? QDir::cleanPath(info.absoluteFilePath()) : QString();
}

bool CHistoryComboBox::eventFilter(QObject* watched, QEvent* e) {
  switch (e->type()) {
    case QEvent::DragEnter: dragEnterEvent(static_cast<QDragEnterEvent*>(e)); return true;
    case QEvent::DragMove: dragMoveEvent(static_cast<QDragMoveEvent*>(e)); return true;
    case QEvent::Drop: dropEvent(static_cast<QDropEvent*>(e)); return true;
    default: return QComboBox::eventFilter(watched, e);
  }
}

void CHistoryComboBox::dragEnterEvent(QDragEnterEvent* e) { dragMoveEvent(e); }

void CHistoryComboBox::dragMoveEvent(QDragMoveEvent* e) {
  if (DroppedFolder(e->mimeData()).isEmpty())
    e->ignore();
  else
    e->acceptProposedAction();
}

void CHistoryComboBox::dropEvent(QDropEvent* e) {
  const QString folder = DroppedFolder(e->mimeData());
  if (folder.isEmpty()) return e->ignore();
  setEditText(folder);
  e->acceptProposedAction();
}

}  // namespace twinbay
