// A one-line label for a folder path: a long path is shortened in its middle.
#pragma once

#include <QWidget>

namespace twinbay {

class CPathLabel : public QWidget {
  Q_OBJECT
 public:
  explicit CPathLabel(QWidget* parent = nullptr, bool pathEllipsis = true);
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  // The text as it fits the label now (shortened in its middle, or at its end).
  QString Shown() const;
  void SetBold(bool bold);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString text_;
  bool pathEllipsis_;
  bool bold_ = false;
};

}  // namespace twinbay
