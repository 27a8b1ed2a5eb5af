// The desktop program's real widgets against a real FTP server, offscreen.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QToolButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QTreeWidgetItemIterator>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <chrono>
#include <ctime>
#include <thread>
#include <filesystem>

#include "gui_fixture.h"
#include "core/connections.h"
#include "net/ftp_session.h"
#include "net/server_time.h"
#include "widgets/history_combo.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"
#include "ui/dialogs/connection_dlgs.h"
#include "ui/icons.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::TempDir;
using test::WaitFor;

const int64_t T0 = test::UnixTime(2026, 2, 3, 4, 5, 6);

struct Gui : test::GuiTest {
  // Serves the server tree, connects and starts a compare (it keeps running).
  void ServeConnectAndStartCompare() {
    Start();
    Connect();
    ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }));
    View()->OnCompare();
    // Up to the compare's start, without handling what it posts.
    while (View()->IsWaitingOnServer()) QApplication::processEvents();
  }
  QTreeWidgetItem* Item(const QString& name) const {
    const auto found = View()->Tree()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }
  void MakeSite() {
    test::WriteFile(local / "index.html", "new home", T0 + 100);
    test::WriteFile(serverRoot / "site/index.html", "old home", T0);
    test::WriteFile(local / "news.html", "old news", T0);
    test::WriteFile(serverRoot / "site/news.html", "new news", T0 + 100);
    test::WriteFile(local / "same.css", "css", T0);
    test::WriteFile(serverRoot / "site/same.css", "css", T0);
    test::WriteFile(serverRoot / "site/Images/logo.gif", "gif", T0);
    test::WriteFile(local / "drafts/a.html", "draft", T0);
    test::WriteFile(local / "docs/x.txt", "x", T0);
    test::WriteFile(serverRoot / "site/docs/x.txt", "x", T0);
  }
};

TEST_F(Gui, FirstStartOpensConnectionsAndThenAddNewConnection) {
  MakeFrame();
  QString addTitle;
  bool listed = false;
  OnModal("ConnectionDialog", [&](QWidget* w) {
    addTitle = w->windowTitle();
    w->findChild<QLineEdit*>("host")->setText("ftp.example.org");
    w->findChild<QLineEdit*>("port")->setText("2121");
    static_cast<QDialog*>(w)->accept();
    OnModal("ConnectionsDialog", [&](QWidget* c) {
      auto* list = c->findChild<QListWidget*>("connections");
      listed = list->count() == 1 && list->item(0)->text() == "ftp.example.org" && list->item(0)->isSelected();
      static_cast<QDialog*>(c)->reject();
    });
  });
  View()->ArmStartupConnect();
  ASSERT_TRUE(WaitFor([&] { return listed; }));
  EXPECT_EQ(addTitle, "Add new connection");
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeModalWidget() == nullptr; }));
  ASSERT_EQ(View()->Connections().Count(), 1u);
  EXPECT_EQ(View()->Connections().At(0)->port, 2121);
  EXPECT_EQ(View()->Connections().At(0)->anonymous, 1);
  EXPECT_FALSE(View()->IsConnected());
}

TEST_F(Gui, AFailedConnectSaysConnectFailed) {
  StoreRecord(1);  // nothing listens on port 1
  MakeFrame();
  QString text;
  auto seen = OnModal("ConnectFailed", [&](QWidget* w) {
    text = static_cast<QMessageBox*>(w)->text();
    static_cast<QMessageBox*>(w)->accept();
  });
  Connect();
  ASSERT_TRUE(WaitFor([&] { return *seen; }));
  EXPECT_EQ(text, "Connect FAILED");
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  EXPECT_FALSE(View()->IsConnected());
  EXPECT_TRUE(View()->CanConnect());
}

