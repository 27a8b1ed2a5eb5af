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
