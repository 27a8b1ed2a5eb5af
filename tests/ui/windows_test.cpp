// The program's secondary windows against a real FTP server, offscreen: the
// remote folder browser, the Options sheet, the About sheet and its links, the
// painted caption and the command pictures.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QFileSystemModel>
#include <QToolBar>
#include <filesystem>
#include <set>

#include "gui_fixture.h"
#include "core/connections.h"
#include "widgets/history_combo.h"
#include "shell/main_frame.h"
#include "ui/dialogs/options_sheet.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/icons.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"
#include "ui/dialogs/about_pages.h"
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
using test::TempDir;
using test::WaitFor;

const int64_t T0 = test::UnixTime(2026, 2, 3, 4, 5, 6);

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
  void StartConnected() {
    Start();
    Connect();
    ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
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
};

// ---- Browse for Remote Folder ------------------------------------------------------

TEST_F(Windows, RemoteBrowserListsEachFolderOnceOnFirstExpansionAndShowsRefusals) {
  test::WriteFile(serverRoot / "pub/incoming/deep/f.txt", "x", T0);
  test::WriteFile(serverRoot / "with space/f.txt", "x", T0);
  test::WriteFile(serverRoot / "gone/f.txt", "x", T0);
  test::WriteFile(serverRoot / "top.txt", "x", T0);
  StartServer();
  CFolderCollection collection;
  CSyncController controller(collection);
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(server->Target(), failure)) << failure.message;

  CRemoteFolderDlg dlg(controller);
  dlg.show();
  QTreeWidgetItem* root = dlg.Tree()->topLevelItem(0);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text(0), "/");
  EXPECT_EQ(dlg.windowTitle(), "Select path on 127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; }));
  EXPECT_EQ(dlg.ListingsMade(), 1);
  EXPECT_EQ(Children(root), (QStringList{"gone", "pub", "site", "with space"}));  // folders only
  EXPECT_TRUE(root->isExpanded());
  EXPECT_EQ(dlg.PathLabel()->Text(), "/");
  EXPECT_TRUE(dlg.ChosenPath().isEmpty());

  // A child is listed when it is first expanded, and only then.
  QTreeWidgetItem* pub = Child(root, "pub");
  EXPECT_EQ(pub->childCount(), 0);
  EXPECT_EQ(pub->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_EQ(dlg.ListingsMade(), 1);
  pub->setExpanded(true);
  ASSERT_TRUE(WaitFor([&] { return CRemoteFolderDlg::ItemState(pub) == CRemoteFolderDlg::Loaded; }));
  EXPECT_EQ(dlg.ListingsMade(), 2);
  EXPECT_EQ(Children(pub), QStringList{"incoming"});
  pub->setExpanded(false);
  pub->setExpanded(true);
  QApplication::processEvents();
  EXPECT_FALSE(dlg.IsListing());
  EXPECT_EQ(dlg.ListingsMade(), 2);  // not listed again

  // Selecting two levels down gives /a/b; a folder without sub-folders loses its button.
  QTreeWidgetItem* incoming = Child(pub, "incoming");
  dlg.Tree()->setCurrentItem(incoming);
  EXPECT_EQ(dlg.ChosenPath(), "/pub/incoming");
  EXPECT_EQ(dlg.PathLabel()->Text(), "/pub/incoming");
  QTreeWidgetItem* space = Child(root, "with space");
  space->setExpanded(true);
  ASSERT_TRUE(WaitFor([&] { return CRemoteFolderDlg::ItemState(space) == CRemoteFolderDlg::Loaded; }));
  EXPECT_EQ(dlg.ListingsMade(), 3);
  EXPECT_EQ(space->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
  dlg.Tree()->setCurrentItem(space);
  EXPECT_EQ(dlg.ChosenPath(), "/with space");

  // A folder the server refuses to list is marked and the reason shown; it is
  // not taken for an empty folder.
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

TEST_F(Windows, RemoteBrowserFromTheViewFillsTheComboOnOkAndChangesNothingOnCancel) {
  test::WriteFile(serverRoot / "site/docs/a.txt", "x", T0);
  StartConnected();
  CTwinbayView* view = frame->View();
  ASSERT_TRUE(view->BrowseRemoteButton()->isEnabled());
  view->RemoteCombo()->setEditText("/before");

  // Cancel after choosing a folder changes nothing.
  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; });
    dlg->Tree()->setCurrentItem(Child(root, "site"));
    dlg->reject();
  });
  view->BrowseRemoteButton()->click();
  ASSERT_TRUE(test::WaitForServer(*view));
  EXPECT_EQ(view->RemoteCombo()->currentText(), "/before");

  // OK puts the chosen path into the remote path box.
  bool listedTwice = false;
  OnModal("RemoteFolderDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CRemoteFolderDlg*>(w);
    QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
    WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; });
    QTreeWidgetItem* site = Child(root, "site");
    site->setExpanded(true);
    WaitFor([&] { return CRemoteFolderDlg::ItemState(site) == CRemoteFolderDlg::Loaded; });
    listedTwice = dlg->ListingsMade() == 2;
    dlg->Tree()->setCurrentItem(Child(site, "docs"));
    dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  view->OnBrowseRemote();
  ASSERT_TRUE(test::WaitForServer(*view));
  EXPECT_TRUE(listedTwice);
  EXPECT_EQ(view->RemoteCombo()->currentText(), "/site/docs");
  // The session is whole again for the next compare.
  view->OnCompare();
  ASSERT_TRUE(WaitFor([&] { return !view->IsBusy(); }));
}

