// The folder tree: one item per folder record, with class images, direction
// marks and bold text for folders that need copying.
#pragma once

#include <QTreeWidget>

#include "engine/folder_tree.h"
#include "ui/view/messages.h"

namespace twinbay {

class CFolderRecord;

class CFolderTreeCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CFolderTreeCtrl(QWidget* parent = nullptr);

  // Selection reports go to this object as WM_SHOWFOLDER (0, record).
  void SetNotify(QObject* target) { notify_ = target; }
  void AllowSelectionReports(bool allow) { reportSelection_ = allow; }

  QTreeWidgetItem* InsertFolderItem(QTreeWidgetItem* parent, const QString& text, int image);
  void SetItemImage(QTreeWidgetItem* item, int image);
  void SetDirectionMark(QTreeWidgetItem* item, int mark);
  void SetBold(QTreeWidgetItem* item, bool bold);
  bool SetChildrenIndicator(QTreeWidgetItem* item);
  QTreeWidgetItem* FindItem(CFolderRecord* record, QTreeWidgetItem* start = nullptr) const;
  static CFolderRecord* Record(const QTreeWidgetItem* item);
  static void SetRecord(QTreeWidgetItem* item, CFolderRecord* record);
  // For tests and the status of an item.
  static int ItemImage(const QTreeWidgetItem* item);
  static int ItemMark(const QTreeWidgetItem* item);

  // Deletes every item without reporting a selection.
  void DeleteAll();

  // A folder dragged out of the tree is its name as plain text.
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;

 private:
  void Repaint(QTreeWidgetItem* item);
  QObject* notify_ = nullptr;
  bool reportSelection_ = true;
};

// The comparer's view of the tree. Calls from the compare worker are carried
// out on the user-interface thread, each finished before the walk goes on.
class TreeAdapter : public IFolderTree {
 public:
  // Made on the user-interface thread.
  explicit TreeAdapter(CFolderTreeCtrl* tree) : tree_(tree) {}
  TreeItem InsertItem(TreeItem parent, const std::string& text, int image, int stateImage, bool hasChildren) override;
  void SetItemData(TreeItem item, CFolderRecord* record) override;
  CFolderRecord* GetItemData(TreeItem item) override;
  TreeItem GetRootItem() override;
  TreeItem GetParentItem(TreeItem item) override;
  TreeItem GetChildItem(TreeItem item) override;
  void Expand(TreeItem item) override;
  void SetHasChildren(TreeItem item, bool hasChildren) override;
  void SetOverlay(TreeItem item, int overlay) override;
  void SetBold(TreeItem item, bool bold) override;

 private:
  template <class F>
  void OnUiThread(F f);
  CFolderTreeCtrl* tree_;
  CUiThreadCaller caller_;
};

}  // namespace twinbay
