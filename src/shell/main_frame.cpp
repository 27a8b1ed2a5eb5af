#include "shell/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>
#include <QWindow>

#include "shell/file_menus.h"
#include "ui/settings.h"
#include "ui/dialogs/about_pages.h"
#include "widgets/caption_painter.h"
#include "ui/icons.h"
#include "ui/plain_text.h"
#include "ui/view/messages.h"
#include "ui/view/twinbay_view.h"

namespace twinbay {

// ---- Document --------------------------------------------------------------------

QString CTwinbayDoc::Title() const { return path_.isEmpty() ? QString(" ") : QFileInfo(path_).fileName(); }

bool CTwinbayDoc::Open(const QString& path) {
  if (!QFileInfo(path).isFile()) return false;
  path_ = QFileInfo(path).absoluteFilePath();
  AddRecent(path_);
  return true;
}

QStringList CTwinbayDoc::Recent() const {
  CRegistryKey k;
  k.Open(QString(kBaseKey) + "\\Recent File List");
  QStringList out;
  for (int i = 1; i <= kRecentFiles; ++i) {
    const QString f = k.GetString(QString("File%1").arg(i));
    if (!f.isEmpty()) out << f;
  }
  return out;
}

void CTwinbayDoc::AddRecent(const QString& path) {
  QStringList list = Recent();
  list.removeAll(path);
  list.prepend(path);
  while (list.size() > kRecentFiles) list.removeLast();
  CRegistryKey k;
  k.Open(QString(kBaseKey) + "\\Recent File List");
  for (int i = 0; i < kRecentFiles; ++i) k.SetString(QString("File%1").arg(i + 1), i < list.size() ? list[i] : QString());
  k.Sync();
}

// ---- Frame -----------------------------------------------------------------------

CMainFrame::CMainFrame(const QString& connectionsFile) {
  setObjectName("MainFrame");
  setWindowIcon(icons::App());
  setAcceptDrops(true);
  view_ = new CTwinbayView(this, connectionsFile);
  view_->SetFrame(this);
  setCentralWidget(view_);
  BuildMenus();
  for (int i = 0; i < 4; ++i) {
    panes_[i] = new QLabel(" ");
    panes_[i]->setFrameShape(QFrame::Panel);
    panes_[i]->setFrameShadow(QFrame::Sunken);
    panes_[i]->setObjectName(QString("pane%1").arg(i));
    panes_[i]->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(panes_[i]);
  }
  statusBar()->setSizeGripEnabled(false);
  // The panes and the commands' states are refreshed whenever the program is
  // idle, and at once when the view's state changes.
  connect(&idle_, &QTimer::timeout, this, [this] { RefreshUi(); });
  idle_.start(250);
  connect(view_, &CTwinbayView::StateChanged, this, [this] { RefreshUi(); });
  // Messages of the view (folders that could not be read) in a pane of their
  // own, so that the count panes stay in sight.
  auto* message = new QLabel;
  message->setObjectName("statusMessage");
  message->setTextFormat(Qt::PlainText);
  statusBar()->addPermanentWidget(message, 1);
  connect(view_, &CTwinbayView::StatusMessage, message, &QLabel::setText);
  caption_ = new CCaptionPainter(this);
  caption_->hide();
  setMouseTracking(true);
  ApplyCaptionChoice();
  UpdateTitle();
  resize(900, 600);
  RefreshUi();
}

CMainFrame::~CMainFrame() { view_->ShutDown(); }

QAction* CMainFrame::AddCommand(QMenu* menu, const QString& text, const QString& icon, const QKeySequence& key) {
  QAction* a = menu->addAction(text);
  if (!icon.isEmpty()) a->setIcon(icons::Tool(icon));
  if (!key.isEmpty()) a->setShortcut(key);
  return a;
}

// The commands that several menus, the toolbar and the file commands share.
struct CMainFrame::Commands {
  QAction *del, *print, *preview, *exit, *selectAll, *tagAll, *untagAll, *browseLocal, *topics;
  QList<QAction*> filters;
};

void CMainFrame::BuildMenus() {
  Commands c;
  BuildFileMenu(c);
  BuildEditAndViewMenus(c);
  BuildFilterMenu(c);
  BuildToolsMenu(c);
  fileMenus_ = new CFileMenus(view_, {c.del, c.selectAll, c.tagAll, c.untagAll, c.browseLocal, c.filters}, this);
  BuildHelpMenu(c);
  BuildToolBar(c);
  NameMainCommands();
  UpdateRecentMenu();
}

void CMainFrame::BuildFileMenu(Commands& c) {
  QMenu* file = menuBar()->addMenu("&File");
  compare_ = AddCommand(file, "Compare", "compare", Qt::Key_F5);
  compare_->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  stop_ = AddCommand(file, "S&top", "stop", Qt::Key_Escape);
  sync_ = AddCommand(file, "Synchronize", "sync", Qt::Key_F6);
  sync_->setObjectName("syncCommand");
  file->addSeparator();
  c.del = AddCommand(file, "Delete Selected Files", "delete");
  file->addSeparator();
  connect_ = AddCommand(file, "Connect", "connect", Qt::Key_F7);
  disconnect_ = AddCommand(file, "Disconnect", "disconnect", Qt::Key_F8);
  file->addSeparator();
  c.print = AddCommand(file, "&Print...", "print");
  c.preview = AddCommand(file, "Print Pre&view", "preview");
  QAction* setup = AddCommand(file, "P&rint Setup...", "page-setup");
  for (QAction* a : {c.print, c.preview, setup}) a->setEnabled(false);
  file->addSeparator();
  recentMenu_ = file->addMenu(icons::Tool("recent"), "Recent File");
  file->addSeparator();
  c.exit = AddCommand(file, "E&xit", "exit");
  c.exit->setMenuRole(QAction::QuitRole);
  connect(c.exit, &QAction::triggered, this, [this] {
    if (busy_) {
      QMessageBox::warning(this, "Twinbay", "Twinbay is busy");
      return;
    }
    close();
  });
}

void CMainFrame::BuildEditAndViewMenus(Commands& c) {
  QMenu* edit = menuBar()->addMenu("&Edit");
  for (auto [t, icon] : {std::pair{"&Undo", "undo"}, {"Cu&t", "cut"}, {"&Copy", "copy"}, {"&Paste", "paste"}})
    AddCommand(edit, t, icon)->setEnabled(false);
  edit->addSeparator();
  c.selectAll = AddCommand(edit, "Select A&ll", "select-all");
  c.tagAll = AddCommand(edit, "Tag all files requiring synchronization", "tag");
  c.untagAll = AddCommand(edit, "Untag all", "untag");

  QMenu* viewMenu = menuBar()->addMenu("&View");
  toolbar_ = addToolBar("Toolbar");
  toolbar_->setObjectName("Toolbar");
  toolbar_->setIconSize(QSize(16, 16));
  QAction* showToolbar = toolbar_->toggleViewAction();
  showToolbar->setText("&Toolbar");
  showToolbar->setIcon(icons::Tool("toolbar"));
  viewMenu->addAction(showToolbar);
  QAction* showStatus = viewMenu->addAction(icons::Tool("statusbar"), "&Status Bar");
  showStatus->setCheckable(true);
  showStatus->setChecked(true);
  connect(showStatus, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
}

void CMainFrame::BuildFilterMenu(Commands& c) {
  QMenu* filter = menuBar()->addMenu("Fi&lter");
  for (auto [t, icon] : std::initializer_list<std::pair<const char*, const char*>>{
           {"All Files", "filter-all"}, {nullptr, nullptr}, {"Files requiring synchronization", "filter-sync"},
           {"Files to copy from Local to Remote", "filter-up"}, {"Files to copy from Remote to Local", "filter-down"},
           {"Files with matching timestamps", "filter-same"}, {"Files which exist on both paths", "filter-both"},
           {"Files that exist on one path only", "filter-one"}, {"Conflicts", "filter-conflicts"},
           {"Deleted on one side", "filter-deleted"}}) {
    if (!t) {
      filter->addSeparator();
      continue;
    }
    c.filters << AddCommand(filter, t, icon);
  }
}

void CMainFrame::BuildToolsMenu(Commands& c) {
  QMenu* tools = menuBar()->addMenu("&Tools");
  options_ = AddCommand(tools, "&Options", "options");
  tools->addSeparator();
  c.browseLocal = AddCommand(tools, "Browse for Local Path", "browse-local");
  browseRemote_ = AddCommand(tools, "Browse for Remote Path", "browse-remote");
  tools->addSeparator();
  QAction* find = AddCommand(tools, "Find Files on Remote", "find");
  find->setEnabled(false);
  options_->setObjectName("optionsCommand");
  browseRemote_->setObjectName("browseRemoteCommand");
  connect(options_, &QAction::triggered, this, [this] {
    view_->OnOptions();
    ApplyCaptionChoice();
  });
  connect(browseRemote_, &QAction::triggered, view_, &CTwinbayView::OnBrowseRemote);
  connect(c.browseLocal, &QAction::triggered, view_, &CTwinbayView::OnBrowseLocal);
}

void CMainFrame::BuildHelpMenu(Commands& c) {
  QMenu* help = menuBar()->addMenu("&Help");
  c.topics = AddCommand(help, "Help Topics", "help");
  help->addSeparator();
  web_ = AddCommand(help, "Connect to the Kestrion Web Site", "web");
  help->addSeparator();
  about_ = AddCommand(help, "&About Twinbay...", "about");
  c.topics->setEnabled(false);
  web_->setObjectName("webCommand");
  about_->setObjectName("aboutCommand");
  const QStringList webPrompt = WebSitePrompt().split('\n');
  web_->setStatusTip(webPrompt.value(0));
  web_->setToolTip(webPrompt.value(1));
  connect(web_, &QAction::triggered, this, [this] {
    if (!view_->IsBusy()) ConnectToWebSite(this);
  });
  connect(about_, &QAction::triggered, this, &CMainFrame::OnAbout);
}

// The toolbar, in its usual order.
void CMainFrame::BuildToolBar(const Commands& c) {
  const QList<QList<QAction*>> groups = {{c.print, c.preview}, {c.tagAll, c.untagAll}, {connect_, disconnect_},
                                         {compare_},           {stop_},                {sync_},
                                         c.filters,            {options_},             {about_, web_, c.topics}};
  for (qsizetype i = 0; i < groups.size(); ++i) {
    if (i > 0) toolbar_->addSeparator();
    for (QAction* a : groups[i]) toolbar_->addAction(a);
    if (groups[i].front() == sync_) {
      watch_ = toolbar_->addAction("Watch");
      watch_->setObjectName("watch");
      watch_->setCheckable(true);
      watch_->setToolTip("After a sync, watch the local folders and synchronize again when they change");
      connect(watch_, &QAction::toggled, view_, &CTwinbayView::SetWatching);
    }
  }
}

// The main commands' menu texts show their keys as the menus always did; each
// is wired to the view.
void CMainFrame::NameMainCommands() {
  const struct {
    QAction* action;
    const char *text, *tip;
    void (CTwinbayView::*slot)();
  } commands[] = {{compare_, "Compare\tF5", "Compare files", &CTwinbayView::OnCompare},
                  {stop_, "S&top\tEsc", "Stop", &CTwinbayView::OnStop},
                  {sync_, "Synchronize\tF6", "Synchronize", &CTwinbayView::OnSynchronize},
                  {connect_, "Connect\tF7", "Connect", &CTwinbayView::OnConnect},
                  {disconnect_, "Disconnect\tF8", "Disconnect", &CTwinbayView::OnDisconnect}};
  for (const auto& m : commands) {
    m.action->setText(m.text);
    m.action->setToolTip(m.tip);
    connect(m.action, &QAction::triggered, view_, m.slot);
  }
}

void CMainFrame::UpdateRecentMenu() {
  recentMenu_->clear();
  const QStringList recent = doc_.Recent();
  for (int i = 0; i < recent.size(); ++i) {
    QAction* a = recentMenu_->addAction(QString("&%1 %2").arg(i + 1).arg(recent[i]));
    a->setStatusTip("Open this document");
    const QString path = recent[i];
    connect(a, &QAction::triggered, this, [this, path] { OpenProfile(path); });
  }
  recentMenu_->setEnabled(!recent.isEmpty());
}

void CMainFrame::OpenProfile(const QString& path) {
  if (doc_.Open(path)) {
    UpdateTitle();
    UpdateRecentMenu();
  }
}

void CMainFrame::UpdateTitle() {
  const QString doc = doc_.Title();
  setWindowTitle(doc + (doc.isEmpty() ? "" : " - ") + kFrameTitle);
  caption_->SetTitles(QString(kFrameTitle).trimmed(), doc);
}

void CMainFrame::OnAbout() {
  if (view_->IsBusy()) return;
  CAboutSheet sheet(this);
  sheet.exec();
}

CCaptionPainter* CMainFrame::Caption() const { return painted_ ? caption_ : nullptr; }

void CMainFrame::ApplyCaptionChoice() {
  const bool painted = view_->Settings().m_bSystemCaption == 0 && CCaptionPainter::PlatformAllows();
  if (painted == painted_ && caption_->isVisible() == painted) return;
  const bool shown = isVisible();
  painted_ = painted;
  // Changing the window's flags takes it off the screen; it comes back as it was.
  setWindowFlag(Qt::FramelessWindowHint, painted);
  caption_->setVisible(painted);
  PlaceCaption();
  if (shown) show();
}

// The painted caption sits at the top inside a thin sizing border; the window's
// own layout keeps clear of both.
void CMainFrame::PlaceCaption() {
  if (!painted_) {
    setContentsMargins(0, 0, 0, 0);
    return;
  }
  const int b = isMaximized() || isFullScreen() ? 0 : 4;
  const int h = caption_->CaptionHeight();
  setContentsMargins(b, b + h, b, b);
  caption_->setGeometry(b, b, width() - 2 * b, h);
  caption_->raise();
}

Qt::Edges CMainFrame::EdgesAt(const QPoint& p) const {
  Qt::Edges edges;
  if (!painted_ || isMaximized()) return edges;
  const int grip = 6;
  if (p.x() < grip) edges |= Qt::LeftEdge;
  if (p.x() >= width() - grip) edges |= Qt::RightEdge;
  if (p.y() < grip) edges |= Qt::TopEdge;
  if (p.y() >= height() - grip) edges |= Qt::BottomEdge;
  return edges;
}

void CMainFrame::mousePressEvent(QMouseEvent* e) {
  const Qt::Edges edges = EdgesAt(e->position().toPoint());
  if (e->button() == Qt::LeftButton && edges && windowHandle() && windowHandle()->startSystemResize(edges)) return;
  QMainWindow::mousePressEvent(e);
}

void CMainFrame::mouseMoveEvent(QMouseEvent* e) {
  const Qt::Edges edges = EdgesAt(e->position().toPoint());
  if ((edges & (Qt::LeftEdge | Qt::TopEdge)) == (Qt::LeftEdge | Qt::TopEdge) ||
      (edges & (Qt::RightEdge | Qt::BottomEdge)) == (Qt::RightEdge | Qt::BottomEdge))
    setCursor(Qt::SizeFDiagCursor);
  else if ((edges & (Qt::RightEdge | Qt::TopEdge)) == (Qt::RightEdge | Qt::TopEdge) ||
           (edges & (Qt::LeftEdge | Qt::BottomEdge)) == (Qt::LeftEdge | Qt::BottomEdge))
    setCursor(Qt::SizeBDiagCursor);
  else if (edges & (Qt::LeftEdge | Qt::RightEdge))
    setCursor(Qt::SizeHorCursor);
  else if (edges & (Qt::TopEdge | Qt::BottomEdge))
    setCursor(Qt::SizeVerCursor);
  else
    unsetCursor();
  QMainWindow::mouseMoveEvent(e);
}

void CMainFrame::paintEvent(QPaintEvent* e) {
  QMainWindow::paintEvent(e);
  if (!painted_ || isMaximized()) return;
  // The sizing border, drawn as a raised window edge.
  QPainter p(this);
  p.setPen(palette().color(QPalette::Dark));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.setPen(palette().color(QPalette::Light));
  p.drawRect(rect().adjusted(1, 1, -2, -2));
}

void CMainFrame::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() == QEvent::ActivationChange) caption_->update();
  if (e->type() == QEvent::WindowStateChange) {
    PlaceCaption();
    QEvent forward(QEvent::WindowStateChange);
    QApplication::sendEvent(caption_, &forward);
  }
}