// A double-click on a folder in the local folder picker chooses it.
TEST_F(Windows, TheLocalFolderPickerAcceptsADoubleClickedFolder) {
  std::filesystem::create_directories(local / "pick");
  frame = std::make_unique<CMainFrame>(QString::fromStdString(home / "connections.ftp"));
  frame->View()->LocalCombo()->setEditText(QString::fromStdString(local.path()));
  const QString pick = QString::fromStdString(local / "pick");
  OnModal("FolderPicker", [&](QWidget* w) {
    auto* view = w->findChild<QAbstractItemView*>("treeView");  // the detail view, the one shown
    auto* model = w->findChild<QFileSystemModel*>();
    WaitFor([&] { return !view->visualRect(model->index(pick)).isEmpty(); }, 5000);
    emit view->doubleClicked(model->index(pick));
    if (w->isVisible()) static_cast<QDialog*>(w)->reject();
  });
  frame->View()->OnBrowseLocal();
  EXPECT_EQ(frame->View()->LocalCombo()->currentText().toStdString(), local / "pick");
}

// ---- Options ------------------------------------------------------------------------

TEST_F(Windows, OptionsEditACopyCancelKeepsEverythingOkWritesBackAndRepaintsTheList) {
  test::WriteFile(local / "a.html", "new", T0 + 100);
  test::WriteFile(serverRoot / "site/a.html", "old", T0);
  test::WriteFile(local / "b.html", "old", T0);
  test::WriteFile(serverRoot / "site/b.html", "new", T0 + 100);
  StartConnected();
  CTwinbayView* view = frame->View();
  view->OnCompare();
  ASSERT_TRUE(WaitFor([&] { return !view->IsBusy(); }));
  view->Tree()->setCurrentItem(view->Tree()->topLevelItem(0));
  FileListModel* m = view->List()->Model();
  ASSERT_TRUE(WaitFor([&] { return m->rowCount() == 2; }));
  const QColor stripe(192, 220, 192);
  ASSERT_EQ(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);

  const CSettings before = view->Settings();
  const char* boxes[] = {"compareAlert", "ignoreSeconds", "suppressTagging", "suppressStripes", "systemCaption",
                         "transferAlert", "setTimestamps"};
  QStringList tabs;
  int openedOn = -1;
  OnModal("OptionsSheet", [&](QWidget* w) {
    auto* sheet = static_cast<COptionsSheet*>(w);
    openedOn = sheet->Tabs()->currentIndex();
    for (int i = 0; i < sheet->Tabs()->count(); ++i) tabs << sheet->Tabs()->tabText(i);
    // Every box on every page is turned over, ending on the last page.
    for (int page = 0; page < 3; ++page) {
      sheet->Tabs()->setCurrentIndex(page);
      for (const char* name : boxes)
        if (auto* b = sheet->Tabs()->widget(page)->findChild<QCheckBox*>(name)) b->toggle();
    }
    sheet->findChild<QSpinBox*>("connections")->setValue(3);
    sheet->reject();
  });
  view->OnOptions();
  EXPECT_EQ(openedOn, 0);
  EXPECT_EQ(tabs, (QStringList{"Compare", "Display", "Transfer"}));
  const CSettings& now = view->Settings();
  EXPECT_EQ(now.m_bCompareAlert, before.m_bCompareAlert);
  EXPECT_EQ(now.m_bIgnoreSeconds, before.m_bIgnoreSeconds);
  EXPECT_EQ(now.m_bSuppressTagging, before.m_bSuppressTagging);
  EXPECT_EQ(now.m_bSuppressStripedList, before.m_bSuppressStripedList);
  EXPECT_EQ(now.m_bSystemCaption, before.m_bSystemCaption);
  EXPECT_EQ(now.m_bTransferAlert, before.m_bTransferAlert);
  EXPECT_EQ(now.m_bSetLocalTimestamps, before.m_bSetLocalTimestamps);
  EXPECT_EQ(now.m_nConnections, before.m_nConnections);
  EXPECT_EQ(before.m_nConnections, 8u);

  // OK writes back; the list loses its stripes at once.
  int paints = 0;
  struct PaintCounter : QObject {
    int* n;
    explicit PaintCounter(int* count) : n(count) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*n;
      return false;
    }
  } counter(&paints);
  QApplication::processEvents();
  view->List()->viewport()->installEventFilter(&counter);
  QCheckBox* texts[4] = {};
  OnModal("OptionsSheet", [&](QWidget* w) {
    auto* sheet = static_cast<COptionsSheet*>(w);
    openedOn = sheet->Tabs()->currentIndex();
    texts[0] = sheet->findChild<QCheckBox*>("ignoreSeconds");
    EXPECT_EQ(texts[0]->text(), "Ignore seconds when comparing timestamps");
    EXPECT_EQ(sheet->findChild<QCheckBox*>("suppressStripes")->text(), "Suppress striped list");
    EXPECT_EQ(sheet->findChild<QCheckBox*>("setTimestamps")->text(), "Set Local timestamps to Remote after transfer");
    sheet->findChild<QCheckBox*>("suppressStripes")->setChecked(true);
    sheet->findChild<QCheckBox*>("transferAlert")->setChecked(true);
    sheet->findChild<QCheckBox*>("ignoreSeconds")->setChecked(false);
    auto* connections = sheet->findChild<QSpinBox*>("connections");
    EXPECT_EQ(connections->minimum(), 1);
    EXPECT_EQ(connections->maximum(), 16);
    connections->setValue(3);
    sheet->Tabs()->setCurrentIndex(2);
    sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  view->OnOptions();
  EXPECT_EQ(openedOn, 0);  // always on Compare
  EXPECT_EQ(view->Settings().m_bSuppressStripedList, 1u);
  EXPECT_EQ(view->Settings().m_bTransferAlert, 1u);
  EXPECT_EQ(view->Settings().m_bIgnoreSeconds, 0u);
  EXPECT_EQ(view->Settings().m_nConnections, 3u);
  EXPECT_EQ(view->Settings().m_bCompareAlert, before.m_bCompareAlert);
  ASSERT_TRUE(WaitFor([&] { return paints > 0; }, 3000));
  EXPECT_NE(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), stripe);
  view->List()->viewport()->removeEventFilter(&counter);
}