// TLS: a self-signed certificate is shown with its fingerprint (once) and
// asked about once; trusted, it is pinned on the record and the connect goes
// through encrypted, the status line saying so in full. The password typed at
// the prompt survives the save that pins the certificate.
TEST_F(Gui, TrustThisCertificateThenConnectedEncrypted) {
  test::FtpTestServer::Tls cert;
  std::string why;
  ASSERT_TRUE(test::MakeTestCertificate(serverRoot / "cert", "127.0.0.1", cert, &why)) << why;
  const std::string fingerprint = test::OpensslFingerprint(cert.certFile);
  server = test::FtpTestServer::StartPureFtpd(serverRoot / "srv", &why, 0, 0, 0, &cert);
  ASSERT_TRUE(server) << why;
  {
    ConnectionsList list(ConnectionsFile());
    auto r = std::make_unique<CConnectionProperties>();
    r->description = "Secure";
    r->host = "127.0.0.1";
    r->port = server->port();
    r->anonymous = 0;
    r->userName = "tester";
    r->localPath = local.path();
    r->remotePath = "/";
    r->tlsMode = static_cast<int32_t>(FtpTls::Explicit);
    list.Add(std::move(r));
    ASSERT_TRUE(list.Save().ok);
  }
  MakeFrame();
  QString question, details;
  int asked = 0;
  OnModal("TrustCertificate", [&](QWidget* w) {
    ++asked;
    auto* box = static_cast<QMessageBox*>(w);
    question = box->text();
    details = box->informativeText();
    box->button(QMessageBox::Yes)->click();
  });
  OnModal("PasswordDialog", [](QWidget* w) {
    w->findChild<QLineEdit*>("password")->setText("secret");
    static_cast<QDialog*>(w)->accept();
  });
  auto failed = OnModal("ConnectFailed", [](QWidget* w) { static_cast<QDialog*>(w)->accept(); });
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(question, "Trust this certificate?");
  EXPECT_EQ(details.count(QString::fromStdString(fingerprint)), 1) << details.toStdString();
  EXPECT_TRUE(details.startsWith("The server's certificate was refused")) << details.toStdString();
  EXPECT_FALSE(*failed);
  EXPECT_EQ(View()->Connections().At(0)->password, "");  // typed, never stored
  EXPECT_EQ(View()->Connections().At(0)->pinnedFingerprint, fingerprint);
  ConnectionsList saved(ConnectionsFile());
  ASSERT_TRUE(saved.Load().ok);
  EXPECT_EQ(saved.At(0)->pinnedFingerprint, fingerprint);
  EXPECT_EQ(saved.At(0)->tlsMode, 1);
  frame->RefreshUi();
  EXPECT_EQ(frame->Pane(1)->text(), "Connected (encrypted)");
  EXPECT_GE(frame->Pane(1)->width(), frame->Pane(1)->fontMetrics().horizontalAdvance("Connected (encrypted)"));
}

// An SFTP server whose host key is not known: asked about once, No the
// default; Yes pins it on the record and connects. A key other than the
// pinned one stops the connect with a critical message that cannot accept it.
TEST_F(Gui, AnUnknownHostKeyIsAskedAboutOnceAndAChangedOneRefused) {
  std::string why;
  test::MakeFolder(serverRoot / "sshd");
  auto sshd = test::SshTestServer::StartSshd(serverRoot / "sshd", &why);
  ASSERT_TRUE(sshd) << why;
  const std::string fp = sshd->HostFingerprint(), oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", home.path().c_str(), 1);  // no known_hosts
  unsetenv("SSH_AUTH_SOCK");
  struct Restore {
    std::string home;
    ~Restore() { setenv("HOME", home.c_str(), 1); }
  } restore{oldHome};
  for (const std::string& pin : {std::string(), "SHA256:" + std::string(43, 'A')}) {
    {
      ConnectionsList list(ConnectionsFile());
      auto r = std::make_unique<CConnectionProperties>();
      r->description = "Sftp";
      r->host = "127.0.0.1";
      r->port = sshd->port();
      r->protocol = 1;
      r->userName = "root";
      r->keyFile = sshd->ClientKey();
      r->hostKey = pin;
      r->localPath = local.path();
      list.Add(std::move(r));
      ASSERT_TRUE(list.Save().ok);
    }
    MakeFrame();
    int asked = 0;
    bool noIsDefault = false;
    QString question, details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    OnModal(pin.empty() ? "TrustHostKey" : "HostKeyChanged", [&](QWidget* w) {
      auto* box = static_cast<QMessageBox*>(w);
      ++asked;
      question = box->text();
      details = box->informativeText();
      icon = box->icon();
      noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
      (pin.empty() ? box->button(QMessageBox::Yes) : box->button(QMessageBox::Ok))->click();
    });
    auto failed = OnModal("ConnectFailed", [](QWidget* w) { static_cast<QDialog*>(w)->accept(); });
    Connect();
    ASSERT_TRUE(WaitFor([&] { return asked == 1 && !View()->IsBusy(); })) << View()->LastError();
    EXPECT_FALSE(*failed);
    EXPECT_EQ(details.count(QString::fromStdString(fp)), 1) << details.toStdString();
    ConnectionsList saved(ConnectionsFile());
    ASSERT_TRUE(saved.Load().ok);
    if (pin.empty()) {
      EXPECT_EQ(question, "Trust this host key?");
      EXPECT_TRUE(noIsDefault);
      ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
      EXPECT_EQ(saved.At(0)->hostKey, fp);
    } else {
      EXPECT_EQ(icon, QMessageBox::Critical);
      EXPECT_TRUE(question.contains("HAS CHANGED")) << question.toStdString();
      EXPECT_FALSE(View()->IsConnected());
      EXPECT_EQ(saved.At(0)->hostKey, pin);
    }
    frame->View()->ShutDown();
    frame.reset();
    std::filesystem::remove(ConnectionsFile());
  }
}

