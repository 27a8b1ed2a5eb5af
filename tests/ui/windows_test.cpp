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
#include <set>

#include "gui_fixture.h"
#include "ui/dialogs/about_pages.h"
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
  static bool Loaded(QTreeWidgetItem* item) {
    return WaitFor([&] { return CRemoteFolderDlg::ItemState(item) == CRemoteFolderDlg::Loaded; });
  }
};

// The remote folder browser lists a folder when first expanded and only then,
// shows a refusal as one (not as an empty folder); from the window, Cancel
// changes nothing and OK fills the remote path.
TEST_F(Windows, TheRemoteBrowserListsEachFolderOnceShowsRefusalsAndFillsThePathOnOkOnly) {
  for (const char* f : {"pub/incoming/deep/f.txt", "with space/f.txt", "gone/f.txt", "top.txt", "site/docs/a.txt"})
    test::WriteFile(serverRoot / f, "x", T0);
  Start();
  CFolderCollection collection;
  CSyncController controller(collection);
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(server->Target(), failure)) << failure.message;
  {
    CRemoteFolderDlg dlg(controller);
    dlg.show();
    QTreeWidgetItem* root = dlg.Tree()->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), "/");
    ASSERT_TRUE(Loaded(root));
    EXPECT_EQ(dlg.ListingsMade(), 1);
    EXPECT_EQ(Children(root), (QStringList{"gone", "pub", "site", "with space"}));  // folders only
    EXPECT_TRUE(root->isExpanded());
    EXPECT_TRUE(dlg.ChosenPath().isEmpty());
    QTreeWidgetItem* pub = Child(root, "pub");
    EXPECT_EQ(pub->childCount(), 0);
    EXPECT_EQ(pub->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    EXPECT_EQ(dlg.ListingsMade(), 1);
    pub->setExpanded(true);
    ASSERT_TRUE(Loaded(pub));
    EXPECT_EQ(dlg.ListingsMade(), 2);
    EXPECT_EQ(Children(pub), QStringList{"incoming"});
    pub->setExpanded(false);
    pub->setExpanded(true);
    QApplication::processEvents();
    EXPECT_FALSE(dlg.IsListing());
    EXPECT_EQ(dlg.ListingsMade(), 2);  // not listed again
    // Two levels down gives /a/b; a folder without sub-folders loses its button.
    dlg.Tree()->setCurrentItem(Child(pub, "incoming"));
    EXPECT_EQ(dlg.ChosenPath(), "/pub/incoming");
    EXPECT_EQ(dlg.PathLabel()->Text(), "/pub/incoming");
    QTreeWidgetItem* space = Child(root, "with space");
    space->setExpanded(true);
    ASSERT_TRUE(Loaded(space));
    EXPECT_EQ(space->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    dlg.Tree()->setCurrentItem(space);
    EXPECT_EQ(dlg.ChosenPath(), "/with space");
    // A folder the server refuses to list is marked and the reason shown.
    std::filesystem::remove_all(serverRoot / "gone");
    QTreeWidgetItem* gone = Child(root, "gone");
    EXPECT_FALSE(dlg.ErrorLine()->isVisibleTo(&dlg));
    gone->setExpanded(true);
    ASSERT_TRUE(WaitFor([&] { return CRemoteFolderDlg::ItemState(gone) == CRemoteFolderDlg::Failed; }));
    EXPECT_EQ(dlg.ListingsMade(), 4);
    EXPECT_TRUE(dlg.ErrorLine()->isVisibleTo(&dlg));
    EXPECT_TRUE(dlg.ErrorLine()->text().startsWith("/gone could not be listed: ")) << dlg.ErrorLine()->text().toStdString();
    EXPECT_FALSE(gone->toolTip(0).isEmpty());
    EXPECT_NE(gone->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    EXPECT_EQ(gone->childCount(), 0);
  }

  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  ASSERT_TRUE(View()->BrowseRemoteButton()->isEnabled());
  View()->RemoteCombo()->setEditText("/before");
  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    Loaded(root);
    dlg->Tree()->setCurrentItem(Child(root, "site"));
    dlg->reject();
  });
  View()->BrowseRemoteButton()->click();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_EQ(View()->RemoteCombo()->currentText(), "/before");
  bool listedTwice = false;
  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    Loaded(root);
    QTreeWidgetItem* site = Child(root, "site");
    site->setExpanded(true);
    Loaded(site);
    listedTwice = dlg->ListingsMade() == 2;
    dlg->Tree()->setCurrentItem(Child(site, "docs"));
    dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  View()->OnBrowseRemote();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_TRUE(listedTwice);
  EXPECT_EQ(View()->RemoteCombo()->currentText(), "/site/docs");
  View()->OnCompare();  // the session is whole again for the next compare
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
}

