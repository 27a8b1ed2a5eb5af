// Browse for Remote Folder: the server's folders as a tree from "/", each
// folder listed the first time it is expanded. The listing is the
// controller's session work, so that the window stays live while the server
// answers; one listing at a time, since the remote side has one connection.
// The session thread hands its result over by finishing: the dialog sees the
// done flag, joins the thread and only then reads the result.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "core/controller.h"

namespace twinbay {

class CPathLabel;

class CRemoteFolderDlg : public QDialog, private ISessionListener {
  Q_OBJECT
 public:
  // Per item: not listed yet, being listed, listed, listing failed.
  enum LoadState { NotLoaded = 0, Loaded = 1, Loading = 2, Failed = 3 };

  // Over the controller's connected remote side, with no session work under way.
  explicit CRemoteFolderDlg(CSyncController& controller, QWidget* parent = nullptr);
  ~CRemoteFolderDlg() override;

  // The folder OK hands back: the one selected, else the one shown ("/"
  // until a folder is selected). Never empty: an empty remote path would
  // mean the login folder, not the folder the user saw.
  QString ChosenPath() const;
  QTreeWidget* Tree() const { return tree_; }
  CPathLabel* PathLabel() const { return pathLabel_; }
  QLabel* ErrorLine() const { return error_; }
  // Listings asked of the server so far, and whether one is under way.
  int ListingsMade() const { return listings_; }
  bool IsListing() const { return listing_ != nullptr; }

  static QString ItemPath(const QTreeWidgetItem* item);
  static int ItemState(const QTreeWidgetItem* item);

 private:
  void Expanding(QTreeWidgetItem* item);
  void StartNext();
  void Poll();
  void Finished(QTreeWidgetItem* item, const SessionOutcome& r);
  void ShowError(const QString& text);
  // On the session thread: keeps the outcome, then raises the done flag.
  void SessionWorkDone(const SessionOutcome& outcome) override;

  CSyncController& controller_;
  CPathLabel* pathLabel_;
  QTreeWidget* tree_;
  QLabel* error_;
  int listings_ = 0;
  std::atomic<bool> workerDone_{false};
  SessionOutcome result_;                // written by the session thread, read after the join
  QTreeWidgetItem* listing_ = nullptr;   // the folder being listed
  QTimer poll_;
  std::deque<QTreeWidgetItem*> queue_;  // folders waiting for their listing
};

}  // namespace twinbay
