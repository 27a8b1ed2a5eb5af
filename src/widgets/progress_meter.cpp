#include "widgets/progress_meter.h"

#include <QPainter>

namespace twinbay {

CProgressMeter::CProgressMeter(QWidget* parent, QColor bar) : QWidget(parent), bar_(bar) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumHeight(20);
}

void CProgressMeter::SetRange(quint32 low, quint32 high) {
  low_ = low;
  high_ = high;
  update();
}

quint32 CProgressMeter::SetPos(quint32 position) {
  const quint32 old = pos_;
  pos_ = position < high_ ? position : high_;
  update();
  return old;
}

void CProgressMeter::SetText(const QString& text) {
  text_ = text;
  update();
}

void CProgressMeter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  int x = r.left();
  if (high_ > low_ && pos_ > low_)
    x = r.left() + static_cast<int>(static_cast<double>(pos_ - low_) / (high_ - low_) * r.width());
  const QPalette& pal = palette();
  p.fillRect(r, pal.button());
  const QRect done(r.left(), r.top(), x - r.left(), r.height());
  p.fillRect(done, bar_.isValid() ? QBrush(bar_) : pal.highlight());
  p.save();
  p.setClipRect(done);
  p.setPen(pal.highlightedText().color());
  p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text_);
  p.restore();
  p.setClipRect(QRect(x, r.top(), r.right() - x + 1, r.height()));
  p.setPen(pal.buttonText().color());
  p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text_);
  p.setClipping(false);
  p.setPen(pal.mid().color());
  p.drawRect(r.adjusted(0, 0, -1, -1));
}

}  // namespace twinbay
