#include "widgets/path_label.h"

#include <QPainter>
#include <QTextDocument>
#include <QStyleOptionFrame>

namespace twinbay {

CPathLabel::CPathLabel(QWidget* parent, bool pathEllipsis) : QWidget(parent), pathEllipsis_(pathEllipsis) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CPathLabel::SetText(const QString& text) {
  text_ = text;
  setToolTip(text.isEmpty() ? text : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
  update();
}

void CPathLabel::SetBold(bool bold) {
  bold_ = bold;
  update();
}

QSize CPathLabel::sizeHint() const { return {100, fontMetrics().height() + 6}; }

void CPathLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QStyleOptionFrame frame;
  frame.initFrom(this);
  frame.frameShape = QFrame::Panel;
  frame.state |= QStyle::State_Sunken;
  frame.lineWidth = 1;
  style()->drawPrimitive(QStyle::PE_Frame, &frame, &p, this);
  QFont f = font();
  f.setBold(bold_);
  p.setFont(f);
  // Plain text: an "&" in a folder name is shown as it is.
  p.drawText(rect().adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, Shown());
}

QString CPathLabel::Shown() const {
  QFont f = font();
  f.setBold(bold_);
  return QFontMetrics(f).elidedText(text_, pathEllipsis_ ? Qt::ElideMiddle : Qt::ElideRight, width() - 8);
}

}  // namespace twinbay