// A double-click on a folder in the local folder picker chooses it.
TEST_F(Windows, TheLocalFolderPickerAcceptsADoubleClickedFolder) {
  std::filesystem::create_directories(local / "pick");
  MakeFrame();
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
  EXPECT_EQ(View()->LocalCombo()->currentText().toStdString(), local / "pick");
}

// Options edit a copy: Cancel keeps everything, OK writes back, repaints the
// list at once and a system caption takes effect.
TEST_F(Windows, OptionsCancelKeepsEverythingOkWritesBackAndTakesEffect) {
  test::WriteFile(local / "a.html", "new", T0 + 100);
  test::WriteFile(serverRoot / "site/a.html", "old", T0);
  test::WriteFile(local / "b.html", "old", T0);
  test::WriteFile(serverRoot / "site/b.html", "new", T0 + 100);
  Start();
  ASSERT_NE(frame->Caption(), nullptr);
  EXPECT_TRUE(frame->windowFlags() & Qt::FramelessWindowHint);
  ConnectAndCompare();
  FileListModel* m = Model();
  ASSERT_TRUE(WaitFor([&] { return m->rowCount() == 2; }));
  const QColor stripe(192, 220, 192);
  ASSERT_EQ(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);

  const CSettings before = View()->Settings();
  int openedOn = -1;
  auto options = [&](const std::function<void(COptionsSheet*)>& act) {
    OnModal("OptionsSheet", [&, act](QWidget* w) {
      auto* sheet = static_cast<COptionsSheet*>(w);
      openedOn = sheet->Tabs()->currentIndex();
      act(sheet);
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
  const CSettings& now = View()->Settings();
  EXPECT_EQ(std::tie(now.m_bCompareAlert, now.m_bIgnoreSeconds, now.m_bSuppressTagging, now.m_bSuppressStripedList,
                     now.m_bSystemCaption, now.m_bTransferAlert, now.m_bSetLocalTimestamps, now.m_nConnections),
            std::tie(before.m_bCompareAlert, before.m_bIgnoreSeconds, before.m_bSuppressTagging, before.m_bSuppressStripedList,
                     before.m_bSystemCaption, before.m_bTransferAlert, before.m_bSetLocalTimestamps, before.m_nConnections));

  int paints = 0;
  struct PaintCounter : QObject {
    int* n;
    explicit PaintCounter(int* count) : n(count) {}
    bool eventFilter(QObject*, QEvent* e) override {
      *n += e->type() == QEvent::Paint;
      return false;
    }
  } counter(&paints);
  QApplication::processEvents();
  View()->List()->viewport()->installEventFilter(&counter);
  options([](COptionsSheet* sheet) {
    sheet->findChild<QCheckBox*>("suppressStripes")->setChecked(true);
    sheet->findChild<QCheckBox*>("transferAlert")->setChecked(true);
    sheet->findChild<QCheckBox*>("ignoreSeconds")->setChecked(false);
    auto* connections = sheet->findChild<QSpinBox*>("connections");
    EXPECT_EQ(std::tuple(connections->minimum(), connections->maximum()), std::tuple(1, 16));
    connections->setValue(3);
    sheet->Tabs()->setCurrentIndex(2);
    sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  EXPECT_EQ(openedOn, 0);  // always on the first page
  EXPECT_EQ(std::tuple(now.m_bSuppressStripedList, now.m_bTransferAlert, now.m_bIgnoreSeconds, now.m_nConnections),
            std::tuple(1u, 1u, 0u, 3u));
  EXPECT_EQ(now.m_bCompareAlert, before.m_bCompareAlert);
  ASSERT_TRUE(WaitFor([&] { return paints > 0; }, 3000));
  EXPECT_NE(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);
  View()->List()->viewport()->removeEventFilter(&counter);

  options([](COptionsSheet* sheet) {
    sheet->findChild<QCheckBox*>("systemCaption")->setChecked(true);
    sheet->accept();
  });
  EXPECT_EQ(frame->Caption(), nullptr);
  EXPECT_FALSE(frame->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(frame->isVisible());
  EXPECT_EQ(frame->contentsMargins(), QMargins());
}

// A link opens through the desktop's handler on a click released on it or on
// the space bar, and turns visited; a failed open is told and leaves it unvisited.
TEST_F(Windows, LinksOpenThroughTheDesktopHandlerAndAFailedOpenIsTold) {
  QWidget host;
  auto* link = new CHyperLink("Kestrion", "https://kestrion.example/", &host);
  auto* plain = new CHyperLink("", "https://shown.example/", &host);
  host.show();
  EXPECT_EQ(plain->text(), "https://shown.example/");
  EXPECT_EQ(link->CurrentColour(), CHyperLink::kUnvisited);
  auto click = [&](QPoint press, QPoint release) {
    QMouseEvent down(QEvent::MouseButtonPress, press, link->mapToGlobal(press), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(link, &down);
    QMouseEvent up(QEvent::MouseButtonRelease, release, link->mapToGlobal(release), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &up);
  };
  click(QPoint(2, 2), QPoint(link->width() + 30, 2));  // released outside: nothing
  EXPECT_TRUE(recorder.opened.isEmpty());
  EXPECT_FALSE(link->Visited());
  click(QPoint(2, 2), QPoint(3, 3));
  ASSERT_EQ(recorder.opened.size(), 1);
  EXPECT_EQ(recorder.opened[0], QUrl("https://kestrion.example/"));
  EXPECT_TRUE(link->Visited());
  QFocusEvent out(QEvent::FocusOut);
  QApplication::sendEvent(link, &out);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), CHyperLink::kVisited);
  QFocusEvent in(QEvent::FocusIn);
  QApplication::sendEvent(plain, &in);
  EXPECT_EQ(plain->CurrentColour(), CHyperLink::kFocus);
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(plain, &space);
  ASSERT_EQ(recorder.opened.size(), 2);
  EXPECT_EQ(recorder.opened[1], QUrl("https://shown.example/"));

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
}

// The About sheet's links open; the web site command asks first and opens only on Yes.
TEST_F(Windows, TheAboutLinksOpenAndTheWebSiteOnlyAfterYes) {
  {
    CAboutSheet sheet;
    sheet.show();
    test::WriteFile(home / "index.htm", "<html></html>", T0);
    const QString page = QUrl::fromLocalFile(QString::fromStdString(home / "index.htm")).toString();
    sheet.About()->CompanyLink()->SetUrl(page);
    EXPECT_TRUE(sheet.About()->CompanyLink()->Open());
    EXPECT_TRUE(sheet.About()->CompanyLink()->Visited());
    EXPECT_TRUE(sheet.Support()->MailLink()->Open());
    EXPECT_EQ(recorder.opened, (QList<QUrl>{QUrl(page), QUrl("mailto:" + SupportEmail())}));
    recorder.opened.clear();
  }
  MakeFrame();
  for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    OnModal("WebSiteQuestion", [&](QWidget* w) { static_cast<QMessageBox*>(w)->button(answer)->click(); });
    Command("webCommand")->trigger();
  }
  EXPECT_EQ(recorder.opened, QList<QUrl>{QUrl(MakerUrl())});
}

// The painted caption: a gradient from black to the caption colour, dimmer
// when inactive; the layout keeps clear of it; dragging moves the window and
// its buttons maximise, restore and close.
TEST_F(Windows, ThePaintedCaptionShowsTheGradientAndWorkingButtons) {
  MakeFrame();
  frame->resize(700, 400);
  CCaptionPainter* caption = frame->Caption();
  ASSERT_NE(caption, nullptr);
  EXPECT_GE(frame->menuBar()->geometry().top(), caption->geometry().bottom());
  const QColor col = caption->palette().color(QPalette::Active, QPalette::Highlight);
  const QImage active = caption->Picture(QSize(600, 22), true);
  EXPECT_EQ(QColor(active.pixel(0, 11)), QColor(Qt::black));
  EXPECT_EQ(QColor(active.pixel(560, 11)).rgb(), col.rgb());
  const QColor mid(active.pixel(250, 11));
  EXPECT_LT(mid.red() + mid.green() + mid.blue(), col.red() + col.green() + col.blue());
  EXPECT_GT(QColor(active.pixel(400, 11)).blue(), QColor(active.pixel(150, 11)).blue());
  const QImage inactive = caption->Picture(QSize(600, 22), false);
  EXPECT_EQ(inactive.pixel(0, 0), inactive.pixel(599, 21));
  EXPECT_NE(inactive.pixel(30, 20), active.pixel(30, 20));
  // Dragging moves the window (by our own move: offscreen has no window system).
  const QPoint start = frame->pos(), grip(60, caption->height() / 2);
  auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, at, caption->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(caption, &e);
  };
  mouse(QEvent::MouseButtonPress, grip, Qt::LeftButton);
  mouse(QEvent::MouseMove, grip + QPoint(30, 20), Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, grip + QPoint(30, 20), Qt::NoButton);
  EXPECT_EQ(frame->pos(), start + QPoint(30, 20));
  caption->Button(1)->click();
  ASSERT_TRUE(WaitFor([&] { return frame->isMaximized(); }, 3000));
  EXPECT_EQ(frame->contentsMargins().left(), 0);
  caption->Button(1)->click();
  ASSERT_TRUE(WaitFor([&] { return !frame->isMaximized(); }, 3000));
  caption->Button(2)->click();
  ASSERT_TRUE(WaitFor([&] { return !frame->isVisible(); }, 3000));
}

// Every menu command has its own picture, drawn (not scaled) at each size.
TEST_F(Windows, EveryCommandHasADistinctReadablePicture) {
  MakeFrame();
  auto image = [](const QIcon& icon, int size, qreal dpr = 1.0) { return icon.pixmap(QSize(size, size), dpr).toImage(); };
  auto inked = [](const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 0;
    return n;
  };
  QList<QAction*> commands;
  for (QAction* menu : frame->menuBar()->actions())
    for (QAction* a : menu->menu()->actions())
      if (!a->isSeparator()) commands << a;
  ASSERT_GT(commands.size(), 30);
  QList<QImage> seen;
  for (QAction* a : commands) {
    SCOPED_TRACE(a->text().toStdString());
    ASSERT_FALSE(a->icon().isNull());
    const QImage small = image(a->icon(), 16), large = image(a->icon(), 32), dense = image(a->icon(), 16, 2.0);
    EXPECT_EQ(std::tuple(small.size(), large.size(), dense.size()), std::tuple(QSize(16, 16), QSize(32, 32), QSize(32, 32)));
    EXPECT_GT(inked(small), 20);
    EXPECT_GT(inked(large), 80);
    EXPECT_FALSE(seen.contains(small));
    seen << small;
  }
  for (QAction* a : frame->ToolBar()->actions()) EXPECT_TRUE(a->isSeparator() || commands.contains(a)) << a->text().toStdString();
}

}  // namespace
}  // namespace twinbay

#include "windows_test.moc"
