#include "ui/view/twinbay_view.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QVBoxLayout>
#include <algorithm>

#include "widgets/history_combo.h"
#include "ui/dialogs/options_sheet.h"
#include "ui/alerts.h"
#include "ui/dialogs/connection_dlgs.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/dialogs/sync_dlgs.h"
#include "ui/icons.h"
#include "ui/plain_text.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/messages.h"
#include "widgets/folder_picker.h"
#include "widgets/path_label.h"

namespace twinbay {

CTwinbayView::CTwinbayView(QWidget* parent, const QString& connectionsFile)
    : QWidget(parent), numbers_(NumberFormat::FromUserLocale()) {
  settings_.Initialise(kBaseKey);
  settings_.Load();
  collection_.SetListener(static_cast<ICollectionListener*>(this));

  QGridLayout* band = BuildPathBand();

  // Tree and list, with a bar between them that the user drags.
  tree_ = new CFolderTreeCtrl;
  tree_->setObjectName("folderTree");
  tree_->SetNotify(this);
  list_ = new CFileListCtrl(collection_, &settings_.m_bSuppressStripedList, &filter_);
  list_->setObjectName("fileList");
  list_->LoadColumnWidths(settings_.m_nColumnWidth);
  splitter_ = new QSplitter(Qt::Horizontal);
  splitter_->addWidget(tree_);
  splitter_->addWidget(list_);
  splitter_->setHandleWidth(4);
  splitter_->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addLayout(band);
  layout->addWidget(splitter_, 1);

  local_->SetKey(QString(kBaseKey) + "\\Local History");
  types_->SetKey(QString(kBaseKey) + "\\Types History");
  remote_->SetKey(QString(kBaseKey) + "\\Remote History");
  local_->Load();
  types_->Load();
  remote_->Load();
  SetAnimation(icons::ConnectionState::NotConnected);
  connect(&animationTimer_, &QTimer::timeout, this,
          [this] { animation_->setPixmap(icons::Connection(icons::ConnectionState::Connecting, ++animationFrame_)); });
  connect(browseLocal_, &QToolButton::clicked, this, [this] { OnBrowseLocal(); });
  connect(browseRemote_, &QToolButton::clicked, this, [this] { OnBrowseRemote(); });
  connect(local_, &QComboBox::currentTextChanged, this, [this] { RefreshFreeSpace(); });
  SetUpFileCommands();

  LoadConnectionsFile(connectionsFile);
}

// The band of path boxes.
QGridLayout* CTwinbayView::BuildPathBand() {
  auto* band = new QGridLayout;
  band->setContentsMargins(5, 2, 5, 2);
  band->setHorizontalSpacing(8);
  band->setVerticalSpacing(2);
  auto* localLabel = new QLabel("Local path:");
  auto* typesLabel = new QLabel("File Types:");
  remoteLabel_ = new QLabel("Remote path:");
  local_ = new CHistoryComboBox;
  types_ = new CHistoryComboBox;
  remote_ = new CHistoryComboBox;
  local_->setObjectName("localPath");
  types_->setObjectName("fileTypes");
  remote_->setObjectName("remotePath");
  browseLocal_ = new QToolButton;
  browseLocal_->setText("...");
  browseRemote_ = new QToolButton;
  browseRemote_->setText("...");
  browseRemote_->setEnabled(false);
  browseRemote_->setToolTip("Browse for Remote Path");
  browseLocal_->setToolTip("Browse for Local Path");
  localLine_ = new CPathLabel;
  remoteLine_ = new CPathLabel;
  subFolders_ = new QCheckBox("&Include sub-folders");
  subFolders_->setChecked(true);
  animation_ = new QLabel;
  animation_->setFixedSize(48, 32);
  auto* localRow = new QHBoxLayout;
  localRow->addWidget(local_, 1);
  localRow->addWidget(browseLocal_);
  auto* remoteRow = new QHBoxLayout;
  remoteRow->addWidget(remote_, 1);
  remoteRow->addWidget(browseRemote_);
  band->addWidget(localLabel, 0, 0);
  band->addWidget(typesLabel, 0, 1);
  band->addWidget(remoteLabel_, 0, 2);
  band->addLayout(localRow, 1, 0);
  band->addWidget(types_, 1, 1);
  band->addLayout(remoteRow, 1, 2);
  band->addWidget(localLine_, 2, 0);
  band->addWidget(subFolders_, 2, 1);
  band->addWidget(remoteLine_, 2, 2);
  band->addWidget(animation_, 0, 3, 3, 1, Qt::AlignCenter);
  band->setColumnStretch(0, 2);
  band->setColumnStretch(1, 1);
  band->setColumnStretch(2, 2);
  return band;
}

void CTwinbayView::LoadConnectionsFile(const QString& connectionsFile) {
  connections_.SetFileName((connectionsFile.isEmpty() ? QString::fromStdString(DefaultConnectionsFile()) : connectionsFile).toStdString());
  const ConnectionsReadResult r = connections_.Load();
  if (!r.ok) {
    // Keep the unreadable file aside so that the next save cannot overwrite
    // what may still be recovered, and say so once.
    const std::string aside = connections_.KeepAside();
    QTimer::singleShot(0, this, [this, r, aside] {
      QMessageBox::warning(this, "Twinbay",
                           QString::fromStdString(r.error) +
                               (aside.empty() ? QString("\nIt will not be overwritten.")
                                              : "\nIt was kept as " + QString::fromStdString(aside) + "."));
    });
  } else if (!connections_.SettingsProblem().empty()) {
    const QString problem = QString::fromStdString(connections_.SettingsProblem());
    QTimer::singleShot(0, this, [this, problem] { PlainWarning(this, problem); });
  }
}

CTwinbayView::~CTwinbayView() {
  ShutDown();
  if (!connections_.FileName().empty()) connections_.Save();
  list_->SaveColumnWidths(settings_.m_nColumnWidth);
  const QList<int> sizes = splitter_->sizes();
  if (dividerPlaced_ && !sizes.isEmpty()) settings_.m_nListWidth = static_cast<quint32>(sizes.first());
  settings_.Save();
  collection_.SetListener(nullptr);
}

void CTwinbayView::ArmStartupConnect() { QTimer::singleShot(0, this, [this] { OnConnect(); }); }

void CTwinbayView::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (dividerPlaced_) return;
  dividerPlaced_ = true;
  // Once the frame has its size (it restores its place as it is shown).
  QTimer::singleShot(0, this, [this] {
    const int total = splitter_->width() - splitter_->handleWidth();
    const int left = settings_.m_nListWidth > 0 ? static_cast<int>(settings_.m_nListWidth) : total / 2;
    splitter_->setSizes({left, std::max(total - left, 50)});
  });
}