// The protocol choice: an older record (protocol and TLS mode 0) is plain FTP;
// the port follows the choice while it is the usual one, a typed port stays;
// SFTP puts anonymous and the server time offset aside and takes a key file;
// a pin is kept only for its protocol, and Forget clears it.
TEST_F(Gui, TheConnectionDialogsProtocolChoiceWithItsPortKeyFileAndPins) {
  CConnectionProperties r;
  r.hostKey = "SHA256:x";
  r.pinnedFingerprint = "AA:BB";
  CConnectionDlg dlg(false, CConnectionDlg::FromRecord(r));
  auto* protocol = dlg.findChild<QComboBox*>("protocol");
  auto* port = dlg.findChild<QLineEdit*>("port");
  auto* keyFile = dlg.findChild<QLineEdit*>("keyFile");
  auto* anonymous = dlg.findChild<QCheckBox*>("anonymous");
  EXPECT_EQ(protocol->currentText(), "FTP");
  EXPECT_FALSE(keyFile->isEnabled());
  for (auto [choice, expected] : {std::pair{"FTP over explicit TLS", "21"}, {"FTP over implicit TLS", "990"},
                                  {"SFTP", "22"}, {"FTP", "21"}, {"SFTP", "22"}}) {
    protocol->setCurrentText(choice);
    EXPECT_EQ(port->text(), expected) << choice;
  }
  EXPECT_TRUE(keyFile->isEnabled());
  EXPECT_FALSE(anonymous->isEnabled() || anonymous->isChecked());
  EXPECT_TRUE(dlg.findChild<QLineEdit*>("user")->isEnabled());
  EXPECT_FALSE(dlg.findChild<QLineEdit*>("serverOffset")->isEnabled());
  // The key file picker fills the field.
  test::WriteFile(home / "id_other", "key", T0);
  keyFile->setText(QString::fromStdString(home / "id_test"));
  OnModal("KeyFileDialog", [&](QWidget* w) {
    w->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(home / "id_other"));
    static_cast<QDialog*>(w)->accept();
    if (w->isVisible()) static_cast<QDialog*>(w)->reject();  // a failure, never a hang
  });
  dlg.findChild<QToolButton*>("browseKeyFile")->click();
  CConnectionProperties out = r;
  CConnectionDlg::Fill(out, dlg.GetValues());
  EXPECT_EQ(std::tie(out.protocol, out.tlsMode, out.port, out.anonymous), std::tuple(1, 0, 22, 0));
  EXPECT_EQ(out.keyFile, home / "id_other");
  EXPECT_EQ(out.hostKey + "|" + out.pinnedFingerprint, "SHA256:x|");
  dlg.findChild<QToolButton*>("forgetHostKey")->click();
  port->setText("2222");
  protocol->setCurrentText("FTP over explicit TLS");
  EXPECT_TRUE(anonymous->isChecked());  // as FTP had it
  CConnectionDlg::Fill(out, dlg.GetValues());
  EXPECT_EQ(std::tie(out.protocol, out.tlsMode, out.port), std::tuple(0, 1, 2222));
  EXPECT_EQ(out.hostKey + "|" + out.pinnedFingerprint, "|AA:BB");
  // A protocol this version does not know is kept as it is.
  r.protocol = 7;
  CConnectionDlg unknown(false, CConnectionDlg::FromRecord(r));
  CConnectionDlg::Fill(out, unknown.GetValues());
  EXPECT_EQ(out.protocol, 7);
}

