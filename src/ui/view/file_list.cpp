#include "ui/view/file_list.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStyledItemDelegate>
#include <algorithm>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/tags.h"
#include "engine/totals.h"
#include "ui/icons.h"

namespace twinbay {
namespace {

const char* kHeaders[6] = {"Name", "Size (local)", "Modified (local)", "=", "Modified (remote)", "Size (remote)"};
// The user's short date and time, with the seconds that the short time
// format leaves out in most locales.
QString TimeText(const QDateTime& utc) {
  static const QString format = [] {
    QString time = QLocale().timeFormat(QLocale::ShortFormat);
    if (!time.contains('s')) time.replace(QRegularExpression("m+"), "mm:ss");
    return QLocale().dateFormat(QLocale::ShortFormat) + " " + time;
  }();
  return " " + QLocale().toString(utc.toLocalTime(), format) + " ";
}

QString TimeText(const FindData& fd) {
  return TimeText(QDateTime::fromSecsSinceEpoch(UnixFromTicks(fd.lastWrite), Qt::UTC));
}

// What each compare state shows: its symbol (for tests and accessibility),
// its tip, and the colour of its row.
struct StateLook {
  const char* symbol;
  const char* tip;
  QColor colour;
};
StateLook LookOf(const CFileEntry& e) {
  switch (e.state) {
    case CopyRemoteToLocal: return {"<", "copy to local", QColor(255, 0, 0)};
    case CopyLocalToRemote: return {">", "copy to remote", QColor(0, 0, 255)};
    case Conflict:
      return {"!",
              e.local && e.remote ? "conflict: changed on both sides since the last synchronisation"
                                  : "conflict: deleted on one side, changed on the other",
              QColor(200, 100, 0)};
    case DeleteRemote:
      return {"x>", "delete on the server: deleted locally since the last synchronisation", QColor(0, 120, 140)};
    case DeleteLocal:
      return {"<x", "delete locally: deleted on the server since the last synchronisation", QColor(170, 0, 120)};
    default: return {"=", "in step", QColor(0, 0, 0)};
  }
}

// The state column shows its icon centred.
class CentredIconDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == 3) {
      option->decorationAlignment = Qt::AlignCenter;
      option->decorationPosition = QStyleOptionViewItem::Top;
      option->displayAlignment = Qt::AlignCenter;
    }
  }
};

}  // namespace

FileListModel::FileListModel(CFolderCollection& collection, const quint32* suppressStripes, const int* filter,
                             QObject* parent)
    : QAbstractTableModel(parent),
      collection_(collection),
      suppressStripes_(suppressStripes),
      filter_(filter),
      numbers_(NumberFormat::FromUserLocale()) {}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 6; }

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section > 5) return {};
  if (role == Qt::DisplayRole) return QString(kHeaders[section]);
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (section == 1 || section == 5 ? Qt::AlignRight : Qt::AlignLeft));
  return {};
}

CFileEntry* FileListModel::EntryAt(int row) const {
  return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<size_t>(row)] : nullptr;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  const CFileEntry* e = EntryAt(index.row());
  if (!e) return {};
  // The compare or transfer worker may be changing entries meanwhile.
  auto guard = collection_.Lock();
  const int c = index.column();
  // A file on one side of a folder whose other side could not be read whole:
  // greyed, with "?" for its state and the folder's reason as its tip.
  if (e->state == StateUnknown) {
    if (role == Qt::ForegroundRole) return QColor(128, 128, 128);
    if (role == Qt::UserRole || (role == Qt::DisplayRole && c == 3)) return QString("?");
    if (role == Qt::ToolTipRole)
      return "not known: " + QString::fromStdString(folder_ ? folder_->incompleteReason : std::string());
    if (role == Qt::DecorationRole) return c == 0 ? QVariant(icons::TagMark(0)) : QVariant();
  }
  switch (role) {
    case Qt::DisplayRole:
      switch (c) {
        case 0: return QString::fromStdString(e->Name()) + "  ";
        case 1: return e->local ? QString::fromStdString(FormatSize(SideSize(e->local), numbers_)) : QString();
        case 2: return e->local ? TimeText(*e->local) : QString();
        case 3: return QString();
        case 4: return e->remote ? TimeText(*e->remote) : QString();
        case 5:
          if (e->remote && !e->remote->sizeKnown) return QString("?");  // the listing gave no byte count
          return e->remote ? QString::fromStdString(FormatSize(SideSize(e->remote), numbers_)) : QString();
      }
      return {};
    case Qt::ToolTipRole:
      if (c == 3) return QString(LookOf(*e).tip);
      return {};
    case Qt::UserRole:  // the state symbol, for tests and accessibility
      return QString(LookOf(*e).symbol);
    case Qt::DecorationRole:
      // Only what a sync acts on can be tagged: a conflict shows the mark of
      // an entry in step until one side is kept.
      if (c == 0) return icons::TagMark(!IsActionState(e->state) ? 0 : e->tagged ? 2 : 1);
      if (c == 3) return icons::State(e->state);
      return {};
    case Qt::ForegroundRole:
      return LookOf(*e).colour;
    case Qt::BackgroundRole:
      if (index.row() % 2 == 1 && !(suppressStripes_ && *suppressStripes_)) return QColor(192, 220, 192);
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignVCenter | (c == 0 || c == 3 ? Qt::AlignLeft : Qt::AlignRight));
  }
  return {};
}