void CTwinbayView::SetAnimation(icons::ConnectionState state) {
  using enum icons::ConnectionState;
  if (state == Connecting) {
    animationTimer_.start(150);
  } else {
    animationTimer_.stop();
  }
  animation_->setPixmap(icons::Connection(state));
  animation_->setToolTip(state == Connected ? "Connected" : state == Connecting ? "Connecting" : "Not connected");
}

void CTwinbayView::TellFrame(bool busy) { Post<BusyChangedEvent>(frame_ ? frame_ : window(), busy); }

void CTwinbayView::SetBusy(bool busy) {
  busy_ = busy;
  local_->setEnabled(!busy);
  types_->setEnabled(!busy);
  remote_->setEnabled(!busy && connected_);
  browseLocal_->setEnabled(!busy);
  browseRemote_->setEnabled(CanBrowseRemote());
  subFolders_->setEnabled(!busy);
  emit StateChanged();
}

bool CTwinbayView::CanSynchronize() const { return connected_ && !busy_ && AnyToDo(); }

bool CTwinbayView::AnyToDo() const {
  const SyncTotals& t = kept_.Totals();
  return t.allUp + t.allDown + t.deletesUp + t.deletesDown > 0;
}

// ---- Compare ---------------------------------------------------------------------

void CTwinbayView::OnCompare() {
  if (!CanCompare()) return;
  TellFrame(true);
  RefreshFreeSpace();
  collection_.Clear();  // tells the tree and list first
  SetBusy(true);
  compareRunning_ = true;
  emit StateChanged();

  const QString localText = local_->currentText().trimmed();
  QString types = types_->currentText();
  const QString typesTyped = types;
  if (types.trimmed().isEmpty()) types = "*.*";
  const QString remoteText = remote_->currentText().trimmed();
  remote_->Add(remoteText);
  remote_->Save();
  types_->Add(typesTyped);
  types_->Save();
  local_->Add(localText);
  local_->Save();
  if (current_) {
    current_->includeSubFolders = subFolders_->isChecked() ? 1 : 0;
    current_->localPath = localText.toStdString();
    current_->fileTypes = types.toStdString();
    current_->remotePath = remoteText.toStdString();
  }
  if (!connections_.FileName().empty()) {
    const ConnectionsReadResult saved = connections_.Save();
    if (!saved.ok) PlainWarning(this, "The connections could not be saved: " + QString::fromStdString(saved.error));
  }

  // Never scan the working folder: the local path must be a full path.
  const std::string problem = CFolderComparer::CheckPaths(localText.toStdString());
  if (!problem.empty()) {
    CompareBackToIdle();
    PlainWarning(this, QString::fromStdString(problem));
    return;
  }
  CompareOptions& options = pendingCompare_;
  options = CompareOptions();
  options.localPath = localText.toStdString();
  options.remotePath = remoteText.toStdString();
  options.fileTypes = types.toStdString();
  options.includeSubFolders = subFolders_->isChecked();
  options.tagAfterCompare = settings_.m_bSuppressTagging == 0;
  options.ignoreSeconds = settings_.m_bIgnoreSeconds != 0;
  options.checksum = settings_.m_bChecksum != 0;
  options.connections = static_cast<int>(std::clamp<quint32>(settings_.m_nConnections, 1, 16));
  // The last synchronisation is kept for the place (server, login, both
  // folders), where twinbay-cli finds it too; the name is only a label.
  if (current_) {
    // The stored connection's exclusions and backup folder; without them
    // (their file unreadable) the run would copy or delete what was left out.
    if (!connections_.SettingsProblem().empty()) {
      CompareBackToIdle();
      PlainWarning(this, QString::fromStdString(connections_.SettingsProblem()));
      return;
    }
    options.exclude = current_->exclude;
    options.backupDir = current_->backupDir;
    options.connectionName = current_->description;
    if (!settings_.RemembersSync(QString::fromStdString(current_->description)))
      options.memory = CompareOptions::Memory::Off;
  }
  // The connection is made sure of on the controller's thread; the compare
  // starts when it has answered.
  if (!StartCheck(AfterCheck::Compare, "Checking the connection...")) CompareBackToIdle();
}

