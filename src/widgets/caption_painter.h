// The main window's painted title bar: a gradient from black to the caption
// colour with the small icon, the frame title in bold white and the document
// title, and the minimise, maximise and close buttons. The window then has no
// system title bar; moving and resizing are handed to the window system
// (QWindow::startSystemMove / startSystemResize), with a plain move of our own
// where the window system does not offer it.
#pragma once

#include <QPixmap>
#include <QToolButton>
#include <QWidget>

namespace twinbay {

class CCaptionPainter : public QWidget {
  Q_OBJECT
 public:
  explicit CCaptionPainter(QWidget* frame);

  // Whether this platform lets a window without a system title bar be moved
  // and resized by the window system (X11 and Wayland; offscreen has no title
  // bar of its own at all).
  static bool PlatformAllows();

  void SetTitles(const QString& frameTitle, const QString& documentTitle);
  const QString& FrameTitle() const { return frameTitle_; }
  const QString& DocumentTitle() const { return documentTitle_; }
  // The caption picture for a size in logical pixels and an activation state,
  // made at `ratio` device pixels to the logical one (also used by tests).
  QImage Picture(QSize size, bool active, qreal ratio = 1) const;
  bool Active() const;
  // 0..240, as the colour pickers of old measured lightness.
  static int Lightness(const QColor& c);
  // The gradient of the active caption: black at the left rising along a
  // quadratic curve to `colour` at five sixths of the width.
  static void PaintGradient(QPainter& p, int cx, int cy, const QColor& colour);
  int CaptionHeight() const;
  QToolButton* Button(int i) const { return buttons_[i]; }  // 0 minimise, 1 maximise, 2 close

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void changeEvent(QEvent* e) override;
  bool event(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  void Forget();
  void UpdateButtons();

  QWidget* frame_;
  QString frameTitle_, documentTitle_;
  QPixmap cache_[2];
  QToolButton* buttons_[3];
  bool dragging_ = false;
  QPoint dragOffset_;
};

}  // namespace twinbay
