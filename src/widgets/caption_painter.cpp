#include "widgets/caption_painter.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QWindow>
#include <algorithm>

namespace twinbay {

CCaptionPainter::CCaptionPainter(QWidget* frame) : QWidget(frame), frame_(frame) {
  setObjectName("caption");
  setAttribute(Qt::WA_OpaquePaintEvent);
  const char* names[3] = {"minimise", "maximise", "close"};
  const char* tips[3] = {"Minimise", "Maximise", "Close"};
  for (int i = 0; i < 3; ++i) {
    buttons_[i] = new QToolButton(this);
    buttons_[i]->setObjectName(names[i]);
    buttons_[i]->setToolTip(tips[i]);
    buttons_[i]->setFocusPolicy(Qt::NoFocus);
    buttons_[i]->setAutoRaise(false);
  }
  connect(buttons_[0], &QToolButton::clicked, frame_, [this] { frame_->showMinimized(); });
  connect(buttons_[1], &QToolButton::clicked, frame_, [this] {
    if (frame_->isMaximized())
      frame_->showNormal();
    else
      frame_->showMaximized();
  });
  connect(buttons_[2], &QToolButton::clicked, frame_, [this] { frame_->close(); });
  setFixedHeight(CaptionHeight());
  UpdateButtons();
}

bool CCaptionPainter::PlatformAllows() {
  const QString p = QGuiApplication::platformName();
  return p == "xcb" || p.startsWith("wayland") || p == "offscreen";
}

int CCaptionPainter::CaptionHeight() const { return std::max(22, fontMetrics().height() + 8); }

void CCaptionPainter::SetTitles(const QString& frameTitle, const QString& documentTitle) {
  if (frameTitle == frameTitle_ && documentTitle == documentTitle_) return;
  frameTitle_ = frameTitle;
  documentTitle_ = documentTitle;
  Forget();
}

void CCaptionPainter::Forget() {
  cache_[0] = cache_[1] = QPixmap();
  update();
}

bool CCaptionPainter::Active() const { return frame_->isActiveWindow(); }

int CCaptionPainter::Lightness(const QColor& c) {
  const int hi = std::max({c.red(), c.green(), c.blue()});
  const int lo = std::min({c.red(), c.green(), c.blue()});
  return ((hi + lo) * 240 + 255) / 510;
}

void CCaptionPainter::PaintGradient(QPainter& p, int cx, int cy, const QColor& col) {
  const int x0 = cx * 5 / 6;
  int w = x0 / 255;
  if (w < 2) w = 1;
  p.fillRect(QRect(x0, 0, cx - x0, cy), col);
  int x = x0, d = 0;
  const long long x0sq = static_cast<long long>(x0) * x0;
  auto channel = [&](int v) { return x0sq ? static_cast<int>(v - v * static_cast<long long>(d) * d / x0sq) : v; };
  while (w < x) {
    d += w;
    x -= w;
    p.fillRect(QRect(x, 0, w, cy), QColor(channel(col.red()), channel(col.green()), channel(col.blue())));
  }
  p.fillRect(QRect(0, 0, x, cy), Qt::black);
}

QImage CCaptionPainter::Picture(QSize size, bool active, qreal ratio) const {
  // Made at the screen's density and drawn in logical pixels, so that title,
  // icon and gradient keep their size on a high-density screen.
  QImage img(size * ratio, QImage::Format_RGB32);
  img.setDevicePixelRatio(ratio);
  const int cx = size.width(), cy = size.height();
  QPainter p(&img);
  const QPalette pal = palette();
  if (active)
    PaintGradient(p, cx, cy, pal.color(QPalette::Active, QPalette::Highlight));
  else
    p.fillRect(QRect(QPoint(), size), pal.color(QPalette::Inactive, QPalette::Dark));
  // The small icon, a caption button's size less 2.
  const int icon = cy - 4;
  frame_->windowIcon().paint(&p, QRect(2, 2, icon, icon));
  // The text runs from after the icon to the buttons.
  const int right = cx - 3 * (cy - 2) - 6;
  QRect area(cy + 2, 0, right - (cy + 2), cy);
  if (area.width() <= 0) return img;
  QFont plain = font();
  QFont bold("Tahoma");
  bold.setPixelSize(QFontInfo(plain).pixelSize());
  bold.setWeight(QFont::Bold);
  const QString frameText = frameTitle_ + " ";
  p.setFont(bold);
  p.setPen(Qt::white);
  const QFontMetrics bm(bold);
  p.drawText(area, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, bm.elidedText(frameText, Qt::ElideRight, area.width()));
  area.setLeft(area.left() + bm.horizontalAdvance(frameText) + 5);
  if (area.width() > 0) {
    QColor text = active ? pal.color(QPalette::Active, QPalette::HighlightedText) : pal.color(QPalette::Inactive, QPalette::Light);
    if (active && Lightness(text) < 90) text = Qt::white;
    p.setFont(plain);
    p.setPen(text);
    p.drawText(area, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
               QFontMetrics(plain).elidedText(documentTitle_, Qt::ElideRight, area.width()));
  }
  return img;
}

void CCaptionPainter::paintEvent(QPaintEvent*) {
  if (frame_->isMinimized()) return;
  const int state = Active() ? 1 : 0;
  const qreal dpr = devicePixelRatioF();
  if (cache_[state].isNull() || cache_[state].deviceIndependentSize() != QSizeF(size()) ||
      cache_[state].devicePixelRatio() != dpr)
    cache_[state] = QPixmap::fromImage(Picture(size(), state == 1, dpr));
  QPainter p(this);
  p.drawPixmap(rect(), cache_[state]);
}

void CCaptionPainter::resizeEvent(QResizeEvent*) {
  const int h = height(), b = h - 4;
  int x = width() - 2 - b;
  buttons_[2]->setGeometry(x, 2, b, b);
  x -= b + 2;
  buttons_[1]->setGeometry(x, 2, b, b);
  x -= b;
  buttons_[0]->setGeometry(x, 2, b, b);
  Forget();
}

void CCaptionPainter::UpdateButtons() {
  const int sz = CaptionHeight() - 4;
  buttons_[0]->setIcon(style()->standardIcon(QStyle::SP_TitleBarMinButton, nullptr, this));
  buttons_[1]->setIcon(style()->standardIcon(frame_->isMaximized() ? QStyle::SP_TitleBarNormalButton : QStyle::SP_TitleBarMaxButton, nullptr, this));
  buttons_[1]->setToolTip(frame_->isMaximized() ? "Restore" : "Maximise");
  buttons_[2]->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton, nullptr, this));
  for (QToolButton* b : buttons_) b->setIconSize(QSize(sz - 6, sz - 6));
}

