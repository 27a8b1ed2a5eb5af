// The main view: the path boxes, the folder tree and the file list, the
// connect and compare workers, Synchronize, and the status texts.
#pragma once

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <thread>

#include "core/controller.h"
#include "core/free_space.h"
#include "core/watcher.h"
#include "engine/filters.h"
#include "engine/number_format.h"
#include "engine/totals.h"
#include "core/connect_policy.h"
#include "core/connections.h"
#include "ui/icons.h"
#include "ui/settings.h"
#include "ui/view/messages.h"

namespace twinbay {

class CHistoryComboBox;
class CFolderTreeCtrl;
class CFileListCtrl;
class CPathLabel;

class CTwinbayView : public QWidget, private ISyncListener, private ICollectionListener, private ISessionListener {
  Q_OBJECT
 public:
  // connectionsFile empty: the default place.
  explicit CTwinbayView(QWidget* parent = nullptr, const QString& connectionsFile = {});
  ~CTwinbayView() override;

  // Where WM_BUSYCHANGED goes (the main window).
  void SetFrame(QObject* frame) { frame_ = frame; }
  // Shows the Connections dialog once the window is up (the start-up Connect).
  void ArmStartupConnect();

  // Commands.
  void OnConnect();
  void OnCompare();
  void OnStop();
  void OnDisconnect();
  void OnSynchronize();
  void OnBrowseLocal();
  // Tools > Browse for Remote Path and the remote "..." button.
  void OnBrowseRemote();
  // Tools > Options.
  void OnOptions();
  // The toolbar's Watch: after a sync the local folders are watched (on a
  // thread of their own) and a compare and a sync with the choices last
  // confirmed run again once changes are quiet for a second, and every 5
  // minutes; each sync keeps its guards (twinbay_view_watch.cpp).
  void SetWatching(bool on);
  bool IsWatching() const { return watching_; }
  bool CanBrowseRemote() const { return !busy_ && connected_; }

  // Commands on the compared files (file_commands.cpp).
  void OnDeleteSelected();
  void OnSelectAll();
  void OnTagAll(bool tag);
  void OnTagSelected(bool tag);
  void OnTagFolder(bool tag);
  // "Keep Local" / "Keep Remote" on the selected entries.
  void OnKeepSide(bool keepLocal);
  void OnSetFilter(int filter);
  bool CanDelete() const;
  bool CanSelectAll() const { return !busy_; }
  bool CanTagAll() const;
  bool CanBrowseLocal() const { return !busy_ && connected_; }
  // The two popups, their commands enabled as things are now (the caller
  // owns the menu). The tree's is null when no folder is selected.
  QMenu* MakeListPopup(QWidget* parent);
  QMenu* MakeTreePopup(QWidget* parent);
  // Enables the path boxes after the busy and connected flags.
  void RefreshControlStates();

  bool CanConnect() const { return !busy_ && !connected_; }
  bool CanDisconnect() const { return !busy_ && connected_; }
  bool CanCompare() const { return connected_ && !busy_; }
  // A compare, or work waiting on the server (connect, connection check,
  // delete, disconnect).
  bool CanStop() const { return compareRunning_ || sessionWaiting_; }
  bool CanSynchronize() const;
  // Whether any entry is to be copied or deleted (tagged or not).
  bool AnyToDo() const;
  bool IsBusy() const { return busy_; }
  // Connect, a connection check, Delete or Disconnect waits on the server.
  bool IsWaitingOnServer() const { return sessionWaiting_; }
  bool IsConnected() const { return connected_; }

  // Status pane texts.
  QString LocalPaneText();
  QString ConnectionPaneText() const {
    return connected_ ? (encrypted_ ? "Connected (encrypted)" : "Connected") : "Not connected";
  }
  QString RemotePaneText() const;
  // The empty pane: says when the server's time offset could not be found
  // (with the whole text as its tip).
  QString ServerTimePaneText() const;
  QString ServerTimeNotice() const;

  // Stops a running compare and whatever waits on the server, and joins the
  // workers (they end within a poll). Used when the program ends.
  void ShutDown();

  // Parts, for the frame and for tests.
  CFolderTreeCtrl* Tree() const { return tree_; }
  CFileListCtrl* List() const { return list_; }
  CHistoryComboBox* LocalCombo() const { return local_; }
  CHistoryComboBox* RemoteCombo() const { return remote_; }
  CHistoryComboBox* TypesCombo() const { return types_; }
  QCheckBox* SubFolders() const { return subFolders_; }
  QSplitter* Splitter() const { return splitter_; }
  QToolButton* BrowseRemoteButton() const { return browseRemote_; }
  CFolderCollection& Collection() { return collection_; }
  CSettings& Settings() { return settings_; }
  ConnectionsList& Connections() { return connections_; }
  CConnectionProperties* CurrentRecord() const { return current_; }
  CSyncController& Controller() { return controller_; }
  // Why the last connect or connection check failed (empty when it did not).
  const std::string& LastError() const { return lastError_; }
  int Filter() const { return filter_; }
  const QString& FreeSpaceText() const { return freeSpaceText_; }
  // Asks for the free space where the local path lives; the status line
  // shows it when the answer comes.
  void RefreshFreeSpace();
  FreeSpaceQuery& FreeSpace() { return freeSpace_; }

 signals:
  void StateChanged();
  // A text for the status line's message area (empty: clear it).
  void StatusMessage(const QString& text);

 protected:
  bool event(QEvent* e) override;
  // The first time the view is shown the divider goes to its stored place,
  // or on the first start to half the width.
  void showEvent(QShowEvent* e) override;