TEST_F(Gui, CompareFillsTheTreeTheListAndTheStatusPanes) {
  MakeSite();
  Start();
  ConnectAndCompare();
  CFolderTreeCtrl* tree = View()->Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* root = tree->topLevelItem(0);
  EXPECT_EQ(root->text(0), QString::fromStdString(local.path()) + " <=> /site");
  EXPECT_EQ(CFolderTreeCtrl::ItemImage(root), 0);
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(root), 1);
  EXPECT_TRUE(root->font(0).bold());
  struct Expect {
    const char* name;
    int image, mark;
    bool bold;
  };
  for (const Expect& e : {Expect{"docs", 1, 0, false}, Expect{"drafts", 2, 2, true}, Expect{"Images", 3, 3, true}}) {
    QTreeWidgetItem* item = Item(e.name);
    ASSERT_NE(item, nullptr) << e.name;
    EXPECT_EQ(CFolderTreeCtrl::ItemImage(item), e.image) << e.name;
    EXPECT_EQ(CFolderTreeCtrl::ItemMark(item), e.mark) << e.name;
    EXPECT_EQ(item->font(0).bold(), e.bold) << e.name;
  }
  // Selecting the root shows its files, coloured by direction.
  tree->setCurrentItem(root);
  ASSERT_TRUE(WaitFor([&] { return View()->List()->Model()->rowCount() == 3; }));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"> index.html", "< news.html", "= same.css"}));
  FileListModel* m = View()->List()->Model();
  EXPECT_EQ(m->index(0, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 255));
  EXPECT_EQ(m->index(1, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
  EXPECT_EQ(m->index(2, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 0));
  EXPECT_EQ(m->index(1, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(192, 220, 192));  // striped
  EXPECT_EQ(m->index(0, 1).data().toString(), "1KB ");
  // The status panes count what would be copied.
  frame->RefreshUi();
  EXPECT_TRUE(frame->Pane(0)->text().startsWith("2 of 2 files tagged (1KB) -  Free space: ")) << frame->Pane(0)->text().toStdString();
  EXPECT_EQ(frame->Pane(1)->text(), "Connected");
  EXPECT_EQ(frame->Pane(3)->text(), "2 of 2 files tagged (1KB)");
  // A click on a row's tag mark untags it.
  const QRect first = View()->List()->visualRect(m->index(0, 0));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, first.center().y()), View()->List()->viewport()->mapToGlobal(QPointF(5, first.center().y())),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(View()->List()->viewport(), &press);
  frame->RefreshUi();
  EXPECT_TRUE(frame->Pane(0)->text().startsWith("1 of 2 files tagged")) << frame->Pane(0)->text().toStdString();
  // Sorting by the local size keeps rows without a local side together.
  View()->List()->Model()->sort(1, Qt::DescendingOrder);
  EXPECT_EQ(Rows().size(), 3u);
}

TEST_F(Gui, StopDuringALargeCompareLeavesAConsistentAnnouncedResult) {
  for (int d = 0; d < 300; ++d)
    for (int f = 0; f < 3; ++f)
      test::WriteFile(serverRoot / ("site/d" + std::to_string(1000 + d) + "/f" + std::to_string(f)), "", T0);
  ServeConnectAndStartCompare();
  ASSERT_TRUE(WaitFor([&] { return View()->Collection().GetCount() >= 10; }));
  View()->OnStop();
  EXPECT_FALSE(View()->CanStop());
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  QApplication::processEvents();
  const size_t records = View()->Collection().GetCount();
  EXPECT_LT(records, 301u);
  // Every record has its tree item, and every item its record.
  int items = 0;
  for (QTreeWidgetItemIterator it(View()->Tree()); *it; ++it, ++items) EXPECT_NE(CFolderTreeCtrl::Record(*it), nullptr);
  EXPECT_EQ(static_cast<size_t>(items), records);
  for (size_t i = 0; i < records; ++i) EXPECT_NE(View()->Tree()->FindItem(View()->Collection().GetAt(i)), nullptr);
  // The finished folders show their marks.
  QTreeWidgetItem* first = View()->Tree()->topLevelItem(0)->child(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CFolderTreeCtrl::ItemImage(first), 3);
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(first), 3);
}