void CCaptionPainter::changeEvent(QEvent* e) {
  switch (e->type()) {
    case QEvent::PaletteChange:
    case QEvent::FontChange:
    case QEvent::StyleChange:
      setFixedHeight(CaptionHeight());
      UpdateButtons();
      Forget();
      break;
    default:
      break;
  }
  QWidget::changeEvent(e);
}

bool CCaptionPainter::event(QEvent* e) {
  if (e->type() == QEvent::ActivationChange || e->type() == QEvent::WindowStateChange) {
    UpdateButtons();
    update();
  }
  return QWidget::event(e);
}

void CCaptionPainter::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  QWindow* w = frame_->windowHandle();
  // The window system moves the window where it can; else we move it ourselves.
  if (w && !frame_->isMaximized() && w->startSystemMove()) return;
  dragging_ = !frame_->isMaximized();
  dragOffset_ = e->globalPosition().toPoint() - frame_->frameGeometry().topLeft();
}

void CCaptionPainter::mouseMoveEvent(QMouseEvent* e) {
  if (dragging_) frame_->move(e->globalPosition().toPoint() - dragOffset_);
}

void CCaptionPainter::mouseReleaseEvent(QMouseEvent*) { dragging_ = false; }

void CCaptionPainter::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) buttons_[1]->click();
}

}  // namespace twinbay