void FileListModel::ShowFolder(CFolderRecord* record) {
  if (!record) return;
  beginResetModel();
  folder_ = record;
  rows_.clear();
  {
    auto guard = collection_.Lock();
    for (auto& e : record->entries)
      if (MatchesFilter(*e, filter_ ? *filter_ : FilterAll)) rows_.push_back(e.get());
  }
  endResetModel();
}

void FileListModel::Clear() {
  beginResetModel();
  folder_ = nullptr;
  rows_.clear();
  endResetModel();
}

void FileListModel::Refresh(CFolderRecord* record) {
  if (record && record == folder_) ShowFolder(record);
}

void FileListModel::ToggleTag(int row) {
  CFileEntry* e = EntryAt(row);
  if (!e || (folder_ && folder_->incomplete)) return;
  {
    auto guard = collection_.Lock();
    SetTagged(*e, !e->tagged);
  }
  emit dataChanged(index(row, 0), index(row, 5));
}

bool FileListModel::Less(const CFileEntry& a, const CFileEntry& b, int column) {
  auto byName = [&] {
    const int c = CompareNamesNoCase(a.Name(), b.Name());
    return c != 0 ? c < 0 : a.Name() < b.Name();
  };
  auto bySide = [&](const FileSide& x, const FileSide& y, auto key) {
    if (x.has_value() != y.has_value()) return !x.has_value();  // rows without the side first
    if (x && key(*x) != key(*y)) return key(*x) < key(*y);
    return byName();
  };
  switch (column) {
    case 1: return bySide(a.local, b.local, [](const FindData& f) { return f.size; });
    case 2: return bySide(a.local, b.local, [](const FindData& f) { return f.lastWrite; });
    case 4: return bySide(a.remote, b.remote, [](const FindData& f) { return f.lastWrite; });
    case 5: return bySide(a.remote, b.remote, [](const FindData& f) { return f.size; });
    case 3:
      if (a.state != b.state) return a.state < b.state;
      return byName();
    default: return byName();
  }
}

void FileListModel::sort(int column, Qt::SortOrder order) {
  emit layoutAboutToBeChanged();
  {
    auto guard = collection_.Lock();
    std::stable_sort(rows_.begin(), rows_.end(), [&](const CFileEntry* a, const CFileEntry* b) {
      return order == Qt::AscendingOrder ? Less(*a, *b, column) : Less(*b, *a, column);
    });
  }
  emit layoutChanged();
}

CFileListCtrl::CFileListCtrl(CFolderCollection& collection, const quint32* suppressStripes, const int* filter,
                             QWidget* parent)
    : QTableView(parent), model_(new FileListModel(collection, suppressStripes, filter, this)) {
  setModel(model_);
  setItemDelegate(new CentredIconDelegate(this));
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setShowGrid(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideRight);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(18);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setSortIndicatorShown(true);
  horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
  horizontalHeader()->setStretchLastSection(false);
  setSortingEnabled(false);
  setIconSize(QSize(16, 16));
  horizontalHeader()->setMinimumSectionSize(16);
  SetDefaultWidths();
  // Clicking a header sorts; clicking the same one again reverses the order.
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
    const bool same = horizontalHeader()->sortIndicatorSection() == column;
    Qt::SortOrder order = horizontalHeader()->sortIndicatorOrder();
    if (same) order = order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    horizontalHeader()->setSortIndicator(column, order);
    model_->sort(column, order);
  });
  connect(model_, &QAbstractItemModel::modelReset, this,
          [this] { horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder); });
}

void CFileListCtrl::SetDefaultWidths() {
  // Wide enough for the header text (with the sort arrow) and for a sample
  // of what the column shows, in the fonts in use.
  const QFontMetrics cells = fontMetrics(), head = horizontalHeader()->fontMetrics();
  const QString samples[6] = {QString(24, 'x'), " 1,023.99MB ",
                              TimeText(QDateTime(QDate(2026, 11, 28), QTime(20, 58, 58), Qt::UTC)), "", "", ""};
  for (int i = 0; i < 6; ++i) {
    const QString& sample = samples[i == 4 ? 2 : i == 5 ? 1 : i];
    const int text = std::max(head.horizontalAdvance(kHeaders[i]) + 3 * head.height(),
                              cells.horizontalAdvance(sample) + (i == 0 ? 20 : 0) + 12);
    setColumnWidth(i, i == 3 ? std::max(24, head.horizontalAdvance(kHeaders[3]) + 2 * head.height()) : text);
  }
}

void CFileListCtrl::LoadColumnWidths(const quint32 widths[6]) {
  for (int i = 0; i < 6; ++i)
    if (widths[i] > 0) setColumnWidth(i, static_cast<int>(widths[i] & 0xFFFF));
}

void CFileListCtrl::SaveColumnWidths(quint32 widths[6]) const {
  for (int i = 0; i < 6; ++i) widths[i] = static_cast<quint32>(columnWidth(i));
}

void CFileListCtrl::mousePressEvent(QMouseEvent* e) {
  // The first 20 pixels of a row are its tag mark.
  const QModelIndex index = indexAt(e->position().toPoint());
  if (e->button() == Qt::LeftButton && index.isValid() && e->position().x() < 20) model_->ToggleTag(index.row());
  QTableView::mousePressEvent(e);
}

}  // namespace twinbay
