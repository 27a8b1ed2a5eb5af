// The window as a user sees it, offscreen: a start with a profile and a
// second start, what a drop puts in a path box,
// the painted caption at two pixel ratios, the divider and the settings over a
// restart, the remote browser's answer and the progress of parallel copies.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <future>

#include "gui_fixture.h"
#include "shell/single_copy.h"
#include "ui/dialogs/about_pages.h"
#include "ui/dialogs/connection_dlgs.h"
#include "ui/dialogs/remote_folder_dlg.h"
#include "ui/dialogs/sync_dlgs.h"
#include "widgets/caption_painter.h"
#include "widgets/history_combo.h"
#include "widgets/hyperlink.h"
#include "widgets/path_label.h"
#include "widgets/progress_meter.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::WaitFor;
using Window = test::GuiTest;

// Dropped on the local path box's edit field: a folder, as a URL or as text
// (a file: URL with its escapes, or a path), replaces the whole path; text,
// a file or a web address is refused and the path stays (the window may
// still take a dropped document).
TEST_F(Window, ADroppedFolderReplacesThePathAndNothingElseGoesIn) {
  MakeFrame();
  test::WriteFile(local / "My Site/index.html", "x", test::T0);
  const QString folder = QString::fromStdString(local / "My Site"), old = "/old/path";
  auto* box = frame->findChild<CHistoryComboBox*>("localPath");
  const std::tuple<bool, QString, bool> rows[] = {  // as a URL, what is dropped, taken
      {true, folder, true}, {false, QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded) + "\r\n", true},
      {false, folder, true}, {false, "some words", false}, {true, folder + "/index.html", false},
      {true, "https://x.example/", false}};
  for (const auto& [asUrl, what, taken] : rows) {
    box->setEditText(old);
    QMimeData data;
    asUrl ? data.setUrls({QUrl::fromUserInput(what)}) : data.setText(what);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(box->lineEdit(), &enter);
    QApplication::sendEvent(box->lineEdit(), &drop);
    EXPECT_TRUE(box->currentText() == (taken ? folder : old) && (enter.isAccepted() || !taken)) << what.toStdString();
  }
}

// A document opened names the caption; painted for a screen of twice the
// density, the title's place and size in logical pixels are those at ratio 1.
TEST_F(Window, TheCaptionKeepsItsSizeAtTwiceThePixelRatio) {
  MakeFrame();
  CCaptionPainter* caption = frame->Caption();
  ASSERT_NE(caption, nullptr);
  test::WriteFile(home / "site.twy", "", test::T0);
  frame->OpenProfile(QString::fromStdString(home / "site.twy"));  // as from the command line
  EXPECT_EQ(caption->DocumentTitle(), "site.twy");
  auto titleBox = [&](qreal ratio) {  // the white text's bounds, in logical pixels
    const QImage img = caption->Picture(QSize(500, caption->CaptionHeight()), true, ratio);
    QRectF box;
    for (int y = 0; y < img.height(); ++y)
      for (int x = static_cast<int>(caption->CaptionHeight() * ratio); x < img.width(); ++x)
        if (img.pixelColor(x, y).lightness() > 200) box |= QRectF(x / ratio, y / ratio, 1 / ratio, 1 / ratio);
    return box;
  };
  const QRectF one = titleBox(1), two = titleBox(2);
  ASSERT_GT(one.width(), 60);
  EXPECT_TRUE(std::abs(one.left() - two.left()) + std::abs(one.right() - two.right()) < 4 && std::abs(one.height() - two.height()) < 2)
      << one.width() << " vs " << two.width();
}