TEST_F(Gui, TheTreeIsBuiltFromTheRecordsWhenTheCompareRunsAheadOfTheWindow) {
  // 30 folders on both sides, each with one sub-folder in step, one only
  // here and one only on the server; every fifth differs itself.
  for (int d = 0; d < 30; ++d) {
    const std::string t = "t" + std::to_string(10 + d);
    test::WriteFile(local / (t + "/s0/same.txt"), "x", T0);
    test::WriteFile(serverRoot / ("site/" + t + "/s0/same.txt"), "x", T0);
    test::WriteFile(local / (t + "/s1/up.txt"), "x", T0);
    test::WriteFile(serverRoot / ("site/" + t + "/s2/down.txt"), "x", T0);
    test::WriteFile(local / (t + "/top.txt"), "x", T0 + (d % 5 == 0 ? 100 : 0));
    test::WriteFile(serverRoot / ("site/" + t + "/top.txt"), "x", T0);
  }
  ServeConnectAndStartCompare();
  // The window's thread reads nothing until the compare has made every record.
  const size_t total = 1 + 30 * 4;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (View()->Collection().GetCount() < total && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(View()->Collection().GetCount(), total);
  EXPECT_EQ(View()->Tree()->topLevelItemCount(), 0);
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  QApplication::processEvents();

  CFolderTreeCtrl* tree = View()->Tree();
  int items = 0;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) ++items;
  EXPECT_EQ(static_cast<size_t>(items), total);
  for (size_t i = 0; i < total; ++i) {
    const CFolderRecord* r = View()->Collection().GetAt(i);
    QTreeWidgetItem* item = tree->FindItem(r);
    ASSERT_NE(item, nullptr) << r->localPath;
    EXPECT_EQ(item->text(0).toStdString(), r->name);
    EXPECT_EQ(item->parent(), r->parent ? tree->FindItem(r->parent) : nullptr) << r->localPath;
    EXPECT_EQ(CFolderTreeCtrl::ItemImage(item), r->folderClass) << r->localPath;
    EXPECT_EQ(CFolderTreeCtrl::ItemMark(item), r->TreeOverlay()) << r->localPath;
    EXPECT_EQ(item->font(0).bold(), r->TreeBold()) << r->localPath;
    EXPECT_EQ(item->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator, item->childCount() > 0);
    // Siblings in the order of their records; the way to a bold item is open.
    if (item->parent() && item->parent()->indexOfChild(item) > 0) {
      EXPECT_LT(CFolderTreeCtrl::Record(item->parent()->child(item->parent()->indexOfChild(item) - 1))->index, i);
    }
    if (item->font(0).bold()) {
      for (QTreeWidgetItem* p = item->parent(); p; p = p->parent()) EXPECT_TRUE(p->isExpanded()) << r->localPath;
    }
  }
  // And as they should be: classes, marks, bold.
  struct Expect {
    const char* path;
    int image, mark;
    bool bold;
  };
  for (const Expect& e : {Expect{"t10", 1, 2, true}, Expect{"t11", 1, 0, false}, Expect{"t11/s0", 1, 0, false},
                          Expect{"t11/s1", 2, 2, true}, Expect{"t11/s2", 3, 3, true}}) {
    QTreeWidgetItem* item = nullptr;
    for (size_t i = 0; i < total && !item; ++i)
      if (View()->Collection().GetAt(i)->localPath == local / e.path) item = tree->FindItem(View()->Collection().GetAt(i));
    ASSERT_NE(item, nullptr) << e.path;
    EXPECT_EQ(CFolderTreeCtrl::ItemImage(item), e.image) << e.path;
    EXPECT_EQ(CFolderTreeCtrl::ItemMark(item), e.mark) << e.path;
    EXPECT_EQ(item->font(0).bold(), e.bold) << e.path;
  }
  EXPECT_EQ(tree->topLevelItem(0)->childCount(), 30);
}

TEST_F(Gui, SynchronizeCopiesTheChosenDirectionAndTheTreeTurnsInStep) {
  MakeSite();
  Start();
  ConnectAndCompare();
  ASSERT_TRUE(View()->CanSynchronize());
  QString upLabel, downLabel;
  bool timestampsFollowUp = false;
  OnModal("SyncConfirmDialog", [&](QWidget* w) {
    auto* up = w->findChild<QCheckBox*>("up");
    auto* down = w->findChild<QCheckBox*>("down");
    auto* stamps = w->findChild<QCheckBox*>("timestamps");
    upLabel = up->text();
    downLabel = down->text();
    up->setChecked(true);
    const bool on = stamps->isEnabled();
    up->setChecked(false);
    timestampsFollowUp = on && !stamps->isEnabled();
    down->setChecked(true);
    static_cast<QDialog*>(w)->accept();
  });
  View()->OnSynchronize();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_EQ(upLabel, "Transfer 2 files from Local to Remote");
  EXPECT_EQ(downLabel, "Transfer 2 files from Remote to Local");
  EXPECT_TRUE(timestampsFollowUp);
  QApplication::processEvents();
  EXPECT_EQ(test::ReadFile(local / "news.html"), "new news");
  EXPECT_EQ(test::ReadFile(local / "Images/logo.gif"), "gif");
  EXPECT_EQ(test::ReadFile(serverRoot / "site/index.html"), "old home");  // not chosen
  ASSERT_TRUE(WaitFor([&] { return CFolderTreeCtrl::ItemImage(Item("Images")) == 1; }));
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(Item("Images")), 0);
  EXPECT_FALSE(Item("Images")->font(0).bold());
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(View()->Tree()->topLevelItem(0)), 2);  // only uploads are left
}

