#include "ui/icons.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>

namespace twinbay::icons {
namespace {

const QColor kUp(0, 0, 255);
const QColor kDown(255, 0, 0);
const QColor kConflict(220, 120, 0);

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

// A disc with a white "!" centred on (x, 8): a folder that could not be
// read whole (red), a conflict (orange).
void Exclaim(QPainter& p, double x, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(x - 6, 2, 12, 12));
  p.setPen(QPen(Qt::white, 2));
  p.drawLine(QPointF(x, 4.5), QPointF(x, 9.5));
  p.drawPoint(QPointF(x, 12));
}

// A cross: the side whose copy a deletion removes.
void Cross(QPainter& p, QPointF at, const QColor& c) {
  p.setPen(QPen(c, 2));
  p.drawLine(at + QPointF(-3, -3), at + QPointF(3, 3));
  p.drawLine(at + QPointF(-3, 3), at + QPointF(3, -3));
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
  if (overlay == kIncompleteMark) Exclaim(p, 33, QColor(200, 30, 30));
  if (overlay == kConflictMark) Exclaim(p, 33, kConflict);
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
  } else if (state == 4) {
    Exclaim(p, 8, kConflict);
  } else if (state == 5) {  // the server's copy goes
    Arrow(p, QPointF(1, 8), QPointF(9, 8), kUp);
    Cross(p, QPointF(12, 8), kUp);
  } else if (state == 6) {  // the local copy goes
    Arrow(p, QPointF(15, 8), QPointF(7, 8), kDown);
    Cross(p, QPointF(4, 8), kDown);
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

QPixmap Connection(ConnectionState state, int frame) {
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
  const QColor line = state == ConnectionState::Connected    ? QColor(0, 160, 0)
                     : state == ConnectionState::Connecting ? QColor(220, 150, 0)
                                                            : QColor(170, 170, 170);
  p.setPen(QPen(line, 2, state == ConnectionState::NotConnected ? Qt::DotLine : Qt::SolidLine));
  p.drawLine(QPointF(15, 12), QPointF(33, 12));
  if (state == ConnectionState::Connecting) {
    p.setPen(Qt::NoPen);
    p.setBrush(line);
    p.drawEllipse(QPointF(17 + (frame % 4) * 4.5, 12), 2.5, 2.5);
  }
  p.end();
  return pm;
}

QIcon App() {
  static const QIcon icon(":/icons/twinbay.svg");
  return icon;
}

namespace {
// Our name, then the freedesktop theme name where a standard one fits.
struct ToolIcon {
  const char* name;
  const char* themeName;
};
constexpr ToolIcon kTools[] = {
    {"compare", nullptr},          {"stop", "process-stop"},
    {"sync", nullptr},             {"delete", "edit-delete"},
    {"connect", nullptr},          {"disconnect", nullptr},
    {"print", "document-print"},   {"preview", "document-print-preview"},
    {"page-setup", "document-page-setup"}, {"recent", "document-open-recent"},
    {"exit", "application-exit"},  {"undo", "edit-undo"},
    {"cut", "edit-cut"},           {"copy", "edit-copy"},
    {"paste", "edit-paste"},       {"select-all", "edit-select-all"},
    {"tag", nullptr},              {"untag", nullptr},
    {"toolbar", nullptr},          {"statusbar", nullptr},
    {"filter-all", nullptr},       {"filter-sync", nullptr},
    {"filter-up", nullptr},        {"filter-down", nullptr},
    {"filter-same", nullptr},      {"filter-both", nullptr},
    {"filter-one", nullptr},       {"filter-conflicts", nullptr},
    {"filter-deleted", nullptr},   {"options", "preferences-system"},
    {"browse-local", "folder-open"}, {"browse-remote", "folder-remote"},
    {"find", "edit-find"},         {"help", "help-contents"},
    {"web", nullptr},              {"about", "help-about"},
    {"folder", "folder"},          {"folder-open", "folder-open"},
};
}  // namespace

QIcon Tool(const QString& name) {
  static QHash<QString, QIcon> cache;
  if (auto it = cache.constFind(name); it != cache.constEnd()) return *it;
  for (const ToolIcon& t : kTools) {
    if (name != QLatin1String(t.name)) continue;
    const QIcon own(QString(":/icons/%1.svg").arg(name));
    // Only a theme that really has the name is used: the generic fall-back
    // theme of a bare X server has none of them.
    QIcon icon = own;
    if (t.themeName && QIcon::hasThemeIcon(QString::fromLatin1(t.themeName))) icon = QIcon::fromTheme(QString::fromLatin1(t.themeName));
    return cache[name] = icon;
  }
  return {};
}

QStringList ToolNames() {
  QStringList out;
  for (const ToolIcon& t : kTools) out << QString::fromLatin1(t.name);
  return out;
}

}  // namespace twinbay::icons