void CTwinbayView::CompareBackToIdle() {
  compareRunning_ = false;
  SetBusy(false);
  TellFrame(false);
  RefreshFreeSpace();
}

bool CTwinbayView::StartCheck(AfterCheck next, const QString& progress) {
  if (!controller_.StartCheck(this)) return false;
  afterCheck_ = next;
  sessionWaiting_ = true;
  SetBusy(true);
  emit StatusMessage(progress);
  emit StateChanged();
  return true;
}

void CTwinbayView::OnCheckDone(const SessionOutcome& o) {
  const AfterCheck next = std::exchange(afterCheck_, AfterCheck::None);
  if (!o.cancelled) lastError_ = o.error;
  const QString failed = o.cancelled ? QString("Stopped") : "Connect FAILED: " + QString::fromStdString(o.error);
  if (next == AfterCheck::Compare) {
    if (!o.ok) {
      CompareBackToIdle();
      emit StatusMessage(failed);
      return;
    }
    std::string why;
    if (!controller_.StartCompare(pendingCompare_, this, why)) {
      CompareBackToIdle();
      PlainWarning(this, QString::fromStdString(why));
      return;
    }
    localLine_->SetText(QString::fromStdString(controller_.LocalRoot()));
    remoteLine_->SetText(QString::fromStdString(controller_.RemoteRoot()));
    emit StateChanged();
    return;
  }
  SetBusy(false);
  if (!o.ok) {
    TellFrame(false);
    emit StatusMessage(failed);
    return;
  }
  if (next == AfterCheck::Synchronize) {
    RunProgress();
  } else if (next == AfterCheck::BrowseRemote) {
    TellFrame(false);
    CRemoteFolderDlg dlg(controller_, this);
    if (dlg.exec() == QDialog::Accepted) remote_->setEditText(dlg.ChosenPath());
  }
}

