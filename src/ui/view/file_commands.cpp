// The view's commands on the compared files: delete, tag and untag, select,
// filter, and the popups of the list and the tree.
#include <QApplication>
#include <QItemSelectionModel>
#include <QShortcut>
#include <memory>
#include <algorithm>

#include "core/controller.h"
#include "engine/tags.h"
#include "widgets/history_combo.h"
#include "ui/dialogs/delete_dlg.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"

namespace twinbay {

void CTwinbayView::SetUpFileCommands() {
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    std::unique_ptr<QMenu> menu(MakeListPopup(this));
    menu->exec(list_->viewport()->mapToGlobal(at));
  });
  // The tree's popup acts on the selected folder, not on the one clicked.
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    std::unique_ptr<QMenu> menu(MakeTreePopup(this));
    if (menu) menu->exec(tree_->viewport()->mapToGlobal(at));
  });
  // The menu shows Del for Delete Selected Files; the key works in the list.
  auto* del = new QShortcut(QKeySequence::Delete, list_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
  connect(del, &QShortcut::activated, this, [this] { OnDeleteSelected(); });
  // A tag clicked in the list changes the counts of the folder it shows.
  connect(list_->Model(), &QAbstractItemModel::dataChanged, this, [this] {
    if (CFolderRecord* shown = list_->Model()->ShownFolder()) kept_.CountFolder(collection_, *shown);
  });
  RefreshControlStates();
}

void CTwinbayView::RefreshControlStates() {
  local_->setEnabled(!busy_);
  types_->setEnabled(!busy_);
  remote_->setEnabled(!busy_ && connected_);
  browseRemote_->setEnabled(CanBrowseRemote());
  browseLocal_->setEnabled(!busy_);
  subFolders_->setEnabled(!busy_);
}

// The entries of the selected rows, in list order.
std::vector<CFileEntry*> CTwinbayView::SelectedEntries() const {
  QModelIndexList rows = list_->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  std::vector<CFileEntry*> out;
  for (const QModelIndex& i : rows)
    if (CFileEntry* e = list_->Model()->EntryAt(i.row())) out.push_back(e);
  return out;
}

bool CTwinbayView::AnySelected(bool (*test)(int32_t state)) const {
  const std::vector<CFileEntry*> entries = SelectedEntries();
  auto guard = collection_.Lock();
  return std::any_of(entries.begin(), entries.end(), [test](const CFileEntry* e) { return test(e->state); });
}

bool CTwinbayView::CanDelete() const {
  return !busy_ && list_->Model()->ShownFolder() && list_->selectionModel()->hasSelection();
}

bool CTwinbayView::CanTagAll() const { return !busy_ && AnyToDo(); }

// ---- Delete ------------------------------------------------------------------------

void CTwinbayView::OnDeleteSelected() {
  if (!CanDelete()) return;
  CFolderRecord* folder = list_->Model()->ShownFolder();
  int localCount = 0, remoteCount = 0;
  {
    const std::vector<CFileEntry*> entries = SelectedEntries();
    auto guard = collection_.Lock();
    for (const CFileEntry* e : entries) {
      if (e->local) ++localCount;
      if (e->remote) ++remoteCount;
    }
  }
  CConfirmDeleteDlg dlg(localCount, remoteCount, this);
  if (dlg.exec() != QDialog::Accepted || (!dlg.DeleteLocal() && !dlg.DeleteRemote())) return;
  // The list may have been refreshed while the dialog was up: take the
  // selection again, and only if the list still shows the same folder.
  if (busy_ || list_->Model()->ShownFolder() != folder) return;
  const std::vector<CFileEntry*> entries = SelectedEntries();
  if (entries.empty()) return;

  // The delete runs on the controller's thread and destroys the entries it
  // deleted on both sides: the list lets go of them until it is over.
  list_->Model()->Clear();
  if (!controller_.StartDelete(*folder, entries, dlg.DeleteLocal(), dlg.DeleteRemote(),
                               settings_.m_bIgnoreSeconds != 0, this)) {
    list_->Model()->ShowFolder(folder);
    return;
  }
  deleting_ = folder;
  sessionWaiting_ = true;
  SetBusy(true);
  TellFrame(true);
  emit StatusMessage(QString("Deleting %1 file%2...").arg(entries.size()).arg(entries.size() == 1 ? "" : "s"));
}

void CTwinbayView::OnDeleteDone(const SessionOutcome& o) {
  CFolderRecord* folder = std::exchange(deleting_, nullptr);
  SetBusy(false);
  TellFrame(false);
  if (!folder) return;
  if (!list_->Model()->ShownFolder()) list_->Model()->ShowFolder(folder);
  OnFolderChanged(folder);
  bool incomplete;
  {
    auto guard = collection_.Lock();
    incomplete = folder->incomplete;
  }
  const DeleteCounts& counts = o.counts;
  // A file that is still there must not look deleted: say how many were not.
  if (incomplete)
    emit StatusMessage("Nothing was deleted: this folder could not be read whole");
  else if (counts.failed > 0)
    emit StatusMessage(QString("%1 delete%2 %3; the list shows the files as they still are")
                           .arg(counts.failed)
                           .arg(counts.failed == 1 ? "" : "s")
                           .arg(o.cancelled ? "stopped or failed" : "failed"));
  else
    emit StatusMessage(QString());
}

