// A drop-down combo box that remembers what was typed, in its own settings key.
#pragma once

#include <QComboBox>

class QMimeData;

namespace twinbay {

class CHistoryComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit CHistoryComboBox(QWidget* parent = nullptr);

  void SetKey(const QString& registryPath) { key_ = registryPath; }
  // Appends the stored lines (Line0, Line1, ... up to the first missing or
  // empty one) and selects the first.
  void Load();
  // Moves (or puts) the text to the top, dropping a copy that differs only in
  // letter case.
  void Add(const QString& text);
  void Save() const;
  // Shows between 3 and 10 items when dropped down.
  void SizeDropDown(int minItems = 3, int maxItems = 10);
  // The local folder a drop carries, as a URL or as text (a file: URL, its
  // %-escapes decoded, or a path); empty for anything else.
  static QString DroppedFolder(const QMimeData* data);

 protected:
  // A dropped folder replaces the whole text; anything else is refused,
  // also where the edit field would take it (it would insert text).
  bool eventFilter(QObject* watched, QEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  QString key_;
};

}  // namespace twinbay