TEST_F(Windows, TheSystemCaptionSettingTakesEffectFromTheOptionsSheet) {
  MakeFrame();
  ASSERT_NE(frame->Caption(), nullptr);
  EXPECT_TRUE(frame->windowFlags() & Qt::FramelessWindowHint);
  OnModal("OptionsSheet", [&](QWidget* w) {
    w->findChild<QCheckBox*>("systemCaption")->setChecked(true);
    static_cast<QDialog*>(w)->accept();
  });
  frame->findChild<QAction*>("optionsCommand")->trigger();
  EXPECT_EQ(frame->Caption(), nullptr);
  EXPECT_FALSE(frame->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(frame->isVisible());
  EXPECT_EQ(frame->contentsMargins(), QMargins());
}

// ---- Hyperlink, About and the web site ---------------------------------------------------

TEST_F(Windows, HyperlinkOpensThroughTheDesktopHandlerAndTurnsVisited) {
  QWidget host;
  auto* link = new CHyperLink("Kestrion", "https://kestrion.example/", &host);
  auto* plain = new CHyperLink("", "https://shown.example/", &host);
  auto* self = new CHyperLink("https://self.example/", "", &host);
  host.show();
  EXPECT_EQ(plain->text(), "https://shown.example/");
  EXPECT_EQ(self->Url(), "https://self.example/");
  EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(link->toolTip(), "https://kestrion.example/");
  EXPECT_TRUE(link->font().underline());
  EXPECT_EQ(link->CurrentColour(), CHyperLink::kUnvisited);

  auto click = [&](QPoint press, QPoint release) {
    QMouseEvent down(QEvent::MouseButtonPress, press, link->mapToGlobal(press), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(link, &down);
    QMouseEvent up(QEvent::MouseButtonRelease, release, link->mapToGlobal(release), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &up);
  };
  // Pressing, dragging off and releasing outside opens nothing.
  click(QPoint(2, 2), QPoint(link->width() + 30, 2));
  EXPECT_TRUE(recorder.opened.isEmpty());
  EXPECT_FALSE(link->Visited());
  // A click opens it on release; it is then drawn purple.
  click(QPoint(2, 2), QPoint(3, 3));
  ASSERT_EQ(recorder.opened.size(), 1);
  EXPECT_EQ(recorder.opened[0], QUrl("https://kestrion.example/"));
  EXPECT_TRUE(link->Visited());
  QFocusEvent out(QEvent::FocusOut);
  QApplication::sendEvent(link, &out);
  EXPECT_EQ(link->CurrentColour(), CHyperLink::kVisited);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), CHyperLink::kVisited);

  // With the keyboard focus it is teal; the space bar opens it.
  QFocusEvent in(QEvent::FocusIn);
  QApplication::sendEvent(plain, &in);
  EXPECT_EQ(plain->CurrentColour(), CHyperLink::kFocus);
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(plain, &space);
  ASSERT_EQ(recorder.opened.size(), 2);
  EXPECT_EQ(recorder.opened[1], QUrl("https://shown.example/"));
}