void CTwinbayView::SessionWorkDone(const SessionOutcome& outcome) {
  if (outcome.work == SessionWork::Connect)
    Post<ConnectDoneEvent>(this, outcome);
  else
    Post<SessionDoneEvent>(this, outcome);
}

void CTwinbayView::OnSessionDone(const SessionOutcome& o) {
  controller_.WaitForSession();  // it has told its outcome: it is ending
  sessionWaiting_ = false;
  emit StatusMessage(QString());
  switch (o.work) {
    case SessionWork::Connect: break;  // a ConnectDoneEvent
    case SessionWork::Check: OnCheckDone(o); break;
    case SessionWork::Delete: OnDeleteDone(o); break;
    case SessionWork::Browse: break;  // the remote folder browser's own
    case SessionWork::Disconnect:
      SetBusy(false);
      TellFrame(false);
      break;
  }
  emit StateChanged();
}

void CTwinbayView::OnCompareDone() {
  stopping_ = false;
  controller_.WaitForCompare();
  if (const std::string why = controller_.StartProblem(); !why.empty()) {  // the state or the folders' lock
    CompareBackToIdle();
    PlainWarning(this, QString::fromStdString(why));
    return;
  }
  if (settings_.m_bCompareAlert) alerts::Play(alerts::CompareTones());
  compareRunning_ = false;
  SetBusy(false);
  TellFrame(false);
  RefreshFreeSpace();
  const size_t unread = controller_.IncompleteFolders().size();
  if (!controller_.CompareProblem().empty())
    emit StatusMessage(QString::fromStdString(controller_.CompareProblem()));
  else if (unread > 0)
    emit StatusMessage(QString("%1 folder%2 could not be read; nothing in %3 will be copied or deleted")
                           .arg(unread)
                           .arg(unread == 1 ? "" : "s")
                           .arg(unread == 1 ? "it" : "them"));
  else if (const std::string note = controller_.ChecksumNote(); !note.empty())
    emit StatusMessage("Content check: " + QString::fromStdString(note));
  else
    ShowStateError();
  if (watchRun_) SyncAfterWatchCompare();
}

void CTwinbayView::ShowStateError() {
  const std::string error = controller_.StateError();
  if (!error.empty())
    emit StatusMessage("The last synchronisation could not be recorded: " + QString::fromStdString(error));
}

void CTwinbayView::OnStop() {
  if (sessionWaiting_) {
    // Ends the command the server has not answered.
    controller_.CancelSessionWork();
    emit StatusMessage("Stopping...");
    return;
  }
  if (!compareRunning_) return;
  compareRunning_ = false;
  stopping_ = true;
  controller_.StopCompare();
  // The walk stops after the listings in flight; one the server leaves
  // unanswered is ended after a moment rather than at its time-out.
  QTimer::singleShot(1000, this, [this] {
    if (stopping_) controller_.CancelSessionWork();
  });
  emit StateChanged();
}

