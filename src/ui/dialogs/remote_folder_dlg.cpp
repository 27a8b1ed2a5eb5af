#include "ui/dialogs/remote_folder_dlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "ui/icons.h"
#include "ui/plain_text.h"
#include "widgets/path_label.h"

namespace twinbay {

namespace {
constexpr int kStateRole = Qt::UserRole + 1;

QTreeWidgetItem* NewFolderItem(const QString& name) {
  auto* item = new QTreeWidgetItem(QStringList(name));
  item->setIcon(0, icons::Tool("folder"));
  item->setData(0, kStateRole, CRemoteFolderDlg::NotLoaded);
  // Shows an expand button before the children are known.
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}
}  // namespace

CRemoteFolderDlg::CRemoteFolderDlg(CSyncController& controller, QWidget* parent)
    : QDialog(parent), controller_(controller) {
  setObjectName("RemoteFolderDialog");
  setWindowTitle(QString("Select path on %1").arg(QString::fromStdString(controller_.Host())));
  auto* caption = new QLabel("Select Remote Path");
  pathLabel_ = new CPathLabel;
  pathLabel_->setObjectName("path");
  tree_ = new QTreeWidget;
  tree_->setObjectName("remoteTree");
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(true);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setDragEnabled(false);
  error_ = new QLabel;
  error_->setObjectName("listingError");
  error_->setWordWrap(true);
  error_->setTextFormat(Qt::PlainText);
  error_->setStyleSheet("color: #b00000");
  error_->hide();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption);
  layout->addWidget(pathLabel_);
  layout->addWidget(tree_, 1);
  layout->addWidget(error_);
  layout->addWidget(buttons);
  resize(360, 420);

  QTreeWidgetItem* root = NewFolderItem("/");
  root->setIcon(0, icons::App());
  tree_->addTopLevelItem(root);
  pathLabel_->SetText("/");
  connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { Expanding(item); });
  // The label shows the folder last selected; the tree's own current item
  // (set when it first takes the focus) changes nothing.
  connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    if (selected.isEmpty()) return;
    pathLabel_->SetText(ItemPath(selected.first()));
  });
  connect(tree_, &QTreeWidget::itemCollapsed, this, [](QTreeWidgetItem* item) {
    if (item->parent()) item->setIcon(0, icons::Tool("folder"));
  });
  poll_.setInterval(10);
  connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
  tree_->expandItem(root);
}

CRemoteFolderDlg::~CRemoteFolderDlg() {
  // The connection must be free again when the dialog is gone.
  queue_.clear();
  if (listing_) {
    // A listing the server leaves unanswered ends within a poll.
    if (!workerDone_) controller_.CancelSessionWork();
    controller_.WaitForSession();
    QApplication::restoreOverrideCursor();
  }
}

QString CRemoteFolderDlg::ItemPath(const QTreeWidgetItem* item) {
  QString path = item->text(0);
  for (const QTreeWidgetItem* p = item->parent(); p; p = p->parent())
    path = p->text(0) == "/" ? "/" + path : p->text(0) + "/" + path;
  return path;
}

QString CRemoteFolderDlg::ChosenPath() const {
  const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
  return selected.isEmpty() ? pathLabel_->Text() : ItemPath(selected.first());
}

int CRemoteFolderDlg::ItemState(const QTreeWidgetItem* item) { return item->data(0, kStateRole).toInt(); }

void CRemoteFolderDlg::Expanding(QTreeWidgetItem* item) {
  if (item->parent()) item->setIcon(0, icons::Tool("folder-open"));
  const int state = ItemState(item);
  // A folder is listed once; a failed listing is tried again on the next expansion.
  if (state == Loaded || state == Loading) return;
  item->setData(0, kStateRole, Loading);
  queue_.push_back(item);
  StartNext();
}

void CRemoteFolderDlg::StartNext() {
  if (listing_ || queue_.empty()) return;
  QTreeWidgetItem* item = queue_.front();
  queue_.pop_front();
  ++listings_;
  QApplication::setOverrideCursor(Qt::BusyCursor);
  result_ = SessionOutcome();
  workerDone_ = false;
  if (!controller_.StartBrowse(ItemPath(item).toStdString(), this)) {
    result_.error = "the connection is busy";
    Finished(item, result_);
    return;
  }
  listing_ = item;
  poll_.start();
}

void CRemoteFolderDlg::SessionWorkDone(const SessionOutcome& outcome) {
  result_ = outcome;
  workerDone_ = true;
}

void CRemoteFolderDlg::Poll() {
  if (!workerDone_ || !listing_) return;
  controller_.WaitForSession();
  poll_.stop();
  QTreeWidgetItem* item = std::exchange(listing_, nullptr);
  SessionOutcome r = std::move(result_);
  if (r.cancelled && r.error.empty()) r.error = "stopped";
  std::sort(r.folders.begin(), r.folders.end(), [](const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
  });
  Finished(item, r);
}

void CRemoteFolderDlg::Finished(QTreeWidgetItem* item, const SessionOutcome& r) {
  QApplication::restoreOverrideCursor();
  if (r.ok && !r.cancelled) {
    item->setData(0, kStateRole, Loaded);
    for (const std::string& name : r.folders) item->addChild(NewFolderItem(QString::fromStdString(name)));
    // A folder without sub-folders loses its expand button.
    item->setChildIndicatorPolicy(r.folders.empty() ? QTreeWidgetItem::DontShowIndicator
                                                    : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    if (!r.folders.empty()) item->setExpanded(true);
  } else {
    // A failure is not an empty folder: the folder is marked and the reason shown.
    item->setData(0, kStateRole, Failed);
    item->setIcon(0, style()->standardIcon(QStyle::SP_MessageBoxWarning));
    const QString why = QString("%1 could not be listed: %2").arg(ItemPath(item), QString::fromStdString(r.error));
    item->setToolTip(0, PlainTip(why));
    item->setExpanded(false);
    ShowError(why);
  }
  StartNext();
}

void CRemoteFolderDlg::ShowError(const QString& text) {
  error_->setText(text);
  error_->show();
}

}  // namespace twinbay