// A start with a profile opens the window titled by it, the profile first of
// the recent files; a later start opens no window and leaves that one as it is.
TEST_F(Window, AStartOpensItsProfileAndALaterOneLeavesItAlone) {
  const QString name = QString::fromStdString(home / "twinbay");
  CSingleCopy first(name), second(name);
  auto start = [&](CSingleCopy& copy, const char* profile) {
    test::WriteFile(home / profile, "", test::T0);
    return copy.Start({"twinbay", "-x", QString::fromStdString(home / profile)}, QString::fromStdString(ConnectionsFile()));
  };
  auto shows = [&](const QString& profile) {
    return frame->windowTitle() == profile + " - Twinbay 1.07 " && frame->Document().Recent().value(0).endsWith("/" + profile);
  };
  frame = start(first, "a.twy");
  ASSERT_TRUE(frame && shows("a.twy"));
  EXPECT_FALSE(start(second, "b.twy"));
  QCoreApplication::processEvents();
  EXPECT_TRUE(shows("a.twy")) << frame->windowTitle().toStdString();
}

// The divider starts at half the width; its place, the window's, a column's
// width and the Options (three pages) hold over a restart.
TEST_F(Window, TheDividerStartsAtHalfAndSettingsSurviveARestart) {
  MakeFrame();
  QSplitter* bar = View()->Splitter();
  EXPECT_TRUE(WaitFor([&] { return bar->sizes().value(0) > 0 && std::abs(bar->sizes()[0] - bar->sizes()[1]) <= 1; }, 2000))
      << bar->sizes()[0] << " " << bar->sizes()[1];
  const QRect place(40, 50, 760, 520);
  frame->setGeometry(place);
  QApplication::processEvents();
  bar->setSizes({150, 600});
  View()->List()->setColumnWidth(1, 123);
  QStringList pages;
  bool ignoring = false;
  auto options = [&](bool change) {  // through the Options sheet, changing two values or seeing them kept
    auto done = OnModal("OptionsSheet", [&, change](QWidget* w) {
      auto* tabs = w->findChild<QTabWidget*>();
      pages.clear();
      for (int i = 0; i < tabs->count(); ++i) pages << tabs->tabText(i);
      auto* ignore = w->findChild<QCheckBox*>("ignoreSeconds");
      if (change) ignoring = !ignore->isChecked(), ignore->setChecked(ignoring), w->findChild<QSpinBox*>("connections")->setValue(3);
      EXPECT_EQ(std::pair(ignore->isChecked(), w->findChild<QSpinBox*>("connections")->value()), std::pair(ignoring, 3));
      static_cast<QDialog*>(w)->accept();
    });
    View()->OnOptions();
    EXPECT_TRUE(*done);
  };
  options(true);
  EXPECT_EQ(pages, QStringList({"Compare", "Display", "Transfer"}));
  ASSERT_TRUE(frame->close());
  TearDown();
  MakeFrame();
  QApplication::processEvents();
  EXPECT_EQ(frame->geometry(), place);
  ASSERT_TRUE(WaitFor([&] { return View()->Splitter()->sizes().value(0) == 150; }, 2000)) << View()->Splitter()->sizes()[0];
  EXPECT_EQ(View()->List()->columnWidth(1), 123);
  options(false);
}