TEST_F(Gui, TheBusyGuardRefusesToCloseDuringACompare) {
  for (int d = 0; d < 400; ++d) test::WriteFile(serverRoot / ("site/d" + std::to_string(d) + "/f"), "", T0);
  ServeConnectAndStartCompare();
  ASSERT_TRUE(WaitFor([&] { return frame->IsBusy(); }));
  QString said;
  auto seen = OnModal("", [&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) said = box->text();
    static_cast<QDialog*>(w)->accept();
  });
  frame->close();
  ASSERT_TRUE(WaitFor([&] { return *seen; }));
  EXPECT_EQ(said, "Twinbay is busy");
  EXPECT_TRUE(frame->isVisible());
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy() && !frame->IsBusy(); }, 60000));
  EXPECT_TRUE(frame->close());
}

TEST_F(Gui, SettingsHistoriesPlacementAndColumnsSurviveARestart) {
  StoreRecord(1);
  MakeFrame();
  frame->setGeometry(120, 80, 820, 540);
  View()->List()->setColumnWidth(0, 222);
  View()->Settings().m_bCompareAlert = 1;
  View()->LocalCombo()->Add("/srv/www");
  View()->LocalCombo()->Add("/home/me/site");
  View()->LocalCombo()->Save();
  View()->Splitter()->setSizes({300, 500});
  const int treeWidth = View()->Splitter()->sizes().first();
  ASSERT_TRUE(frame->close());
  frame.reset();

  MakeFrame();
  bool cancelled = false;
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    cancelled = true;
    static_cast<QDialog*>(w)->reject();
  });
  View()->ArmStartupConnect();
  ASSERT_TRUE(WaitFor([&] { return cancelled; }));
  QApplication::processEvents();
  EXPECT_EQ(View()->List()->columnWidth(0), 222);
  EXPECT_EQ(View()->Settings().m_bCompareAlert, 1u);
  EXPECT_EQ(View()->Settings().m_bIgnoreSeconds, 1u);
  EXPECT_EQ(View()->LocalCombo()->itemText(0), "/home/me/site");
  EXPECT_EQ(View()->LocalCombo()->count(), 2);
  EXPECT_EQ(View()->Settings().m_nListWidth, static_cast<quint32>(treeWidth));
  EXPECT_EQ(frame->geometry().size(), QSize(820, 540));
}

TEST_F(Gui, DeletingTheCurrentRecordInTheDialogLeavesNoDanglingRecord) {
  StoreRecord(1, "first");
  StoreRecord(1, "second");
  MakeFrame();
  QWidget* failed = nullptr;
  OnModal("ConnectFailed", [&](QWidget* w) {
    failed = w;
    static_cast<QDialog*>(w)->accept();
  });
  Connect();
  ASSERT_TRUE(WaitFor([&] { return failed != nullptr && !View()->IsBusy(); }));
  ASSERT_NE(View()->CurrentRecord(), nullptr);
  bool buttonsFollow = false;
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    OnModal("", [](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click(); });
    w->findChild<QPushButton*>("delete")->click();
    buttonsFollow = !w->findChild<QPushButton*>("connect")->isEnabled() && !w->findChild<QPushButton*>("edit")->isEnabled();
    static_cast<QDialog*>(w)->reject();
  });
  View()->OnConnect();
  EXPECT_TRUE(buttonsFollow);
  EXPECT_EQ(View()->CurrentRecord(), nullptr);
  EXPECT_EQ(View()->Connections().Count(), 1u);
}