 private:
  // Compare worker: posted to the window's thread, never waited for.
  void FolderAdded(size_t count) override;
  void FolderFinished(CFolderRecord* record) override;
  void CompareDone() override;
  void CollectionCleared() override;
  void OnFolderEvent(const FolderChangedEvent& e);
  // Shows a folder's files in the list (the tree's selection).
  void ShowFolder(CFolderRecord* record);
  void OnFolderChanged(CFolderRecord* record);
  void OnConnectDone(const SessionOutcome& outcome);
  void SessionWorkDone(const SessionOutcome& outcome) override;
  void OnSessionDone(const SessionOutcome& outcome);
  void OnCheckDone(const SessionOutcome& outcome);
  void OnDeleteDone(const SessionOutcome& outcome);
  // Runs the connection check on the controller's thread, then `next`.
  enum class AfterCheck { None, Compare, Synchronize, BrowseRemote };
  bool StartCheck(AfterCheck next, const QString& progress);
  void CompareBackToIdle();
  void RunProgress();
  // Connects with the current record on the connect worker.
  void StartConnect();
  // Asks for what the current record's connect needs and it does not keep
  // (a password, an SFTP key's passphrase); false when the user declined.
  bool AskForSecrets(bool afterRefusedSignIn);
  // After a connect that stopped at the server's certificate or at an
  // unknown SFTP host key: asks the user whether to trust it and, if so,
  // pins it on the record. True when pinned.
  bool AskToTrustCertificate(const OpenFailure& failure);
  bool AskToTrustHostKey(const OpenFailure& failure);
  // A changed host key: said so that it cannot be missed, never accepted.
  void ShowChangedHostKey(const OpenFailure& failure);
  // Pins what the user trusted: saves the connections file.
  void SaveTrust();
  void OnCompareDone();
  void OnWatchChanged();
  void WatchAfterSync();
  void SyncAfterWatchCompare();
  void ShowFreeSpace(bool known, double bytes);
  // Shows the answer the free-space query left, if any.
  void TakeFreeSpace();
  // Says in the status line why the last synchronisation could not be
  // recorded, if it could not.
  void ShowStateError();
  void SetBusy(bool busy);
  void TellFrame(bool busy);
  void SetAnimation(icons::ConnectionState state);
  // The band of path boxes above the tree and the list.
  QGridLayout* BuildPathBand();
  // Reads the connections file (the default one when empty); an unreadable
  // one is kept aside and the user told.
  void LoadConnectionsFile(const QString& connectionsFile);
  void SetUpFileCommands();
  std::vector<CFileEntry*> SelectedEntries() const;
  // Whether any selected entry has a state that passes `test`.
  bool AnySelected(bool (*test)(int32_t state)) const;

  CSettings settings_;
  CFolderCollection collection_;
  // The compare, the sync and the delete, and the session they use.
  CSyncController controller_{collection_};
  std::string lastError_;
  ConnectionsList connections_;
  CConnectionProperties* current_ = nullptr;
  // The status line's counts, kept up to date as records, states, tags and
  // the filter change.
  KeptTotals kept_;
  SyncTotals transferTotals_;
  bool busy_ = false, connected_ = false, compareRunning_ = false, shuttingDown_ = false;
  bool encrypted_ = false;  // the connection is TLS
  int filter_ = FilterAll;
  QString freeSpaceText_;
  QObject* frame_ = nullptr;
  NumberFormat numbers_;

  // Session work under way on the controller's thread (Stop cancels it) and
  // what follows a connection check.
  bool sessionWaiting_ = false, stopping_ = false;
  bool dividerPlaced_ = false;  // the divider has been put in its place
  AfterCheck afterCheck_ = AfterCheck::None;
  CompareOptions pendingCompare_;
  TransferOptions pendingSync_;
  CFolderRecord* deleting_ = nullptr;
  // A password typed at the prompt: the record forgets it when the
  // connections file is saved, the session keeps using it.
  std::string promptedPassword_;
  // An SFTP key file's passphrase, asked for before the connect: handed to
  // its first sign-in with the key and wiped then, or when the connect ends
  // without it. Never kept in the record.
  PassphraseQuestion passphrase_;
  // A FolderChange::Added event is on its way (at most one at a time).
  std::atomic<bool> addedPosted_{false};

  CHistoryComboBox *local_, *types_, *remote_;
  QLabel *remoteLabel_, *animation_;
  QToolButton *browseLocal_, *browseRemote_;
  CPathLabel *localLine_, *remoteLine_;
  QCheckBox* subFolders_;
  QSplitter* splitter_;
  CFolderTreeCtrl* tree_;
  CFileListCtrl* list_;
  QTimer animationTimer_;
  int animationFrame_ = 0;
  // Answers on its thread, posted to this window; gone first, so that no
  // answer comes once the window is being destroyed.
  // The newest free-space answer, handed over by the query's thread.
  std::mutex freeSpaceMutex_;
  std::optional<std::pair<bool, double>> freeSpaceAnswer_;
  FreeSpaceQuery freeSpace_{[this](bool known, double bytes) {
    {
      std::lock_guard g(freeSpaceMutex_);
      freeSpaceAnswer_.emplace(known, bytes);
    }
    PostNotice<FreeSpaceEvent>(this);
  }};
  // Watch: on since the toolbar's toggle; a compare it started; changes
  // seen while a run was under way (one more run after it); a sync made.
  bool watching_ = false, watchRun_ = false, watchDue_ = false, synced_ = false;
  CWatchThread watch_;  // last: it stops before the rest goes
};

}  // namespace twinbay
