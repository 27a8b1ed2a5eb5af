// Browse for Remote Folder: the server's folders as a tree from "/", each
// folder listed the first time it is expanded. The listing runs on a worker
// thread so that the window stays live while the server answers; one listing
// at a time, since the session has one connection. The worker hands its result
// over by finishing: the dialog sees the done flag, joins the thread and only
// then reads the result.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace twinbay {

class CFtpSession;
class CPathLabel;

class CRemoteFolderDlg : public QDialog {
  Q_OBJECT
 public:
  // Per item: not listed yet, being listed, listed, listing failed.
  enum LoadState { NotLoaded = 0, Loaded = 1, Loading = 2, Failed = 3 };

  explicit CRemoteFolderDlg(CFtpSession& session, QWidget* parent = nullptr);
  ~CRemoteFolderDlg() override;

  // The path of the last item selected; empty until one is selected.
  const QString& ChosenPath() const { return chosen_; }
  QTreeWidget* Tree() const { return tree_; }
  CPathLabel* PathLabel() const { return pathLabel_; }
  QLabel* ErrorLine() const { return error_; }
  // Listings asked of the server so far, and whether one is under way.
  int ListingsMade() const { return listings_; }
  bool IsListing() const { return worker_.joinable(); }

  static QString ItemPath(const QTreeWidgetItem* item);
  static int ItemState(const QTreeWidgetItem* item);

 private:
  struct Result {
    bool ok = false;
    std::vector<std::string> folders;
    std::string error;
  };
  void Expanding(QTreeWidgetItem* item);
  void StartNext();
  void Poll();
  void Finished(QTreeWidgetItem* item, const Result& r);
  void ShowError(const QString& text);

  CFtpSession& session_;
  QString chosen_;
  CPathLabel* pathLabel_;
  QTreeWidget* tree_;
  QLabel* error_;
  int listings_ = 0;
  std::thread worker_;
  std::atomic<bool> workerDone_{false};
  Result result_;                        // written by the worker, read after the join
  QTreeWidgetItem* listing_ = nullptr;   // the folder being listed
  QTimer poll_;
  std::deque<QTreeWidgetItem*> queue_;  // folders waiting for their listing
};

}  // namespace twinbay
