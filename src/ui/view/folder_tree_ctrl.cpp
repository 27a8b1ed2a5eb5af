#include "ui/view/folder_tree_ctrl.h"

#include <QHeaderView>
#include <QMimeData>

#include "engine/file_entry.h"
#include "ui/icons.h"
#include "ui/view/messages.h"

namespace twinbay {
namespace {
constexpr int kRecordRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kMarkRole = Qt::UserRole + 2;
}  // namespace

CFolderTreeCtrl::CFolderTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  header()->hide();
  setIconSize(QSize(40, 16));
  setUniformRowHeights(true);
  setDragEnabled(true);
  setDragDropMode(QAbstractItemView::DragOnly);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
    if (reportSelection_ && notify_ && current)
      Post<ShowFolderEvent>(notify_, Record(current));
  });
}

CFolderRecord* CFolderTreeCtrl::Record(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<CFolderRecord*>(item->data(0, kRecordRole).value<quintptr>()) : nullptr;
}

void CFolderTreeCtrl::SetRecord(QTreeWidgetItem* item, CFolderRecord* record) {
  item->setData(0, kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(record)));
}

QStringList CFolderTreeCtrl::mimeTypes() const { return {"text/plain"}; }

QMimeData* CFolderTreeCtrl::mimeData(const QList<QTreeWidgetItem*>& items) const {
  if (items.isEmpty()) return nullptr;
  auto* data = new QMimeData;
  data->setText(items.first()->text(0));
  return data;
}

int CFolderTreeCtrl::ItemImage(const QTreeWidgetItem* item) { return item->data(0, kImageRole).toInt(); }
int CFolderTreeCtrl::ItemMark(const QTreeWidgetItem* item) { return item->data(0, kMarkRole).toInt(); }

void CFolderTreeCtrl::Repaint(QTreeWidgetItem* item) {
  item->setIcon(0, icons::Folder(ItemImage(item), ItemMark(item)));
}

QTreeWidgetItem* CFolderTreeCtrl::InsertFolderItem(QTreeWidgetItem* parent, const QString& text, int image) {
  auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
  item->setText(0, text);
  item->setData(0, kImageRole, image);
  item->setData(0, kMarkRole, 0);
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  Repaint(item);
  return item;
}

void CFolderTreeCtrl::SetItemImage(QTreeWidgetItem* item, int image) {
  item->setData(0, kImageRole, image);
  Repaint(item);
}

void CFolderTreeCtrl::SetDirectionMark(QTreeWidgetItem* item, int mark) {
  item->setData(0, kMarkRole, mark);
  Repaint(item);
}

void CFolderTreeCtrl::SetBold(QTreeWidgetItem* item, bool bold) {
  QFont f = item->font(0);
  f.setBold(bold);
  item->setFont(0, f);
}

bool CFolderTreeCtrl::SetChildrenIndicator(QTreeWidgetItem* item) {
  const bool has = item->childCount() > 0;
  item->setChildIndicatorPolicy(has ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicator);
  return has;
}

void CFolderTreeCtrl::AddItems(const CFolderCollection& collection) {
  struct New {
    CFolderRecord* record;
    size_t parent;  // the parent's index; the record's own for the top folder
    QString text;
    int image;
  };
  std::vector<New> added;
  {
    // Copied under the lock, made into items after it: the compare goes on
    // meanwhile.
    auto guard = collection.Lock();
    const size_t count = collection.GetCount();
    for (size_t i = items_.size(); i < count; ++i) {
      CFolderRecord* r = collection.GetAt(i);
      added.push_back({r, r->parent ? r->parent->index : i, QString::fromStdString(r->name), r->folderClass});
    }
  }
  bool children = false;
  for (const New& n : added) {
    QTreeWidgetItem* parent = n.parent == n.record->index ? nullptr : items_[n.parent];
    QTreeWidgetItem* item = InsertFolderItem(parent, n.text, n.image);
    SetRecord(item, n.record);
    items_.push_back(item);
    children = children || parent;
  }
  if (children && topLevelItemCount() > 0) topLevelItem(0)->setExpanded(true);
}

QTreeWidgetItem* CFolderTreeCtrl::FindItem(const CFolderRecord* record) const {
  return record && record->index < items_.size() && Record(items_[record->index]) == record ? items_[record->index]
                                                                                             : nullptr;
}

void CFolderTreeCtrl::ShowMarks(const CFolderCollection& collection, const CFolderRecord* record) {
  QTreeWidgetItem* item = FindItem(record);
  if (!item) return;
  int folderClass, overlay;
  bool bold;
  {
    auto guard = collection.Lock();
    folderClass = record->folderClass;
    overlay = record->TreeOverlay();
    bold = record->TreeBold();
  }
  item->setData(0, kImageRole, folderClass);
  item->setData(0, kMarkRole, overlay);
  Repaint(item);
  SetBold(item, bold);
}

void CFolderTreeCtrl::ShowFinished(const CFolderCollection& collection, const CFolderRecord* record) {
  QTreeWidgetItem* item = FindItem(record);
  if (!item) return;
  SetChildrenIndicator(item);
  ShowMarks(collection, record);
  if (item->font(0).bold())
    for (QTreeWidgetItem* p = item->parent(); p; p = p->parent()) p->setExpanded(true);
}

void CFolderTreeCtrl::DeleteAll() {
  const bool was = reportSelection_;
  reportSelection_ = false;
  clear();
  items_.clear();
  reportSelection_ = was;
}

}  // namespace twinbay
