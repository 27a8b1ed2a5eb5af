// The folder tree: one item per folder record, with class images, direction
// marks and bold text for folders that need copying.
#pragma once

#include <QTreeWidget>
#include <vector>

#include "engine/file_entry.h"
#include "ui/view/messages.h"

namespace twinbay {

class CFolderTreeCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CFolderTreeCtrl(QWidget* parent = nullptr);

  // Selection reports go to this object as a ShowFolderEvent.
  void SetNotify(QObject* target) { notify_ = target; }
  void AllowSelectionReports(bool allow) { reportSelection_ = allow; }

  QTreeWidgetItem* InsertFolderItem(QTreeWidgetItem* parent, const QString& text, int image);
  void SetItemImage(QTreeWidgetItem* item, int image);
  void SetDirectionMark(QTreeWidgetItem* item, int mark);
  void SetBold(QTreeWidgetItem* item, bool bold);
  bool SetChildrenIndicator(QTreeWidgetItem* item);
  // Appends an item for every record of the collection that has none yet, in
  // the collection's order (a parent's record always comes before its
  // children's). The top folder's item is expanded once it has children.
  void AddItems(const CFolderCollection& collection);
  // A folder whose walk ended: its children indicator, class, overlay and
  // bold mark; one that needs copying or was not read whole is brought into
  // view (its ancestors expanded).
  void ShowFinished(const CFolderCollection& collection, const CFolderRecord* record);
  // Class, overlay and bold mark as the record says now.
  void ShowMarks(const CFolderCollection& collection, const CFolderRecord* record);
  // The item of a record (null when it has none yet).
  QTreeWidgetItem* FindItem(const CFolderRecord* record) const;
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
  // The item of each record, by the record's index.
  std::vector<QTreeWidgetItem*> items_;
};

}  // namespace twinbay
