#include "widgets/folder_picker.h"

#include <QDir>
#include <QFileDialog>

namespace twinbay {

bool CFolderPicker::Browse(QWidget* owner, QString& path, const QString& prompt) {
  const QString start = QDir(path).exists() ? path : QString();
  const QString chosen = QFileDialog::getExistingDirectory(owner, prompt, start, QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return false;
  path = QDir::cleanPath(chosen);
  return true;
}

}  // namespace twinbay
