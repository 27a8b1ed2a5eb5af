#include "widgets/hyperlink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>

namespace twinbay {

const QColor CHyperLink::kUnvisited(0, 0, 255);
const QColor CHyperLink::kVisited(128, 0, 128);
const QColor CHyperLink::kFocus(0, 128, 128);
const QColor CHyperLink::kHover(255, 0, 0);

CHyperLink::CHyperLink(const QString& text, const QString& url, QWidget* parent) : QLabel(parent) {
  url_ = url.isEmpty() ? text : url;
  setText(text.isEmpty() ? url_ : text);
  setTextFormat(Qt::PlainText);
  setFocusPolicy(Qt::TabFocus);
  setMouseTracking(true);
  setObjectName("hyperlink");
  SetOptions(kDefaultOptions);
}

void CHyperLink::SetOptions(unsigned options) {
  options_ = options;
  if (options_ & NoHandCursor)
    unsetCursor();
  else
    setCursor(Qt::PointingHandCursor);
  setFocusPolicy(options_ & FocusOnClick ? Qt::StrongFocus : Qt::TabFocus);
  // Fit to the text: the label takes no more room than its text needs.
  setSizePolicy(options_ & FitToText ? QSizePolicy::Fixed : QSizePolicy::Preferred, QSizePolicy::Fixed);
  UpdateLook();
}

void CHyperLink::SetUrl(const QString& url) {
  url_ = url;
  setToolTip(url_);
  if (text().isEmpty()) setText(url_);
  adjustSize();
}

QColor CHyperLink::CurrentColour() const {
  if (over_ && (options_ & UseHoverColour)) return kHover;
  if (options_ & NoFocusColour) return visited_ ? kVisited : kUnvisited;
  if (focus_) return kFocus;
  return visited_ ? kVisited : kUnvisited;
}

void CHyperLink::UpdateLook() {
  QFont f = font();
  f.setUnderline(options_ & Underline);
  setFont(f);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, CurrentColour());
  setPalette(p);
  setToolTip(url_);
  update();
}

QString CHyperLink::ErrorText(int code) {
  switch (code) {
    case 0: return "The operating system is out\nof memory or resources.";
    case 2: return "The specified file was not found.";
    case 3: return "The specified path was not found.";
    case 5: return "The operating system denied\naccess to the specified file.";
    case 8: return "There was not enough memory to complete the operation.";
    case 11: return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26: return "A sharing violation occurred. ";
    case 27: return "The filename association is\nincomplete or invalid.";
    case 28: return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29: return "The DDE transaction failed.";
    case 30: return "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
    case 31: return "There is no application associated\nwith the given filename extension.";
    case 32: return "The specified dynamic-link library was not found.";
    default: return QString("Unknown Error (%1) occurred.").arg(code);
  }
}

int CHyperLink::OpenTarget(const QString& target) {
  const QUrl url = QUrl::fromUserInput(target);
  if (!url.isValid()) return 2;
  // A local file that is not there would only make the desktop's handler fail
  // later with a less useful message.
  if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) return 2;
  return QDesktopServices::openUrl(url) ? 33 : 31;
}

bool CHyperLink::Open() {
  const int code = OpenTarget(url_);
  if (code > 32) {
    visited_ = true;
    UpdateLook();
    emit Opened(url_);
    return true;
  }
  QApplication::beep();
  QMessageBox box(QMessageBox::Warning, "Twinbay", "Can't open link:\n\n" + ErrorText(code), QMessageBox::Ok, window());
  box.setObjectName("LinkError");
  box.exec();
  return false;
}

void CHyperLink::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QLabel::mousePressEvent(e);
  if (options_ & FocusOnClick) setFocus(Qt::MouseFocusReason);
  over_ = true;
  pressed_ = true;
  if (options_ & OpenOnButtonDown) Open();
  focus_ = true;
  UpdateLook();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QLabel::mouseReleaseEvent(e);
  const bool inside = rect().contains(e->position().toPoint());
  const bool open = pressed_ && inside && focus_ && !(options_ & OpenOnButtonDown);
  pressed_ = false;
  if (!inside) over_ = false;
  if (open) Open();
  UpdateLook();
}

void CHyperLink::mouseMoveEvent(QMouseEvent* e) {
  const bool inside = rect().contains(e->position().toPoint());
  if (inside != over_) {
    over_ = inside;
    UpdateLook();
  }
  QLabel::mouseMoveEvent(e);
}

void CHyperLink::leaveEvent(QEvent* e) {
  if (!pressed_ && over_) {
    over_ = false;
    UpdateLook();
  }
  QLabel::leaveEvent(e);
}

void CHyperLink::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space) {
    Open();
    return;
  }
  QLabel::keyPressEvent(e);
}

void CHyperLink::focusInEvent(QFocusEvent* e) {
  focus_ = true;
  UpdateLook();
  QLabel::focusInEvent(e);
}

void CHyperLink::focusOutEvent(QFocusEvent* e) {
  focus_ = false;
  over_ = false;
  UpdateLook();
  QLabel::focusOutEvent(e);
}

}  // namespace twinbay
