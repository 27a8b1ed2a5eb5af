#include "ui/icons.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>

namespace twinbay::icons {
namespace {

const QColor kUp(0, 0, 255);
const QColor kDown(255, 0, 0);

void DrawFolder(QPainter& p, const QRectF& r, const QColor& body) {
  QPainterPath path;
  path.moveTo(r.left(), r.top() + 3);
  path.lineTo(r.left() + 5, r.top() + 3);
  path.lineTo(r.left() + 7, r.top() + 5);
  path.lineTo(r.right(), r.top() + 5);
  path.lineTo(r.right(), r.bottom());
  path.lineTo(r.left(), r.bottom());
  path.closeSubpath();
  p.setPen(body.darker(170));
  p.setBrush(body);
  p.drawPath(path);
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& c) {
  p.setPen(QPen(c, 2));
  p.drawLine(from, to);
  const double dir = to.x() > from.x() ? -1 : 1;
  QPolygonF head;
  head << to << QPointF(to.x() + dir * 4, to.y() - 3) << QPointF(to.x() + dir * 4, to.y() + 3);
  p.setBrush(c);
  p.setPen(Qt::NoPen);
  p.drawPolygon(head);
}

QPixmap Canvas(int w, int h) {
  QPixmap pm(w, h);
  pm.fill(Qt::transparent);
  return pm;
}

}  // namespace

QIcon Folder(int folderClass, int overlay) {
  static QHash<int, QIcon> cache;
  const int key = folderClass * 10 + overlay;
  if (cache.contains(key)) return cache[key];
  QPixmap pm = Canvas(40, 16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  switch (folderClass) {
    case 0:  // the two roots, joined
      DrawFolder(p, QRectF(0.5, 1.5, 11, 13), QColor(240, 200, 80));
      DrawFolder(p, QRectF(13.5, 1.5, 11, 13), QColor(240, 200, 80));
      p.setPen(QPen(Qt::darkGray, 1.5));
      p.drawLine(QPointF(11, 10), QPointF(14, 10));
      break;
    case 1:  // on both sides
      DrawFolder(p, QRectF(0.5, 1.5, 11, 13), QColor(240, 200, 80));
      DrawFolder(p, QRectF(13.5, 1.5, 11, 13), QColor(240, 200, 80));
      break;
    case 2:  // local only: the right-hand (server) folder is missing
      DrawFolder(p, QRectF(0.5, 1.5, 11, 13), QColor(240, 200, 80));
      p.setPen(QPen(Qt::gray, 1, Qt::DashLine));
      p.setBrush(Qt::NoBrush);
      p.drawRect(QRectF(13.5, 4.5, 11, 10));
      break;
    default:  // remote only
      p.setPen(QPen(Qt::gray, 1, Qt::DashLine));
      p.setBrush(Qt::NoBrush);
      p.drawRect(QRectF(0.5, 4.5, 11, 10));
      DrawFolder(p, QRectF(13.5, 1.5, 11, 13), QColor(240, 200, 80));
      break;
  }
  if (overlay == 1 || overlay == 2) Arrow(p, QPointF(27, overlay == 1 ? 5 : 8), QPointF(39, overlay == 1 ? 5 : 8), kUp);
  if (overlay == 1 || overlay == 3) Arrow(p, QPointF(39, overlay == 1 ? 12 : 8), QPointF(27, overlay == 1 ? 12 : 8), kDown);
  if (overlay == kIncompleteMark) {  // a red disc with a white "!"
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 30, 30));
    p.drawEllipse(QRectF(27, 2, 12, 12));
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(33, 4.5), QPointF(33, 9.5));
    p.drawPoint(QPointF(33, 12));
  }
  p.end();
  return cache[key] = QIcon(pm);
}