void CMainFrame::RefreshUi() {
  compare_->setEnabled(view_->CanCompare());
  stop_->setEnabled(view_->CanStop());
  sync_->setEnabled(view_->CanSynchronize());
  connect_->setEnabled(view_->CanConnect());
  const bool idle = !view_->IsBusy();
  options_->setEnabled(idle);
  browseRemote_->setEnabled(view_->CanBrowseRemote());
  web_->setEnabled(idle);
  about_->setEnabled(idle);
  disconnect_->setEnabled(view_->CanDisconnect());
  fileMenus_->Refresh();
  panes_[0]->setText(view_->LocalPaneText());
  panes_[1]->setText(view_->ConnectionPaneText());
  panes_[2]->setText(view_->ServerTimePaneText());
  panes_[2]->setToolTip(PlainTip(view_->ServerTimeNotice()));
  panes_[3]->setText(view_->RemotePaneText());
  DivideStatusBar();
}

bool CMainFrame::event(QEvent* e) {
  MarkTakenOver(e);
  if (const auto* m = EventAs<BusyChangedEvent>(e)) {
    busy_ = m->busy;
    return true;
  }
  return QMainWindow::event(e);
}

void CMainFrame::closeEvent(QCloseEvent* e) {
  if (busy_ || view_->IsBusy()) {
    QMessageBox::warning(this, "Twinbay", "Twinbay is busy");
    e->ignore();
    return;
  }
  SavePlacement();
  e->accept();
}

