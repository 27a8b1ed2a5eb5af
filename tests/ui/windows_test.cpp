// The program's secondary windows, offscreen: the remote folder browser, the
// local folder picker, the Options sheet, links, the About sheet, the painted
// caption and the command pictures.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolBar>

#include "gui_fixture.h"
#include "ui/dialogs/about_pages.h"  // MakerUrl
#include "ui/dialogs/options_sheet.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "widgets/caption_painter.h"
#include "widgets/hyperlink.h"
#include "widgets/path_label.h"

// Stands in for the desktop's URL handler: records what would have been opened.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened << url; }
};

namespace twinbay {
namespace {

using test::OnModal;
using test::T0;
using test::WaitFor;

struct Windows : test::GuiTest {
  UrlRecorder recorder;
  void SetUp() override {
    test::GuiTest::SetUp();
    for (const char* scheme : {"http", "https", "mailto", "file"}) QDesktopServices::setUrlHandler(scheme, &recorder, "Open");
  }
  void TearDown() override {
    test::GuiTest::TearDown();
    for (const char* scheme : {"http", "https", "mailto", "file"}) QDesktopServices::unsetUrlHandler(scheme);
  }
  static QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& name) {
    for (int i = 0; i < parent->childCount(); ++i)
      if (parent->child(i)->text(0) == name) return parent->child(i);
    return nullptr;
  }
  static QStringList Children(QTreeWidgetItem* parent) {
    QStringList out;
    for (int i = 0; i < parent->childCount(); ++i) out << parent->child(i)->text(0);
    return out;
  }
  static bool Loaded(QTreeWidgetItem* item, int state = CRemoteFolderDlg::Loaded) {
    return WaitFor([&] { return CRemoteFolderDlg::ItemState(item) == state; });
  }
  // Opens the remote folder browser from the window; `act` works it.
  void Browse(const std::function<void(CRemoteFolderDlg*, QTreeWidgetItem* root)>& act) {
    OnModal("RemoteFolderDialog", [&](QWidget* w) {
      auto* dlg = static_cast<CRemoteFolderDlg*>(w);
      Loaded(dlg->Tree()->topLevelItem(0));
      act(dlg, dlg->Tree()->topLevelItem(0));
    });
    View()->BrowseRemoteButton()->click();
    ASSERT_TRUE(test::WaitForServer(*View()));
  }
};

// The remote folder browser lists a folder when first expanded and only then,
// shows a refusal as one (not as an empty folder); from the window, Cancel
// changes nothing and OK fills the remote path. Options edit a copy: Cancel
// keeps everything, OK writes back, repaints the list at once and a system
// caption takes effect. A double-click in the local folder picker chooses.
TEST_F(Windows, RemoteBrowserOptionsAndLocalPickerOnAConnectedWindow) {
  for (const char* f : {"pub/incoming/deep/f.txt", "with space/f.txt", "gone/f.txt", "top.txt"})
    test::WriteFile(serverRoot / f, "x", T0);
  test::WriteFile(local / "a.html", "new", T0 + 100);
  test::WriteFile(serverRoot / "site/docs/a.html", "old", T0);
  test::WriteFile(local / "b.html", "old", T0);
  test::WriteFile(serverRoot / "site/docs/b.html", "new", T0 + 100);
  Start();
  CFolderCollection collection;
  CSyncController controller(collection);
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(server->Target(), failure)) << failure.message;
  {
    CRemoteFolderDlg dlg(controller);
    dlg.show();
    QTreeWidgetItem* root = dlg.Tree()->topLevelItem(0);
    ASSERT_TRUE(root && Loaded(root));
    EXPECT_EQ(dlg.ListingsMade(), 1);
    EXPECT_EQ(Children(root), (QStringList{"gone", "pub", "site", "with space"}));  // folders only
    EXPECT_TRUE(dlg.ChosenPath().isEmpty());
    QTreeWidgetItem* pub = Child(root, "pub");
    pub->setExpanded(true);
    ASSERT_TRUE(Loaded(pub));
    EXPECT_EQ(Children(pub), QStringList{"incoming"});
    pub->setExpanded(false);
    pub->setExpanded(true);
    QApplication::processEvents();
    EXPECT_FALSE(dlg.IsListing());
    EXPECT_EQ(dlg.ListingsMade(), 2);  // not listed again
    // Two levels down gives /a/b.
    dlg.Tree()->setCurrentItem(Child(pub, "incoming"));
    EXPECT_EQ(dlg.ChosenPath(), "/pub/incoming");
    EXPECT_EQ(dlg.PathLabel()->Text(), "/pub/incoming");
    dlg.Tree()->setCurrentItem(Child(root, "with space"));
    EXPECT_EQ(dlg.ChosenPath(), "/with space");
    // A folder the server refuses to list is marked and the reason shown.
    std::filesystem::remove_all(serverRoot / "gone");
    QTreeWidgetItem* gone = Child(root, "gone");
    gone->setExpanded(true);
    ASSERT_TRUE(Loaded(gone, CRemoteFolderDlg::Failed));
    EXPECT_EQ(dlg.ListingsMade(), 3);
    EXPECT_TRUE(dlg.ErrorLine()->isVisibleTo(&dlg));
    EXPECT_TRUE(dlg.ErrorLine()->text().startsWith("/gone could not be listed: ")) << dlg.ErrorLine()->text().toStdString();
    EXPECT_FALSE(gone->toolTip(0).isEmpty());
    EXPECT_NE(gone->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);  // not an empty folder
  }

  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  View()->RemoteCombo()->setEditText("/before");
  Browse([&](CRemoteFolderDlg* dlg, QTreeWidgetItem* root) {
    dlg->Tree()->setCurrentItem(Child(root, "site"));
    dlg->reject();
  });
  EXPECT_EQ(View()->RemoteCombo()->currentText(), "/before");
  bool listedTwice = false;
  Browse([&](CRemoteFolderDlg* dlg, QTreeWidgetItem* root) {
    QTreeWidgetItem* site = Child(root, "site");
    site->setExpanded(true);
    Loaded(site);
    listedTwice = dlg->ListingsMade() == 2;
    dlg->Tree()->setCurrentItem(Child(site, "docs"));
    dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  EXPECT_TRUE(listedTwice);
  EXPECT_EQ(View()->RemoteCombo()->currentText(), "/site/docs");

  Compare();  // the session is whole again for a compare, here of /site/docs
  FileListModel* m = Model();
  ASSERT_EQ(m->rowCount(), 2);
  const QColor stripe(192, 220, 192);
  ASSERT_EQ(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);
  const CSettings before = View()->Settings();
  const CSettings& now = View()->Settings();
  int openedOn = -1;
  auto options = [&](const std::function<void(COptionsSheet*)>& act) {
    OnModal("OptionsSheet", [&, act](QWidget* w) {
      openedOn = static_cast<COptionsSheet*>(w)->Tabs()->currentIndex();
      act(static_cast<COptionsSheet*>(w));
    });
    Command("optionsCommand")->trigger();
  };
  options([](COptionsSheet* sheet) {  // every box on every page turned over, then Cancel
    for (int page = 0; page < sheet->Tabs()->count(); ++page) {
      sheet->Tabs()->setCurrentIndex(page);
      for (QCheckBox* b : sheet->Tabs()->widget(page)->findChildren<QCheckBox*>()) b->toggle();
    }
    sheet->findChild<QSpinBox*>("connections")->setValue(3);
    sheet->reject();
  });
  EXPECT_EQ(openedOn, 0);
  EXPECT_EQ(std::tie(now.m_bCompareAlert, now.m_bIgnoreSeconds, now.m_bSuppressTagging, now.m_bSuppressStripedList,
                     now.m_bSystemCaption, now.m_bTransferAlert, now.m_bSetLocalTimestamps, now.m_nConnections),
            std::tie(before.m_bCompareAlert, before.m_bIgnoreSeconds, before.m_bSuppressTagging, before.m_bSuppressStripedList,
                     before.m_bSystemCaption, before.m_bTransferAlert, before.m_bSetLocalTimestamps, before.m_nConnections));
  options([](COptionsSheet* sheet) {
    sheet->findChild<QCheckBox*>("suppressStripes")->setChecked(true);
    sheet->findChild<QCheckBox*>("transferAlert")->setChecked(true);
    sheet->findChild<QCheckBox*>("ignoreSeconds")->setChecked(false);
    sheet->findChild<QSpinBox*>("connections")->setValue(3);
    sheet->Tabs()->setCurrentIndex(2);
    sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  EXPECT_EQ(openedOn, 0);  // always on the first page
  EXPECT_EQ(std::tuple(now.m_bSuppressStripedList, now.m_bTransferAlert, now.m_bIgnoreSeconds, now.m_nConnections),
            std::tuple(1u, 1u, 0u, 3u));
  EXPECT_EQ(now.m_bCompareAlert, before.m_bCompareAlert);
  EXPECT_NE(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);
  ASSERT_NE(frame->Caption(), nullptr);
  options([](COptionsSheet* sheet) {
    sheet->findChild<QCheckBox*>("systemCaption")->setChecked(true);
    sheet->accept();
  });
  EXPECT_EQ(frame->Caption(), nullptr);
  EXPECT_FALSE(frame->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(frame->isVisible());
  EXPECT_EQ(frame->contentsMargins(), QMargins());

  std::filesystem::create_directories(local / "pick");
  View()->LocalCombo()->setEditText(QString::fromStdString(local.path()));
  const QString pick = QString::fromStdString(local / "pick");
  OnModal("FolderPicker", [&](QWidget* w) {
    auto* view = w->findChild<QAbstractItemView*>("treeView");  // the detail view, the one shown
    auto* model = w->findChild<QFileSystemModel*>();
    WaitFor([&] { return !view->visualRect(model->index(pick)).isEmpty(); }, 5000);
    emit view->doubleClicked(model->index(pick));
    if (w->isVisible()) static_cast<QDialog*>(w)->reject();
  });
  View()->OnBrowseLocal();
  EXPECT_EQ(View()->LocalCombo()->currentText(), pick);
}

// A link opens through the desktop's handler on a click released on it or on
// the space bar (its own text when it has none) and turns visited; a failed
// open is told and leaves it unvisited. The web site opens only after Yes.
TEST_F(Windows, LinksOpenThroughTheDesktopHandlerAndAFailedOpenIsTold) {
  QWidget host;
  auto* link = new CHyperLink("Kestrion", "https://kestrion.example/", &host);
  auto* plain = new CHyperLink("", "https://shown.example/", &host);
  host.show();
  for (QPoint release : {QPoint(link->width() + 30, 2), QPoint(3, 3)}) {  // released outside, then on it
    QMouseEvent down(QEvent::MouseButtonPress, QPoint(2, 2), link->mapToGlobal(QPoint(2, 2)), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(link, &down);
    EXPECT_TRUE(recorder.opened.isEmpty());
    EXPECT_FALSE(link->Visited());
    QMouseEvent up(QEvent::MouseButtonRelease, release, link->mapToGlobal(release), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &up);
  }
  EXPECT_EQ(recorder.opened, QList<QUrl>{QUrl("https://kestrion.example/")});
  EXPECT_TRUE(link->Visited());
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(plain, &space);
  EXPECT_EQ(recorder.opened.value(1), QUrl("https://shown.example/"));

  QString said;
  auto tell = [&] {
    return OnModal("LinkError", [&](QWidget* w) {
      said = static_cast<QMessageBox*>(w)->text();
      static_cast<QMessageBox*>(w)->accept();
    });
  };
  QDesktopServices::unsetUrlHandler("file");
  CHyperLink missing("missing", QUrl::fromLocalFile(QString::fromStdString(home / "no-such.htm")).toString());
  auto seen = tell();
  EXPECT_FALSE(missing.Open());
  EXPECT_TRUE(*seen);
  EXPECT_EQ(said, "Can't open link:\n\nThe specified file was not found.");
  EXPECT_FALSE(missing.Visited());
  // A handler that cannot take the address is a failure too, not a success.
  QDesktopServices::setUrlHandler("https", &recorder, "NoSuchSlot");
  CHyperLink refused("refused", "https://refused.example/");
  seen = tell();
  EXPECT_FALSE(refused.Open());
  EXPECT_TRUE(*seen);
  EXPECT_FALSE(refused.Visited());

  for (const char* scheme : {"https", "file"}) QDesktopServices::setUrlHandler(scheme, &recorder, "Open");
  recorder.opened.clear();
  MakeFrame();
  for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    OnModal("WebSiteQuestion", [&](QWidget* w) { static_cast<QMessageBox*>(w)->button(answer)->click(); });
    Command("webCommand")->trigger();
  }
  EXPECT_EQ(recorder.opened, QList<QUrl>{QUrl(MakerUrl())});
}

// The painted caption: a gradient from black to the caption colour, another
// when inactive, the layout clear of it; dragging moves the window and its
// buttons maximise, restore and close. Every command has a picture of its own.
TEST_F(Windows, ThePaintedCaptionAndTheCommandPictures) {
  MakeFrame();
  CCaptionPainter* caption = frame->Caption();
  ASSERT_NE(caption, nullptr);
  EXPECT_GE(frame->menuBar()->geometry().top(), caption->geometry().bottom());
  const QImage active = caption->Picture(QSize(600, 22), true);
  EXPECT_EQ(QColor(active.pixel(0, 11)), QColor(Qt::black));
  EXPECT_EQ(QColor(active.pixel(560, 11)).rgb(), caption->palette().color(QPalette::Active, QPalette::Highlight).rgb());
  EXPECT_NE(caption->Picture(QSize(600, 22), false).pixel(30, 20), active.pixel(30, 20));
  // Dragging moves the window (by our own move: offscreen has no window system).
  const QPoint start = frame->pos(), grip(60, caption->height() / 2);
  for (auto [type, at, buttons] : {std::tuple{QEvent::MouseButtonPress, grip, Qt::MouseButtons(Qt::LeftButton)},
                                   {QEvent::MouseMove, grip + QPoint(30, 20), Qt::LeftButton},
                                   {QEvent::MouseButtonRelease, grip + QPoint(30, 20), Qt::NoButton}}) {
    QMouseEvent e(type, at, caption->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(caption, &e);
  }
  EXPECT_EQ(frame->pos(), start + QPoint(30, 20));
  caption->Button(1)->click();
  ASSERT_TRUE(WaitFor([&] { return frame->isMaximized(); }, 3000));
  EXPECT_EQ(frame->contentsMargins().left(), 0);
  caption->Button(1)->click();
  ASSERT_TRUE(WaitFor([&] { return !frame->isMaximized(); }, 3000));

  QList<QAction*> commands;
  for (QAction* menu : frame->menuBar()->actions())
    for (QAction* a : menu->menu()->actions())
      if (!a->isSeparator()) commands << a;
  ASSERT_GT(commands.size(), 30);
  QList<QImage> seen;
  for (QAction* a : commands) {
    const QImage small = a->icon().pixmap(QSize(16, 16)).toImage();
    EXPECT_EQ(a->icon().pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32)) << a->text().toStdString();  // for denser screens
    EXPECT_FALSE(small.isNull() || seen.contains(small)) << a->text().toStdString();
    seen << small;
  }
  for (QAction* a : frame->ToolBar()->actions()) EXPECT_TRUE(a->isSeparator() || commands.contains(a)) << a->text().toStdString();
  caption->Button(2)->click();
  ASSERT_TRUE(WaitFor([&] { return !frame->isVisible(); }, 3000));
}

}  // namespace
}  // namespace twinbay

#include "windows_test.moc"