QIcon State(int state) {
  static QHash<int, QIcon> cache;
  if (cache.contains(state)) return cache[state];
  QPixmap pm = Canvas(16, 16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (state == 1) {
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(QPointF(3, 6), QPointF(13, 6));
    p.drawLine(QPointF(3, 10), QPointF(13, 10));
  } else if (state == 2) {
    Arrow(p, QPointF(2, 8), QPointF(14, 8), kUp);
  } else {
    Arrow(p, QPointF(14, 8), QPointF(2, 8), kDown);
  }
  p.end();
  return cache[state] = QIcon(pm);
}

QIcon TagMark(int mark) {
  static QHash<int, QIcon> cache;
  if (cache.contains(mark)) return cache[mark];
  QPixmap pm = Canvas(16, 16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (mark == 0) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(170, 170, 170));
    p.drawEllipse(QPointF(8, 8), 2.5, 2.5);
  } else {
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2.5, 2.5, 11, 11));
    if (mark == 2) {
      p.setPen(QPen(QColor(0, 130, 0), 2));
      p.drawLine(QPointF(4.5, 8), QPointF(7, 11));
      p.drawLine(QPointF(7, 11), QPointF(12, 4.5));
    }
  }
  p.end();
  return cache[mark] = QIcon(pm);
}

QPixmap Connection(int state, int frame) {
  QPixmap pm = Canvas(48, 32);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  // Two computers with a line between them.
  auto screen = [&](double x) {
    p.setPen(QPen(Qt::darkGray, 1));
    p.setBrush(QColor(220, 230, 245));
    p.drawRect(QRectF(x, 6, 14, 11));
    p.drawLine(QPointF(x + 7, 17), QPointF(x + 7, 21));
    p.drawLine(QPointF(x + 3, 21), QPointF(x + 11, 21));
  };
  screen(1);
  screen(33);
  const QColor line = state == 2 ? QColor(0, 160, 0) : state == 1 ? QColor(220, 150, 0) : QColor(170, 170, 170);
  p.setPen(QPen(line, 2, state == 0 ? Qt::DotLine : Qt::SolidLine));
  p.drawLine(QPointF(15, 12), QPointF(33, 12));
  if (state == 1) {
    p.setPen(Qt::NoPen);
    p.setBrush(line);
    p.drawEllipse(QPointF(17 + (frame % 4) * 4.5, 12), 2.5, 2.5);
  }
  p.end();
  return pm;
}

QIcon App() {
  QPixmap pm = Canvas(64, 64);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(40, 110, 200));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(14, 24), QPointF(46, 24));
  p.drawLine(QPointF(46, 24), QPointF(38, 16));
  p.drawLine(QPointF(50, 42), QPointF(18, 42));
  p.drawLine(QPointF(18, 42), QPointF(26, 50));
  p.end();
  return QIcon(pm);
}

QIcon Tool(const QString& name) {
  QPixmap pm = Canvas(16, 16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  if (name == "compare") {
    p.setPen(QPen(Qt::black, 1.5));
    p.drawRect(QRectF(1.5, 3.5, 5, 9));
    p.drawRect(QRectF(9.5, 3.5, 5, 9));
    p.drawLine(QPointF(7, 8), QPointF(9, 8));
  } else if (name == "stop") {
    p.setBrush(QColor(200, 30, 30));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(3, 3, 10, 10));
  } else if (name == "sync") {
    Arrow(p, QPointF(1, 5), QPointF(15, 5), kUp);
    Arrow(p, QPointF(15, 11), QPointF(1, 11), kDown);
  } else if (name == "connect" || name == "disconnect") {
    p.setPen(QPen(name == "connect" ? QColor(0, 140, 0) : QColor(160, 0, 0), 2));
    p.drawLine(QPointF(1, 8), QPointF(6, 8));
    p.drawLine(QPointF(10, 8), QPointF(15, 8));
    if (name == "connect") p.drawLine(QPointF(6, 8), QPointF(10, 8));
    p.drawRect(QRectF(5, 4, 2, 8));
    p.drawRect(QRectF(9, 4, 2, 8));
  } else if (name == "tag" || name == "untag") {
    p.drawPixmap(0, 0, TagMark(name == "tag" ? 2 : 1).pixmap(16, 16));
  } else {
    p.setPen(QPen(Qt::darkGray, 1.5));
    p.setBrush(QColor(235, 235, 235));
    p.drawEllipse(QRectF(2, 2, 12, 12));
    p.setPen(Qt::black);
    QFont f = p.font();
    f.setPixelSize(9);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(2, 2, 12, 12), Qt::AlignCenter, name.left(1).toUpper());
  }
  p.end();
  return QIcon(pm);
}

}  // namespace twinbay::icons