// vsftpd in its local time (5:30 ahead), read-only for the anonymous login:
// the status line says the offset is unknown; the Connection dialog sets a
// fixed one, after which the compare is right and the pane is blank.
TEST_F(Gui, UnknownServerOffsetInTheStatusLineAndAFixedOneFromTheConnectionDialog) {
  TempDir vsftpd;
  const int64_t base = (static_cast<int64_t>(std::time(nullptr)) - 2 * 86400) / 60 * 60 + 20;
  test::WriteFile(vsftpd / "anon/ro/site/same.css", "css", base);
  test::WriteFile(vsftpd / "anon/ro/site/index.html", "old home", base);
  test::WriteFile(local / "same.css", "css", base);
  test::WriteFile(local / "index.html", "new home", base + 600);
  std::string why;
  server = test::FtpTestServer::StartVsftpdLocalTime(vsftpd.path(), "IST-5:30", &why);
  ASSERT_TRUE(server) << why;
  {
    ConnectionsList list(ConnectionsFile());
    auto r = std::make_unique<CConnectionProperties>();
    r->description = "Local time";
    r->host = "127.0.0.1";
    r->port = server->port();
    r->localPath = local.path();
    r->remotePath = "/ro/site";
    list.Add(std::move(r));
    ASSERT_TRUE(list.Save().ok);
  }
  MakeFrame();
  ConnectAndCompare();
  frame->RefreshUi();
  EXPECT_EQ(frame->Pane(2)->text(), "Server time offset unknown: taken as UTC");
  EXPECT_GT(frame->Pane(2)->width(), frame->Pane(2)->fontMetrics().horizontalAdvance(frame->Pane(2)->text()));
  EXPECT_TRUE(frame->Pane(2)->toolTip().contains("Set the offset")) << frame->Pane(2)->toolTip().toStdString();

  View()->OnDisconnect();
  ASSERT_TRUE(test::WaitForServer(*View()));
  frame->RefreshUi();
  EXPECT_EQ(frame->Pane(2)->text(), " ");
  // Edit the record: a wrong offset keeps the dialog open, a right one is stored.
  bool refused = false, edited = false;
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    OnModal("ConnectionDialog", [&](QWidget* d) {
      auto* offset = d->findChild<QLineEdit*>("serverOffset");
      EXPECT_EQ(offset->text(), "automatic");
      offset->setText("5:30");
      OnModal("", [&](QWidget* box) {
        refused = true;
        static_cast<QMessageBox*>(box)->accept();
      });
      static_cast<QDialog*>(d)->accept();
      EXPECT_TRUE(d->isVisible());
      offset->setText("+05:30");
      static_cast<QDialog*>(d)->accept();
      edited = true;
    });
    w->findChild<QPushButton*>("edit")->click();
    w->findChild<QPushButton*>("connect")->click();
  });
  View()->OnConnect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  EXPECT_TRUE(refused);
  EXPECT_TRUE(edited);
  EXPECT_EQ(GetServerOffset(*View()->Connections().At(0)).Text(), "+05:30");
  View()->OnCompare();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  QApplication::processEvents();
  View()->Tree()->setCurrentItem(View()->Tree()->topLevelItem(0));
  ASSERT_TRUE(WaitFor([&] { return View()->List()->Model()->rowCount() == 2; }));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"> index.html", "= same.css"}));
  frame->RefreshUi();
  EXPECT_EQ(frame->Pane(2)->text(), " ");
}

}  // namespace
// A server that stops answering, in the middle of a compare (a listing that
// never ends) and then at a delete (DELE never answered): the window keeps
// turning and Stop ends each wait at once, well before the 60 s reply
// time-out; nothing is taken as deleted.
TEST_F(Gui, StopEndsWhatASilentServerLeavesUnansweredAndTheWindowKeepsTurning) {
  MakeSite();
  test::WriteFile(serverRoot / "site/stall/x.txt", "x", T0);
  test::FtpTestServer::PyOptions o;
  o.stallList = "stall";
  o.extraArgs = {"--silent-on", "DELE"};
  std::string why;
  server = test::FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port());
  MakeFrame();
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }));
  View()->OnCompare();
  // The walk may itself be the one waiting on stall/ (its own connection
  // lists queued folders while it waits for a helper), before stall/ is in
  // the tree: what is certain is that the compare hangs.
  WaitFor([&] { return Item("stall") != nullptr; }, 5000);
  WaitFor([] { return false; }, 300);
  ASSERT_TRUE(View()->IsBusy());  // the listing of stall/ hangs
  View()->OnStop();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }, 10000));

  View()->Tree()->setCurrentItem(View()->Tree()->topLevelItem(0));
  FileListModel* m = View()->List()->Model();
  ASSERT_TRUE(WaitFor([&] { return m->rowCount() > 0; }));
  int row = 0;
  while (row < m->rowCount() && m->EntryAt(row)->Name() != "news.html") ++row;
  ASSERT_LT(row, m->rowCount());
  View()->List()->selectRow(row);
  OnModal("ConfirmDeleteDialog", [](QWidget* w) {
    w->findChild<QCheckBox*>("deleteRemote")->setChecked(true);
    w->findChild<QPushButton*>("ok")->click();
  });
  View()->OnDeleteSelected();
  ASSERT_TRUE(View()->IsWaitingOnServer());
  WaitFor([] { return false; }, 300);
  EXPECT_TRUE(View()->IsWaitingOnServer());  // DELE unanswered, the loop turning
  EXPECT_TRUE(View()->CanStop());
  View()->OnStop();
  ASSERT_TRUE(test::WaitForServer(*View(), 10000));
  EXPECT_FALSE(View()->IsBusy());
  EXPECT_TRUE(std::filesystem::exists(local / "news.html"));
  ASSERT_TRUE(WaitFor([&] { return m->rowCount() > 0; }));
  bool kept = false;
  for (int r = 0; r < m->rowCount(); ++r) kept |= m->EntryAt(r)->Name() == "news.html" && m->EntryAt(r)->remote;
  EXPECT_TRUE(kept);
  EXPECT_TRUE(frame->findChild<QLabel*>("statusMessage")->text().startsWith("1 delete stopped or failed"));
}