TEST_F(Windows, AFailedOpenExplainsItselfAndLeavesTheLinkUnvisited) {
  EXPECT_EQ(CHyperLink::ErrorText(31), "There is no application associated\nwith the given filename extension.");
  EXPECT_EQ(CHyperLink::ErrorText(26), "A sharing violation occurred. ");
  EXPECT_EQ(CHyperLink::ErrorText(99), "Unknown Error (99) occurred.");
  QDesktopServices::unsetUrlHandler("file");
  CHyperLink missing("missing", QUrl::fromLocalFile(QString::fromStdString(home / "no-such.htm")).toString());
  QString said;
  auto seen = OnModal("LinkError", [&](QWidget* w) {
    said = static_cast<QMessageBox*>(w)->text();
    static_cast<QMessageBox*>(w)->accept();
  });
  EXPECT_FALSE(missing.Open());
  EXPECT_TRUE(*seen);
  EXPECT_EQ(said, "Can't open link:\n\nThe specified file was not found.");
  EXPECT_FALSE(missing.Visited());
  // A handler that cannot take the address is a failure too, not a success.
  QDesktopServices::setUrlHandler("https", &recorder, "NoSuchSlot");
  CHyperLink refused("refused", "https://refused.example/");
  seen = OnModal("LinkError", [&](QWidget* w) {
    said = static_cast<QMessageBox*>(w)->text();
    static_cast<QMessageBox*>(w)->accept();
  });
  EXPECT_FALSE(refused.Open());
  EXPECT_EQ(said, "Can't open link:\n\n" + CHyperLink::ErrorText(31));
  EXPECT_FALSE(refused.Visited());
}

TEST_F(Windows, TheAboutSheetsLinksOpenAndItHasOnlyAnOkButton) {
  CAboutSheet sheet;
  sheet.show();
  const auto buttons = sheet.findChildren<QPushButton*>();
  ASSERT_EQ(buttons.size(), 1);
  EXPECT_EQ(buttons[0]->text().remove('&'), "OK");
  // The company name opens the maker's page (here a page that exists) and turns purple.
  test::WriteFile(home / "index.htm", "<html></html>", T0);
  const QString page = QUrl::fromLocalFile(QString::fromStdString(home / "index.htm")).toString();
  sheet.About()->CompanyLink()->SetUrl(page);
  EXPECT_TRUE(sheet.About()->CompanyLink()->Open());
  ASSERT_EQ(recorder.opened.size(), 1);
  EXPECT_EQ(recorder.opened[0], QUrl(page));
  EXPECT_TRUE(sheet.About()->CompanyLink()->Visited());
  EXPECT_TRUE(sheet.Support()->MailLink()->Open());
  EXPECT_EQ(recorder.opened.value(1), QUrl("mailto:" + SupportEmail()));
}