// The protocol box: the port follows a choice from the usual one of the last
// (a typed one stays), only what the protocol uses can be edited, and a record
// of each protocol comes back from the dialog as it went in.
TEST_F(Window, TheProtocolBoxSetsPortAndFieldsAndEachProtocolRoundTrips) {
  using D = CConnectionDlg;
  D dlg(true, D::Values());
  auto* box = dlg.findChild<QComboBox*>("protocol");
  auto* port = dlg.findChild<QLineEdit*>("port");
  auto on = [&](const char* name) { return dlg.findChild<QWidget*>(name)->isEnabled(); };
  for (auto [choice, usual] : {std::pair{D::kSftp, "22"}, {D::kFtpImplicitTls, "990"}, {D::kFtpExplicitTls, "21"}, {D::kFtp, "21"}}) {
    box->setCurrentIndex(box->findData(choice));
    const bool sftp = choice == D::kSftp;
    EXPECT_EQ(std::tuple(port->text(), on("keyFile"), on("serverOffset"), on("anonymous")), std::tuple(QString(usual), sftp, !sftp, !sftp));
  }
  EXPECT_EQ(dlg.findChild<QLabel*>("passwordHome")->text(),
            "Password kept in the desktop keyring where one answers, else scrambled in the connections file");
  port->setText("2121");
  box->setCurrentIndex(box->findData(D::kSftp));
  EXPECT_EQ(port->text(), "2121");
  for (auto [protocol, tls] : {std::pair{0, 0}, {0, 1}, {0, 2}, {1, 0}, {7, 0}}) {  // 7: unknown here, kept
    CConnectionProperties r, back;
    std::tie(r.protocol, r.tlsMode, r.port, r.host, r.anonymous, r.userName, r.remotePath, r.keyFile, r.exclude, r.backupDir) =
        std::tuple(protocol, tls, 4242, "h.example", 0, "u", "/www", protocol == 1 ? "/k/id" : "", "*.tmp\n/build/", "bak");
    D::Fill(back, D(false, D::FromRecord(r)).GetValues());
    EXPECT_EQ(std::tie(back.protocol, back.tlsMode, back.port, back.host, back.anonymous, back.userName, back.remotePath, back.keyFile, back.exclude, back.backupDir),
              std::tie(r.protocol, r.tlsMode, r.port, r.host, r.anonymous, r.userName, r.remotePath, r.keyFile, r.exclude, r.backupDir));
  }
  // A pattern that cannot be used keeps the dialog open, with the reason.
  auto* exclude = dlg.findChild<QPlainTextEdit*>("exclude");
  QString said;
  exclude->setPlainText("*.tmp\n!keep.tmp");
  OnModal("", [&](QWidget* w) { said = static_cast<QMessageBox*>(w)->text(), w->close(); });
  dlg.accept();
  EXPECT_TRUE(said.startsWith("The paths to leave out cannot be used: line 2: \"!keep.tmp\"")) << said.toStdString();
  EXPECT_NE(dlg.result(), QDialog::Accepted);
  exclude->setPlainText(".git/\n\n");
  dlg.accept();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

// Per filter: the rows of the top folder, and the status line's tagged counts
// of each direction; the list's order by a header's clicks.
TEST_F(Window, EachFilterShowsItsRowsAndTheStatusLineItsCounts) {
  MakeSite();
  Start();
  // All of it while the free space's measurement hangs (a dead network mount).
  auto hang = [&](std::shared_future<void> until) {
    View()->FreeSpace().SetMeasure([until](const char*, struct statvfs* st) { return until.wait(), st->f_bavail = 3, st->f_frsize = 1 << 30, 0; });
    View()->RefreshFreeSpace();
  };
  std::promise<void> mountBack, mountBackLater;
  hang(mountBack.get_future().share()), ConnectAndCompare();
  // Filter, the rows, the files tagged each way (of 4 up and 3 down: sub/, drafts/ and Images/ count too).
  const std::tuple<int, test::Names, int, int> rows[] = {
      {0, {"< down.html", "> local.txt", "< remote.txt", "= same.css", "> up.html"}, 4, 3},
      {1, {"> local.txt", "> up.html"}, 4, 0},
      {2, {"< down.html", "< remote.txt"}, 0, 3},
      {4, {"= same.css"}, 0, 0},
      {5, {"< down.html", "> local.txt", "< remote.txt", "> up.html"}, 4, 3},
      {6, {"> local.txt", "< remote.txt"}, 2, 2},
      {7, {"< down.html", "= same.css", "> up.html"}, 2, 1},
  };
  auto tagged = [](int n, int all) { return QString("%1 of %2 files tagged (%3KB)").arg(n).arg(all).arg(n ? 1 : 0); };
  for (const auto& [filter, names, up, down] : rows) {
    frame->findChild<QAction*>(QString("filter%1").arg(filter))->trigger();
    QApplication::processEvents();
    EXPECT_EQ(Rows(), names) << filter;
    EXPECT_EQ(std::pair(Pane(0).section(" - ", 0, 0), Pane(3)), std::pair(tagged(up, 4), tagged(down, 3))) << filter;
  }
  EXPECT_EQ(std::pair(Pane(1), Pane(2)), std::pair(QString("Connected"), QString(" ")));
  // A click on a header sorts by that column (keeping the direction), a second one reverses it.
  frame->findChild<QAction*>("filter0")->trigger();
  auto order = [&] {
    QStringList names;
    for (int r = 0; r < Model()->rowCount(); ++r) names << QString::fromStdString(Model()->EntryAt(r)->Name());
    return names.join(' ').toStdString();
  };
  EXPECT_EQ(order(), "down.html local.txt remote.txt same.css up.html");
  for (auto [column, expected] : {std::pair{0, "up.html same.css remote.txt local.txt down.html"},
                                  {1, "same.css up.html down.html local.txt remote.txt"},  // sizes 4 3 3 1 none
                                  {1, "remote.txt local.txt down.html up.html same.css"},
                                  {3, "down.html remote.txt same.css local.txt up.html"}}) {
    emit View()->List()->horizontalHeader()->sectionClicked(column);
    EXPECT_EQ(order(), expected) << column;
  }
  mountBack.set_value();
  EXPECT_TRUE(WaitFor([&] { return Pane(0).contains("Free space: 3"); })) << Pane(0).toStdString();
  hang(mountBackLater.get_future().share());
  TearDown();  // the window goes while it hangs: no answer reaches it
  mountBackLater.set_value();
}

// The small widgets: the local "..." starts at the path entered and a
// double-click chooses a folder; a long path is shortened in its middle; the
// progress meter's text is light over the bar and dark beyond it; a link is
// blue, then purple once opened.
TEST_F(Window, TheSmallWidgetsShowWhatTheySay) {
  MakeFrame();
  test::WriteFile(local / "sub/x.txt", "x", test::T0);
  auto* box = frame->findChild<QComboBox*>("localPath");
  box->setEditText(QString::fromStdString(local.path()));
  OnModal("FolderPicker", [&](QWidget* w) {
    auto* dlg = static_cast<QFileDialog*>(w);
    EXPECT_EQ(dlg->directory().absolutePath().toStdString(), local.path());
    emit dlg->findChild<QListView*>("listView")->doubleClicked(dlg->findChild<QFileSystemModel*>()->index(QString::fromStdString(local / "sub")));
  });
  View()->OnBrowseLocal();
  EXPECT_EQ(box->currentText().toStdString(), local / "sub");
  CPathLabel label;
  label.resize(180, 20);
  label.SetText("/home/user/websites/a-rather-long-folder-name/and-another-one/images");
  EXPECT_TRUE(label.Shown().startsWith("/home/") && label.Shown().endsWith("/images") && label.Shown().contains(QChar(0x2026)))
      << label.Shown().toStdString();
  CProgressMeter meter;
  meter.resize(300, 22);
  meter.SetPos(50);
  meter.SetText("WWWWWWWWWWWW");
  const QImage img = meter.grab().toImage();
  auto inks = [&](int from, int to, QColor ink) {
    int n = 0;
    for (int y = 2; y < 20; ++y)
      for (int x = from; x < to; ++x) n += img.pixelColor(x, y) == ink;
    return n;
  };
  const QColor light = meter.palette().highlightedText().color(), dark = meter.palette().buttonText().color();
  EXPECT_TRUE(inks(2, 150, light) > 0 && inks(2, 150, dark) == 0 && inks(150, 298, dark) > 0 && inks(150, 298, light) == 0);
  QTextBrowser handler;
  QDesktopServices::setUrlHandler("https", &handler, "setSource");
  CHyperLink link("Kestrion", "https://x.example/");
  EXPECT_EQ(link.CurrentColour(), CHyperLink::kUnvisited);
  EXPECT_TRUE(link.Open() && link.Visited() && handler.source() == QUrl("https://x.example/"));
  EXPECT_EQ(link.CurrentColour(), CHyperLink::kVisited);
  QDesktopServices::unsetUrlHandler("https");
}

// Help > About: two pages and only OK; the version, the support text and each
// link's text and target (the maker's page and support address of the build).
TEST_F(Window, TheAboutSheetShowsTheVersionTheSupportTextAndTheLinks) {
  MakeFrame();
  auto done = OnModal("AboutSheet", [](QWidget* w) {
    auto* sheet = static_cast<CAboutSheet*>(w);
    EXPECT_EQ(std::tuple(sheet->Tabs()->tabText(0), sheet->Tabs()->tabText(1), sheet->findChildren<QPushButton*>().size(), sheet->findChild<QLabel*>("version")->text()),
              std::tuple(QString("About Twinbay"), QString("Technical Support"), 1, QString("1.07")));
    for (auto [link, text, url] : {std::tuple{sheet->About()->CompanyLink(), QString("Kestrion"), MakerUrl()},
                                   {sheet->Support()->MailLink(), SupportEmail(), "mailto:" + SupportEmail()}, {sheet->Support()->WebLink(), MakerHostName(), MakerUrl()}})
      EXPECT_EQ(std::pair(link->text(), link->Url()), std::pair(text, url));
    const QString support = sheet->Support()->Text()->toPlainText();
    EXPECT_TRUE(support.startsWith("We provide free technical support by email to all users - You will usually receive a response within 24 hours but we cannot guarantee this.\n\n") &&
                support.endsWith("send mail to the support address below or click the link below.")) << support.toStdString();
    sheet->accept();
  });
  frame->OnAbout();
  EXPECT_TRUE(*done);
}

// The remote browser hands back the folder shown when nothing is selected
// ("/"), else the one selected. While a large file and small ones copy at
// once, the File line shows the large one with its own share, not the last
// small one at 100 %.
TEST_F(Window, TheRemoteBrowserAndTheProgressOfParallelCopiesTellTheTruth) {
  test::WriteFile(serverRoot / "site/a-big.bin", std::string(1 << 20, 'x'), test::T0);
  for (const char* name : {"site/b.txt", "site/c.txt"}) test::WriteFile(serverRoot / name, "small", test::T0);
  test::FtpTestServer::PyOptions o;
  o.extraArgs = {"--throttle", "300000"};
  Start(o);
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  auto* remote = frame->findChild<QComboBox*>("remotePath");
  for (const QString pick : {"", "site"}) {
    OnModal("RemoteFolderDialog", [&](QWidget* w) {
      auto* dlg = static_cast<CRemoteFolderDlg*>(w);
      QTreeWidgetItem* root = dlg->Tree()->topLevelItem(0);
      WaitFor([&] { return CRemoteFolderDlg::ItemState(root) == CRemoteFolderDlg::Loaded; });
      for (int i = 0; i < root->childCount(); ++i) root->child(i)->setSelected(root->child(i)->text(0) == pick);
      dlg->accept();
    });
    View()->BrowseRemoteButton()->click();
    ASSERT_TRUE(test::WaitForServer(*View()));
    EXPECT_EQ(remote->currentText(), pick.isEmpty() ? "/" : "/site");
  }
  Compare();
  QString line;
  int percent = 100;
  SyncWays(false, true);
  OnModal("ProgressDialog", [&](QWidget* w) {
    auto* dlg = static_cast<CProgressDlg*>(w);
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(local / "c.txt") && std::filesystem::exists(local / "b.txt"); }));
    WaitFor([] { return false; }, 300);
    if (!std::filesystem::exists(local / "a-big.bin")) std::tie(line, percent) = std::pair(dlg->FileText(), int(dlg->FileMeter()->Pos()));
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View(), 30000));
  EXPECT_EQ(line, "a-big.bin");  // the only copy still under way
  EXPECT_LT(percent, 100);
  EXPECT_EQ(std::filesystem::file_size(local / "a-big.bin"), 1u << 20);
}

}  // namespace
}  // namespace twinbay
