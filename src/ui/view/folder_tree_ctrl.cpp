#include "ui/view/folder_tree_ctrl.h"

#include <QHeaderView>
#include <QMimeData>
#include <QThread>

#include "engine/file_entry.h"
#include "ui/icons.h"
#include "ui/view/messages.h"

namespace twinbay {
namespace {
constexpr int kRecordRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kMarkRole = Qt::UserRole + 2;

QTreeWidgetItem* ItemOf(TreeItem t) { return reinterpret_cast<QTreeWidgetItem*>(t); }
TreeItem HandleOf(QTreeWidgetItem* i) { return reinterpret_cast<TreeItem>(i); }
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
      PostMessage(notify_, WM_SHOWFOLDER, 0, reinterpret_cast<quintptr>(Record(current)));
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

QTreeWidgetItem* CFolderTreeCtrl::FindItem(CFolderRecord* record, QTreeWidgetItem* start) const {
  if (!start) {
    for (int i = 0; i < topLevelItemCount(); ++i)
      if (QTreeWidgetItem* found = FindItem(record, topLevelItem(i))) return found;
    return nullptr;
  }
  if (Record(start) == record) return start;
  for (int i = 0; i < start->childCount(); ++i)
    if (QTreeWidgetItem* found = FindItem(record, start->child(i))) return found;
  return nullptr;
}

void CFolderTreeCtrl::DeleteAll() {
  const bool was = reportSelection_;
  reportSelection_ = false;
  clear();
  reportSelection_ = was;
}

template <class F>
void TreeAdapter::OnUiThread(F f) {
  if (QThread::currentThread() == tree_->thread()) {
    f();
    return;
  }
  // Queued onto the user-interface thread; the walk waits for it to finish.
  caller_.CallAndWait(f);
}

TreeItem TreeAdapter::InsertItem(TreeItem parent, const std::string& text, int image, int, bool) {
  TreeItem result = kNoItem;
  OnUiThread([&] { result = HandleOf(tree_->InsertFolderItem(ItemOf(parent), QString::fromStdString(text), image)); });
  return result;
}

void TreeAdapter::SetItemData(TreeItem item, CFolderRecord* record) {
  OnUiThread([&] { CFolderTreeCtrl::SetRecord(ItemOf(item), record); });
}

CFolderRecord* TreeAdapter::GetItemData(TreeItem item) {
  CFolderRecord* r = nullptr;
  OnUiThread([&] { r = CFolderTreeCtrl::Record(ItemOf(item)); });
  return r;
}

TreeItem TreeAdapter::GetRootItem() {
  TreeItem r = kNoItem;
  OnUiThread([&] { r = tree_->topLevelItemCount() ? HandleOf(tree_->topLevelItem(0)) : kNoItem; });
  return r;
}

TreeItem TreeAdapter::GetParentItem(TreeItem item) {
  TreeItem r = kNoItem;
  OnUiThread([&] { r = HandleOf(ItemOf(item)->parent()); });
  return r;
}

TreeItem TreeAdapter::GetChildItem(TreeItem item) {
  TreeItem r = kNoItem;
  OnUiThread([&] { r = ItemOf(item)->childCount() ? HandleOf(ItemOf(item)->child(0)) : kNoItem; });
  return r;
}

void TreeAdapter::Expand(TreeItem item) {
  OnUiThread([&] {
    if (item) ItemOf(item)->setExpanded(true);
  });
}

void TreeAdapter::SetHasChildren(TreeItem item, bool) {
  OnUiThread([&] { tree_->SetChildrenIndicator(ItemOf(item)); });
}

void TreeAdapter::SetOverlay(TreeItem item, int overlay) {
  OnUiThread([&] { tree_->SetDirectionMark(ItemOf(item), overlay); });
}

void TreeAdapter::SetBold(TreeItem item, bool bold) {
  OnUiThread([&] { tree_->SetBold(ItemOf(item), bold); });
}

}  // namespace twinbay
