#include "widgets/folder_picker.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>

namespace twinbay {

bool CFolderPicker::Browse(QWidget* owner, QString& path, const QString& prompt) {
  QFileDialog dlg(owner, prompt, QDir(path).exists() ? path : QString());
  dlg.setObjectName("FolderPicker");
  dlg.setFileMode(QFileDialog::Directory);
  // The dialog's own views, so that a double-click can choose a folder.
  dlg.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  QString doubleClicked;
  for (QAbstractItemView* view : dlg.findChildren<QAbstractItemView*>()) {
    QObject::connect(view, &QAbstractItemView::doubleClicked, &dlg, [&dlg, &doubleClicked](const QModelIndex& index) {
      const QString folder = index.data(QFileSystemModel::FilePathRole).toString();
      if (folder.isEmpty() || !QFileInfo(folder).isDir()) return;
      doubleClicked = folder;
      static_cast<QDialog&>(dlg).done(QDialog::Accepted);
    });
  }
  if (dlg.exec() != QDialog::Accepted) return false;
  const QString chosen = !doubleClicked.isEmpty() ? doubleClicked : dlg.selectedFiles().value(0);
  if (chosen.isEmpty()) return false;
  path = QDir::cleanPath(chosen);
  return true;
}

}  // namespace twinbay
