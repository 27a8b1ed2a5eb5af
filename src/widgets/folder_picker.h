// Choosing a local folder, starting at the one already entered.
#pragma once

#include <QString>

class QWidget;

namespace twinbay {

class CFolderPicker {
 public:
  // True (and path set) when a folder was chosen; Cancel leaves path alone.
  static bool Browse(QWidget* owner, QString& path, const QString& prompt);
};

}  // namespace twinbay
