// The file list: the entries of one folder record that pass the current
// filter, striped, coloured by state, with a tag mark that a click toggles and
// sorting by every column.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <vector>

#include "engine/file_entry.h"
#include "engine/number_format.h"

namespace twinbay {

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  FileListModel(CFolderCollection& collection, const quint32* suppressStripes, const int* filter,
                QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void sort(int column, Qt::SortOrder order) override;

  // Shows a folder record's entries (a null record keeps the rows).
  void ShowFolder(CFolderRecord* record);
  // Forgets the folder and its rows (the records are about to go).
  void Clear();
  void Refresh(CFolderRecord* record);
  CFolderRecord* ShownFolder() const { return folder_; }
  CFileEntry* EntryAt(int row) const;
  void ToggleTag(int row);
  void SetNumberFormat(const NumberFormat& f) { numbers_ = f; }

  // The order used by sorting: strict and total, rows without the column's
  // side together, ties broken by name.
  static bool Less(const CFileEntry& a, const CFileEntry& b, int column);

 private:
  CFolderCollection& collection_;
  const quint32* suppressStripes_;
  const int* filter_;
  CFolderRecord* folder_ = nullptr;
  std::vector<CFileEntry*> rows_;
  NumberFormat numbers_;
};

class CFileListCtrl : public QTableView {
  Q_OBJECT
 public:
  CFileListCtrl(CFolderCollection& collection, const quint32* suppressStripes, const int* filter,
                QWidget* parent = nullptr);
  FileListModel* Model() const { return model_; }
  // The widths used until stored ones replace them: each column fits its
  // header and a sample of its cells in the fonts in use.
  void SetDefaultWidths();
  void LoadColumnWidths(const quint32 widths[6]);
  void SaveColumnWidths(quint32 widths[6]) const;

 protected:
  void mousePressEvent(QMouseEvent* e) override;

 private:
  FileListModel* model_;
};

}  // namespace twinbay