void CMainFrame::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!placed_) {
    placed_ = true;
    RestorePlacement();
  }
}

void CMainFrame::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  PlaceCaption();
  DivideStatusBar();
}

void CMainFrame::DivideStatusBar() {
  // The connection and server-time panes fit what they show (in the
  // window's font); the two count panes share the rest, each at least as
  // wide as its text while there is room, leaving some for messages.
  auto fit = [this](int i, const QString& text) {
    const QMargins m = panes_[i]->contentsMargins();
    return panes_[i]->fontMetrics().horizontalAdvance(text) + m.left() + m.right() + 2 * panes_[i]->margin() + 8;
  };
  const QString blank = panes_[2]->text().trimmed();
  int w[4];
  w[1] = std::max({fit(1, "Not connected"), fit(1, "Connected (encrypted)"), fit(1, panes_[1]->text())});
  w[2] = blank.isEmpty() ? 12 : fit(2, panes_[2]->text());
  const int rest = std::max(width() - w[1] - w[2] - 16, 0);
  for (int i : {0, 3}) w[i] = std::clamp(fit(i, panes_[i]->text()), rest * 2 / 5, std::max(rest / 2, 0));
  for (int i = 0; i < 4; ++i) panes_[i]->setFixedWidth(w[i]);
}

void CMainFrame::SavePlacement() {
  CRegistryKey k;
  k.Open(QString(kBaseKey) + "\\Window");
  const QRect r = normalGeometry().isValid() ? normalGeometry() : geometry();
  k.SetDword("top", static_cast<quint32>(r.top()));
  k.SetDword("right", static_cast<quint32>(r.right() + 1));
  k.SetDword("left", static_cast<quint32>(r.left()));
  k.SetDword("bottom", static_cast<quint32>(r.bottom() + 1));
  k.SetDword("show", isMaximized() ? 3 : isMinimized() ? 2 : 1);
  k.SetDword("flags", 0);
  k.Open(QString(kBaseKey) + "\\Window\\Toolbar");
  k.SetString("State", QString::fromLatin1(saveState().toBase64()));
  k.Sync();
}

void CMainFrame::RestorePlacement() {
  CRegistryKey k;
  k.Open(QString(kBaseKey) + "\\Window");
  const int top = static_cast<int>(k.GetDword("top", 0)), right = static_cast<int>(k.GetDword("right", 0));
  const int left = static_cast<int>(k.GetDword("left", 0)), bottom = static_cast<int>(k.GetDword("bottom", 0));
  if (bottom != top && right > left) {
    setGeometry(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)));
    if (k.GetDword("show", 1) == 3) showMaximized();
  }
  k.Open(QString(kBaseKey) + "\\Window\\Toolbar");
  const QString state = k.GetString("State");
  if (!state.isEmpty()) restoreState(QByteArray::fromBase64(state.toLatin1()));
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* e) {
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile() && u.toLocalFile().endsWith(".twy", Qt::CaseInsensitive)) {
      OpenProfile(u.toLocalFile());
      e->acceptProposedAction();
      return;
    }
}

}  // namespace twinbay