TEST_F(Windows, TheWebSiteCommandAsksFirstAndOpensOnlyOnYes) {
  MakeFrame();
  QAction* web = frame->findChild<QAction*>("webCommand");
  ASSERT_NE(web, nullptr);
  OnModal("WebSiteQuestion", [&](QWidget* w) { static_cast<QMessageBox*>(w)->button(QMessageBox::No)->click(); });
  web->trigger();
  EXPECT_TRUE(recorder.opened.isEmpty());
  OnModal("WebSiteQuestion", [&](QWidget* w) { static_cast<QMessageBox*>(w)->button(QMessageBox::Yes)->click(); });
  web->trigger();
  ASSERT_EQ(recorder.opened.size(), 1);
  EXPECT_EQ(recorder.opened[0], QUrl(MakerUrl()));
}

// ---- Caption and pictures ------------------------------------------------------------

TEST_F(Windows, ThePaintedCaptionShowsTheGradientTitlesAndWorkingButtons) {
  frame = std::make_unique<CMainFrame>(QString::fromStdString(home / "connections.ftp"));
  frame->resize(700, 400);
  frame->show();
  CCaptionPainter* caption = frame->Caption();
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->FrameTitle(), "Twinbay 1.07");
  EXPECT_EQ(frame->windowTitle(), "  - Twinbay 1.07 ");
  // The program's layout keeps clear of the caption.
  EXPECT_GE(frame->menuBar()->geometry().top(), caption->geometry().bottom());

  const QColor col = caption->palette().color(QPalette::Active, QPalette::Highlight);
  const QImage active = caption->Picture(QSize(600, 22), true);
  EXPECT_EQ(QColor(active.pixel(0, 11)), QColor(Qt::black));
  EXPECT_EQ(QColor(active.pixel(560, 11)).rgb(), col.rgb());
  // The gradient rises from black towards the caption colour.
  const QColor mid(active.pixel(250, 11));
  EXPECT_LT(mid.red() + mid.green() + mid.blue(), col.red() + col.green() + col.blue());
  EXPECT_GT(QColor(active.pixel(400, 11)).blue(), QColor(active.pixel(150, 11)).blue());
  const QImage inactive = caption->Picture(QSize(600, 22), false);
  EXPECT_EQ(inactive.pixel(0, 0), inactive.pixel(599, 21));
  EXPECT_NE(inactive.pixel(30, 20), active.pixel(30, 20));
  EXPECT_EQ(CCaptionPainter::Lightness(QColor(0, 0, 0)), 0);
  EXPECT_EQ(CCaptionPainter::Lightness(QColor(255, 255, 255)), 240);

  // Dragging the caption moves the window (here by our own move: the offscreen
  // platform has no window system to hand the move to).
  const QPoint start = frame->pos();
  const QPoint grip(60, caption->height() / 2);
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

TEST_F(Windows, EveryCommandHasADistinctReadablePicture) {
  frame = std::make_unique<CMainFrame>(QString::fromStdString(home / "connections.ftp"));
  auto image = [](const QIcon& icon, int size, qreal dpr = 1.0) { return icon.pixmap(QSize(size, size), dpr).toImage(); };
  auto inked = [](const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 0;
    return n;
  };
  std::set<QString> names;
  QList<QAction*> commands;
  for (QAction* menu : frame->menuBar()->actions())
    for (QAction* a : menu->menu()->actions()) {
      if (!a->isSeparator()) commands << a;
    }
  ASSERT_GT(commands.size(), 30);
  QList<QImage> seen;
  for (QAction* a : commands) {
    SCOPED_TRACE(a->text().toStdString());
    ASSERT_FALSE(a->icon().isNull());
    const QImage small = image(a->icon(), 16), large = image(a->icon(), 32), dense = image(a->icon(), 16, 2.0);
    EXPECT_EQ(small.size(), QSize(16, 16));
    EXPECT_EQ(large.size(), QSize(32, 32));
    EXPECT_EQ(dense.size(), QSize(32, 32));  // drawn for the denser screen, not scaled up
    EXPECT_GT(inked(small), 20);
    EXPECT_GT(inked(large), 80);
    for (const QImage& other : seen) EXPECT_NE(small, other);
    seen << small;
  }
  for (QAction* a : frame->ToolBar()->actions()) {
    if (!a->isSeparator()) {
      EXPECT_TRUE(commands.contains(a)) << a->text().toStdString();
    }
  }
  EXPECT_EQ(frame->windowIcon().pixmap(64, 64).size(), QSize(64, 64));
}

}  // namespace
}  // namespace twinbay

#include "windows_test.moc"