void CTwinbayView::OnDisconnect() {
  if (!CanDisconnect()) return;
  RefreshFreeSpace();
  collection_.Clear();
  connected_ = false;
  SetAnimation(icons::ConnectionState::NotConnected);
  browseRemote_->setEnabled(false);
  remoteLabel_->setText("Remote path:");
  // Logging out (and waiting for logins still under way) is the controller's.
  if (controller_.StartDisconnect(this)) {
    sessionWaiting_ = true;
    SetBusy(true);
    TellFrame(true);
  }
  emit StateChanged();
}

// ---- Synchronize -------------------------------------------------------------------

void CTwinbayView::OnSynchronize() {
  if (!CanSynchronize()) return;
  CSyncConfirmDlg confirm(collection_, transferTotals_, filter_, &settings_.m_bSetLocalTimestamps, this);
  if (confirm.exec() != QDialog::Accepted || !CanSynchronize()) return;
  TransferOptions& o = pendingSync_;
  o = TransferOptions();
  o.localToRemote = confirm.LocalToRemote();
  o.remoteToLocal = confirm.RemoteToLocal();
  o.setLocalTimestamps = settings_.m_bSetLocalTimestamps != 0;
  o.bytesPerSecond = uint64_t{settings_.m_nBandwidthLimit} * 1024;
  o.ignoreSeconds = settings_.m_bIgnoreSeconds != 0;
  o.verify = settings_.m_bVerify != 0;
  o.filter = filter_;
  o.connections = static_cast<int>(settings_.m_nConnections);
  o.deleteFollowing = confirm.DeleteFollowing();
  o.localTrash = true;  // local files deleted or replaced go to the trash
  o.backupDir = pendingCompare_.backupDir;  // the compare's: what it left unlisted
  TellFrame(true);
  if (!StartCheck(AfterCheck::Synchronize, "Checking the connection...")) TellFrame(false);
}

void CTwinbayView::RunProgress() {
  {
    CProgressDlg progress(controller_, transferTotals_, pendingSync_, this, this);
    progress.exec();
    // Failures, warnings and deletions reach the user, file by file.
    if (progress.Started() && controller_.Job()) ShowTransferReport(this, *controller_.Job(), collection_);
  }
  ShowStateError();
  if (settings_.m_bTransferAlert) alerts::Play(alerts::TransferTones());
  TellFrame(false);
  emit StateChanged();
  WatchAfterSync();
}

void CTwinbayView::OnBrowseLocal() {
  QString path = local_->currentText();
  if (CFolderPicker::Browse(this, path, "Select Local Path")) local_->setEditText(path);
}

void CTwinbayView::OnBrowseRemote() {
  if (!CanBrowseRemote()) return;
  TellFrame(true);
  if (!StartCheck(AfterCheck::BrowseRemote, "Checking the connection...")) TellFrame(false);
}

void CTwinbayView::OnOptions() {
  if (busy_) return;
  const quint32 stripes = settings_.m_bSuppressStripedList;
  // The memory option is the current connection's own.
  const QString connection = current_ ? QString::fromStdString(current_->description) : QString();
  settings_.m_connection = connection;
  settings_.m_bRememberSync = settings_.RemembersSync(connection) ? 1 : 0;
  if (!RunOptions(settings_, this)) return;
  if (current_) settings_.SetRemembersSync(connection, settings_.m_bRememberSync != 0);
  // The list shows the new striping at once; the other flags apply on next use.
  if (stripes != settings_.m_bSuppressStripedList) list_->viewport()->update();
  emit StateChanged();
}

// ---- Messages ---------------------------------------------------------------------

void CTwinbayView::FolderAdded(size_t) {
  // One event for any number of records: the window adds all it has not
  // shown yet when it gets to it.
  if (!addedPosted_.exchange(true)) Post<FolderChangedEvent>(this, FolderChange::Added, nullptr);
}