TEST_F(Gui, AFolderThatCouldNotBeReadIsMarkedAndExplained) {
  test::WriteFile(local / "locked/page.html", "older", T0);
  test::WriteFile(serverRoot / "site/locked/page.html", "newer", T0 + 600);
  test::WriteFile(local / "open/a.html", "a", T0);
  test::WriteFile(serverRoot / "site/open/a.html", "a", T0);
  test::FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  std::string why;
  server = test::FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port());
  MakeFrame();
  ConnectAndCompare();
  auto* message = frame->findChild<QLabel*>("statusMessage");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->text(), "1 folder could not be read; nothing in it will be copied or deleted");
  QTreeWidgetItem* locked = Item("locked");
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(locked), icons::kIncompleteMark);
  EXPECT_TRUE(locked->font(0).bold());
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(Item("open")), 0);
  // Selected, it says why in the status line; its files cannot be tagged.
  View()->Tree()->setCurrentItem(locked);
  ASSERT_TRUE(WaitFor([&] { return message->text().startsWith("Could not be read whole: cannot list /site/locked"); }))
      << message->text().toStdString();
  EXPECT_TRUE(message->text().contains("550")) << message->text().toStdString();
  FileListModel* m = View()->List()->Model();
  ASSERT_EQ(m->rowCount(), 1);
  m->ToggleTag(0);
  EXPECT_EQ(m->ShownFolder()->entries[0]->tagged, 0);
  // Its local file may be on the server too: greyed, "?", the reason as its tip.
  const QModelIndex state = m->index(0, 3);
  EXPECT_EQ(m->data(state, Qt::DisplayRole).toString(), "?");
  EXPECT_EQ(m->data(state, Qt::ForegroundRole).value<QColor>(), QColor(128, 128, 128));
  EXPECT_TRUE(m->data(state, Qt::ToolTipRole).toString().contains("550"));
  View()->Tree()->setCurrentItem(Item("open"));
  ASSERT_TRUE(WaitFor([&] { return message->text().isEmpty(); }));
}

TEST_F(Gui, CompareOnConnectOnAServerThatTakesTwoLoginsReadsTheWholeTreeAndFreesTheSecond) {
  // With Compare on Connect the pool's logins start beside the window's own;
  // the server takes only one of them, the compare still reads every folder,
  // the pool keeps it for a sync, and a disconnect frees it.
  MakeSite();
  test::FtpTestServer::PyOptions o;
  o.maxLogins = 2;
  std::string why;
  server = test::FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port());
  MakeFrame();
  View()->Settings().m_bCompareOnConnect = 1;
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected() && !View()->IsBusy() && View()->Collection().GetCount() == 4; }))
      << View()->LastError();
  QApplication::processEvents();
  for (size_t i = 0; i < View()->Collection().GetCount(); ++i)
    EXPECT_FALSE(View()->Collection().GetAt(i)->incomplete) << View()->Collection().GetAt(i)->incompleteReason;
  ASSERT_NE(Item("Images"), nullptr);
  EXPECT_EQ(CFolderTreeCtrl::ItemMark(Item("Images")), 3);
  View()->OnDisconnect();
  ASSERT_TRUE(test::WaitForServer(*View()));
  CFtpSession second;
  EXPECT_TRUE(WaitFor([&] { return second.Connect("127.0.0.1", server->user(), server->password(), server->port()); }))
      << second.LastError();
}

}  // namespace twinbay
