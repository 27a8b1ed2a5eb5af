// A progress bar with a centred text whose colour inverts where the bar has
// passed.
#pragma once

#include <QColor>
#include <QWidget>

namespace twinbay {

class CProgressMeter : public QWidget {
  Q_OBJECT
 public:
  explicit CProgressMeter(QWidget* parent = nullptr, QColor bar = QColor());
  void SetRange(quint32 low, quint32 high);
  // Clamped to the range's end; returns the previous position.
  quint32 SetPos(quint32 position);
  quint32 Pos() const { return pos_; }
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  QSize sizeHint() const override { return {300, 22}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor bar_;
  quint32 low_ = 0, high_ = 100, pos_ = 0;
  QString text_;
};

}  // namespace twinbay