void CTwinbayView::FolderFinished(CFolderRecord* record) {
  Post<FolderChangedEvent>(this, FolderChange::Finished, record);
}

void CTwinbayView::CompareDone() { Post<CompareDoneEvent>(this); }

void CTwinbayView::OnFolderEvent(const FolderChangedEvent& e) {
  switch (e.change) {
    case FolderChange::Added:
      addedPosted_.store(false);
      tree_->AddItems(collection_);
      break;
    case FolderChange::Finished:
      // The record's item may still be to make: the records come first.
      tree_->AddItems(collection_);
      tree_->ShowFinished(collection_, e.record);
      OnFolderChanged(e.record);
      break;
    case FolderChange::Changed: OnFolderChanged(e.record); break;
  }
}

void CTwinbayView::CollectionCleared() {
  tree_->AllowSelectionReports(false);
  tree_->DeleteAll();
  list_->Model()->Clear();
  tree_->AllowSelectionReports(true);
  kept_.Clear();
}

void CTwinbayView::ShowFolder(CFolderRecord* record) {
  // The folder a delete works on is shown again when the delete is over.
  if (!record || record == deleting_) return;
  list_->Model()->ShowFolder(record);
  QStringList why;
  {
    auto guard = collection_.Lock();
    if (record->incomplete) why << "Could not be read whole: " + QString::fromStdString(record->incompleteReason);
    for (const std::string& s : record->skipped) why << "skipped " + QString::fromStdString(s);
  }
  emit StatusMessage(why.join("; "));
}

void CTwinbayView::OnFolderChanged(CFolderRecord* record) {
  list_->Model()->Refresh(record);
  kept_.CountFolder(collection_, *record);
  QTreeWidgetItem* item = tree_->FindItem(record);
  if (!item) return;
  bool onBoth;
  {
    auto guard = collection_.Lock();
    onBoth = record->folderClass == FolderOnBoth;
    // A folder now on both sides makes its ancestors (not the root) so too.
    if (onBoth)
      for (CFolderRecord* p = record->parent; p && p->parent; p = p->parent) p->folderClass = FolderOnBoth;
  }
  tree_->ShowMarks(collection_, record);
  if (onBoth)
    for (QTreeWidgetItem* p = item->parent(); p && p->parent(); p = p->parent()) tree_->SetItemImage(p, FolderOnBoth);
  emit StateChanged();
}

bool CTwinbayView::event(QEvent* e) {
  MarkTakenOver(e);
  const int type = static_cast<int>(e->type());
  if (type < WM_PAINTCAPTION || type > WM_WATCHCHANGED) return QWidget::event(e);
  if (shuttingDown_) return true;  // the workers' last words are not acted on
  if (const auto* m = EventAs<ConnectDoneEvent>(e)) {
    controller_.WaitForSession();
    sessionWaiting_ = false;
    emit StatusMessage(QString());
    OnConnectDone(m->outcome);
  } else if (const auto* m = EventAs<SessionDoneEvent>(e)) OnSessionDone(m->outcome);
  else if (EventAs<CompareDoneEvent>(e)) OnCompareDone();
  else if (const auto* m = EventAs<ShowFolderEvent>(e)) ShowFolder(m->record);
  else if (const auto* m = EventAs<FolderChangedEvent>(e)) OnFolderEvent(*m);
  else if (e->type() == FreeSpaceEvent::kType) TakeFreeSpace();
  else if (e->type() == WatchChangedEvent::kType) OnWatchChanged();
  else return QWidget::event(e);
  return true;
}

// ---- Ending -------------------------------------------------------------------------

void CTwinbayView::ShutDown() {
  shuttingDown_ = true;
  watch_.Stop();
  controller_.StopCompare();
  compareRunning_ = false;
  // Whatever waits on the server ends within a poll.
  controller_.CancelSessionWork();
  controller_.WaitForSession();
  controller_.WaitForCompare();
  QCoreApplication::removePostedEvents(this);
}

}  // namespace twinbay