// ---- Tags and selection --------------------------------------------------------------

void CTwinbayView::OnSelectAll() {
  list_->setUpdatesEnabled(false);
  list_->selectAll();
  list_->setUpdatesEnabled(true);
  emit StateChanged();
}

void CTwinbayView::OnTagAll(bool tag) {
  if (!CanTagAll()) return;
  {
    auto guard = collection_.Lock();
    for (size_t i = 0; i < collection_.GetCount(); ++i) {
      if (tag)
        collection_.GetAt(i)->TagAll();  // never in a folder that could not be read whole
      else
        collection_.GetAt(i)->UntagAll();
    }
  }
  kept_.CountAll(collection_, filter_);
  list_->viewport()->update();
  emit StateChanged();
}

void CTwinbayView::OnTagSelected(bool tag) {
  CFolderRecord* folder = list_->Model()->ShownFolder();
  if (!folder) return;
  const std::vector<CFileEntry*> entries = SelectedEntries();
  {
    auto guard = collection_.Lock();
    if (tag && folder->incomplete) return;
    for (CFileEntry* e : entries) SetTagged(*e, tag);
  }
  kept_.CountFolder(collection_, *folder);
  list_->viewport()->update();
  emit StateChanged();
}

void CTwinbayView::OnKeepSide(bool keepLocal) {
  CFolderRecord* folder = list_->Model()->ShownFolder();
  if (!folder || busy_) return;
  const std::vector<CFileEntry*> entries = SelectedEntries();
  {
    auto guard = collection_.Lock();
    if (folder->incomplete) return;
    for (CFileEntry* e : entries) KeepSide(*e, keepLocal);
  }
  // New states: the rows under the filter, the counts and the tree's marks.
  OnFolderChanged(folder);
}

void CTwinbayView::OnTagFolder(bool tag) {
  QTreeWidgetItem* item = tree_->currentItem();
  CFolderRecord* record = item ? CFolderTreeCtrl::Record(item) : nullptr;
  if (!record) return;
  {
    auto guard = collection_.Lock();
    if (tag)
      record->TagAll();
    else
      record->UntagAll();
  }
  kept_.CountFolder(collection_, *record);
  list_->Model()->Refresh(record);
  emit StateChanged();
}

// ---- Filters -------------------------------------------------------------------------

void CTwinbayView::OnSetFilter(int filter) {
  if (busy_ || filter == filter_) return;
  filter_ = filter;
  kept_.CountAll(collection_, filter_);
  if (CFolderRecord* shown = list_->Model()->ShownFolder()) list_->Model()->ShowFolder(shown);
  emit StateChanged();
}

// ---- Popups ----------------------------------------------------------------------------

QMenu* CTwinbayView::MakeListPopup(QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName("listPopup");
  const bool selected = list_->selectionModel()->hasSelection();
  const bool taggable = AnySelected(IsActionState);
  const CFolderRecord* shown = list_->Model()->ShownFolder();
  const bool keepable = !busy_ && shown && !shown->incomplete &&
                        AnySelected([](int32_t s) { return s != InStep && s != StateUnknown; });
  QAction* all = menu->addAction("Select All", this, [this] { OnSelectAll(); });
  QAction* tag = menu->addAction("Tag Selected Files", this, [this] { OnTagSelected(true); });
  QAction* untag = menu->addAction("Untag Selected Files", this, [this] { OnTagSelected(false); });
  menu->addSeparator();
  QAction* keepLocal = menu->addAction("Keep Local", this, [this] { OnKeepSide(true); });
  QAction* keepRemote = menu->addAction("Keep Remote", this, [this] { OnKeepSide(false); });
  keepLocal->setObjectName("keepLocal");
  keepRemote->setObjectName("keepRemote");
  keepLocal->setEnabled(keepable);
  keepRemote->setEnabled(keepable);
  menu->addSeparator();
  QAction* del = menu->addAction("Delete Selected Files", this, [this] { OnDeleteSelected(); });
  QAction* sync = menu->addAction("Synchronize Selected Files");
  all->setObjectName("selectAll");
  tag->setObjectName("tagSelected");
  untag->setObjectName("untagSelected");
  del->setObjectName("deleteSelected");
  sync->setObjectName("syncSelected");
  tag->setEnabled(taggable);
  untag->setEnabled(taggable);
  del->setEnabled(!busy_ && selected && list_->Model()->ShownFolder());
  sync->setEnabled(false);
  return menu;
}

QMenu* CTwinbayView::MakeTreePopup(QWidget* parent) {
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item || !item->isSelected()) return nullptr;
  auto* menu = new QMenu(parent);
  menu->setObjectName("treePopup");
  menu->addAction("Tag Files", this, [this] { OnTagFolder(true); })->setObjectName("tagFolder");
  menu->addAction("Untag Files", this, [this] { OnTagFolder(false); })->setObjectName("untagFolder");
  return menu;
}

}  // namespace twinbay
