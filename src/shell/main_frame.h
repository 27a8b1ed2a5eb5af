// The program's one top-level window: menus, toolbar, the four status panes,
// the window's placement, and the guard that keeps it open while busy.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>
#include <QToolBar>

namespace twinbay {

class CTwinbayView;
class CCaptionPainter;
class CFileMenus;

// The profile document: it carries no data, only a title, a path and the list
// of recently opened profiles.
class CTwinbayDoc {
 public:
  static constexpr int kRecentFiles = 16;
  QString Title() const;
  const QString& Path() const { return path_; }
  // Opens a profile: nothing is read from it; its name titles the window.
  bool Open(const QString& path);
  QStringList Recent() const;

 private:
  void AddRecent(const QString& path);
  QString path_;
};

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  static constexpr char kFrameTitle[] = "Twinbay 1.07 ";

  explicit CMainFrame(const QString& connectionsFile = {});
  ~CMainFrame() override;

  CTwinbayView* View() const { return view_; }
  CTwinbayDoc& Document() { return doc_; }
  bool IsBusy() const { return busy_; }
  void OpenProfile(const QString& path);
  QLabel* Pane(int i) const { return panes_[i]; }
  void RefreshUi();
  // Help > About Twinbay...
  void OnAbout();
  // The painted caption, or null while the system's title bar is used.
  CCaptionPainter* Caption() const;
  // Paints our own caption unless the settings keep the system's title bar or
  // the platform cannot move a window without one.
  void ApplyCaptionChoice();
  QToolBar* ToolBar() const { return toolbar_; }

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void changeEvent(QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;

 private:
  struct Commands;
  void BuildMenus();
  void BuildFileMenu(Commands& c);
  void BuildEditAndViewMenus(Commands& c);
  void BuildFilterMenu(Commands& c);
  void BuildToolsMenu(Commands& c);
  void BuildHelpMenu(Commands& c);
  void BuildToolBar(const Commands& c);
  void NameMainCommands();
  void UpdateTitle();
  void UpdateRecentMenu();
  void SavePlacement();
  void RestorePlacement();
  void DivideStatusBar();
  void PlaceCaption();
  Qt::Edges EdgesAt(const QPoint& p) const;
  QAction* AddCommand(QMenu* menu, const QString& text, const QString& icon = {}, const QKeySequence& key = {});

  CTwinbayView* view_;
  CTwinbayDoc doc_;
  bool busy_ = false;
  bool placed_ = false;
  QLabel* panes_[4];
  QTimer idle_;
  QMenu* recentMenu_ = nullptr;
  QAction *compare_, *stop_, *sync_, *connect_, *disconnect_;
  QAction *options_ = nullptr, *browseRemote_ = nullptr, *web_ = nullptr, *about_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QAction* watch_ = nullptr;  // the toolbar's Watch toggle
  CCaptionPainter* caption_ = nullptr;
  bool painted_ = false;
  CFileMenus* fileMenus_ = nullptr;
};

}  // namespace twinbay
