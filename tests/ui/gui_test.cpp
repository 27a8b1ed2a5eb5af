// The desktop program's real widgets against real servers, offscreen:
// connections and their trust prompts, the tree as a compare builds it, the
// server offset, Stop and the busy guard.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <QTreeWidgetItemIterator>
#include <chrono>
#include <ctime>
#include <thread>

#include "gui_fixture.h"
#include "net/server_time.h"
#include "support/sshd_server.h"
#include "ui/dialogs/connection_dlgs.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::T0;
using test::WaitFor;

struct Gui : test::GuiTest {
  // Answers the next modal window of that name with the button, noting its texts.
  std::shared_ptr<bool> Answer(const QString& name, QMessageBox::StandardButton button, QString* text = nullptr,
                               QString* details = nullptr) {
    return OnModal(name, [=](QWidget* w) {
      auto* box = static_cast<QMessageBox*>(w);
      if (text) *text = box->text();
      if (details) *details = box->informativeText();
      if (QAbstractButton* b = box->button(button)) b->click();
      else box->accept();
    });
  }
};

// The first start asks for a new connection and keeps it; settings, path
// histories, placement and column widths survive a restart; a failed connect
// says so; deleting the record it left current leaves none dangling.
TEST_F(Gui, FirstStartARestartAFailedConnectAndDeletingTheCurrentRecord) {
  MakeFrame();
  bool listed = false;
  OnModal("ConnectionDialog", [&](QWidget* w) {
    w->findChild<QLineEdit*>("host")->setText("127.0.0.1");
    w->findChild<QLineEdit*>("port")->setText("1");  // nothing listens there
    static_cast<QDialog*>(w)->accept();
    OnModal("ConnectionsDialog", [&](QWidget* c) {
      auto* list = c->findChild<QListWidget*>("connections");
      listed = list->count() == 1 && list->item(0)->isSelected();
      static_cast<QDialog*>(c)->reject();
    });
  });
  View()->ArmStartupConnect();
  ASSERT_TRUE(WaitFor([&] { return listed && !QApplication::activeModalWidget(); }));
  ASSERT_EQ(View()->Connections().Count(), 1u);
  EXPECT_EQ(std::tie(View()->Connections().At(0)->port, View()->Connections().At(0)->anonymous), std::tuple(1, 1));
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
  auto cancelled = OnModal("ConnectionsDialog", [&](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  View()->ArmStartupConnect();
  ASSERT_TRUE(WaitFor([&] { return *cancelled; }));
  QApplication::processEvents();
  EXPECT_EQ(View()->List()->columnWidth(0), 222);
  EXPECT_EQ(View()->Settings().m_bCompareAlert, 1u);
  EXPECT_EQ(View()->LocalCombo()->itemText(0), "/home/me/site");
  EXPECT_EQ(View()->LocalCombo()->count(), 2);
  EXPECT_EQ(View()->Settings().m_nListWidth, static_cast<quint32>(treeWidth));
  EXPECT_EQ(frame->geometry().size(), QSize(820, 540));

  QString text;
  auto failed = Answer("ConnectFailed", QMessageBox::Ok, &text);
  Connect();
  ASSERT_TRUE(WaitFor([&] { return *failed && !View()->IsBusy(); }));
  EXPECT_EQ(text, "Connect FAILED");
  EXPECT_FALSE(View()->IsConnected());
  EXPECT_TRUE(View()->CanConnect());
  ASSERT_NE(View()->CurrentRecord(), nullptr);
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    Answer("", QMessageBox::Yes);
    w->findChild<QPushButton*>("delete")->click();
    EXPECT_FALSE(w->findChild<QPushButton*>("connect")->isEnabled() || w->findChild<QPushButton*>("edit")->isEnabled());
    static_cast<QDialog*>(w)->reject();
  });
  View()->OnConnect();
  EXPECT_EQ(View()->CurrentRecord(), nullptr);
  EXPECT_EQ(View()->Connections().Count(), 0u);
}

// TLS: a self-signed certificate is asked about once with its fingerprint;
// trusted, it is pinned and the connect goes through encrypted. The password
// typed at the prompt is not stored by the save that pins the certificate.
TEST_F(Gui, TrustThisCertificateThenConnectedEncrypted) {
  test::FtpTestServer::Tls cert;
  std::string why;
  ASSERT_TRUE(test::MakeTestCertificate(serverRoot / "cert", "127.0.0.1", cert, &why)) << why;
  const std::string fingerprint = test::OpensslFingerprint(cert.certFile);
  server = test::FtpTestServer::StartPureFtpd(serverRoot / "srv", &why, 0, 0, 0, &cert);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port(), "Secure", [](CConnectionProperties& r) {
    r.password.clear();
    r.remotePath = "/";
    r.tlsMode = static_cast<int32_t>(FtpTls::Explicit);
  });
  MakeFrame();
  QString question, details;
  Answer("TrustCertificate", QMessageBox::Yes, &question, &details);
  OnModal("PasswordDialog", [](QWidget* w) {
    w->findChild<QLineEdit*>("password")->setText("secret");
    static_cast<QDialog*>(w)->accept();
  });
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  EXPECT_EQ(question, "Trust this certificate?");
  EXPECT_EQ(details.count(QString::fromStdString(fingerprint)), 1) << details.toStdString();
  ConnectionsList saved(ConnectionsFile());
  ASSERT_TRUE(saved.Load().ok);
  EXPECT_EQ(std::tie(saved.At(0)->pinnedFingerprint, saved.At(0)->tlsMode, saved.At(0)->password), std::tuple(fingerprint, 1, ""));
  EXPECT_EQ(Pane(1), "Connected (encrypted)");
}

// SFTP: an unknown host key is asked about once, No the default; Yes pins it
// and connects. A key other than the pinned one stops the connect with a
// critical message that cannot accept it.
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
    std::filesystem::remove(ConnectionsFile());
    StoreRecord(sshd->port(), "Sftp", [&](CConnectionProperties& r) {
      std::tie(r.protocol, r.userName, r.password, r.keyFile, r.hostKey, r.remotePath) =
          std::tuple(1, "root", "", sshd->ClientKey(), pin, "");
    });
    MakeFrame();
    int asked = 0;
    bool noIsDefault = false;
    QString question, details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    OnModal(pin.empty() ? "TrustHostKey" : "HostKeyChanged", [&](QWidget* w) {
      auto* box = static_cast<QMessageBox*>(w);
      ++asked;
      std::tie(question, details, icon) = std::tuple(box->text(), box->informativeText(), box->icon());
      noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
      box->button(pin.empty() ? QMessageBox::Yes : QMessageBox::Ok)->click();
    });
    auto failed = Answer("ConnectFailed", QMessageBox::Ok);
    Connect();
    ASSERT_TRUE(WaitFor([&] { return asked == 1 && !View()->IsBusy(); })) << View()->LastError();
    EXPECT_FALSE(*failed);
    EXPECT_EQ(details.count(QString::fromStdString(fp)), 1) << details.toStdString();
    ConnectionsList saved(ConnectionsFile());
    ASSERT_TRUE(saved.Load().ok);
    EXPECT_EQ(saved.At(0)->hostKey, pin.empty() ? fp : pin);
    if (pin.empty()) {
      EXPECT_TRUE(noIsDefault);
      EXPECT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
    } else {
      EXPECT_EQ(icon, QMessageBox::Critical);
      EXPECT_TRUE(question.contains("HAS CHANGED")) << question.toStdString();
      EXPECT_FALSE(View()->IsConnected());
    }
    TearDown();
  }
}

// The protocol choice: an older record is plain FTP; the port follows the
// choice while it is the usual one, a typed port stays; SFTP puts anonymous
// and the server offset aside and takes a key file; a pin is kept only for
// its protocol, Forget clears it; an unknown protocol is kept as it is.
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
  EXPECT_FALSE(anonymous->isEnabled() || anonymous->isChecked() || dlg.findChild<QLineEdit*>("serverOffset")->isEnabled());
  keyFile->setText(QString::fromStdString(home / "id_test"));
  CConnectionProperties out = r;
  CConnectionDlg::Fill(out, dlg.GetValues());
  EXPECT_EQ(std::tie(out.protocol, out.tlsMode, out.port, out.anonymous, out.keyFile), std::tuple(1, 0, 22, 0, home / "id_test"));
  EXPECT_EQ(out.hostKey + "|" + out.pinnedFingerprint, "SHA256:x|");
  dlg.findChild<QToolButton*>("forgetHostKey")->click();
  port->setText("2222");
  protocol->setCurrentText("FTP over explicit TLS");
  EXPECT_TRUE(anonymous->isChecked());  // as FTP had it
  CConnectionDlg::Fill(out, dlg.GetValues());
  EXPECT_EQ(std::tie(out.protocol, out.tlsMode, out.port), std::tuple(0, 1, 2222));
  EXPECT_EQ(out.hostKey + "|" + out.pinnedFingerprint, "|AA:BB");
  r.protocol = 7;
  CConnectionDlg unknown(false, CConnectionDlg::FromRecord(r));
  CConnectionDlg::Fill(out, unknown.GetValues());
  EXPECT_EQ(out.protocol, 7);
}

// The window's thread reads nothing until the compare has made every record;
// the tree is then built from them whole and in their order.
TEST_F(Gui, TheTreeIsBuiltFromTheRecordsWhenTheCompareRunsAheadOfTheWindow) {
  // 30 folders each with a sub-folder in step, one here only, one there only; every fifth differs itself.
  for (int d = 0; d < 30; ++d) {
    const std::string t = "t" + std::to_string(10 + d);
    for (const std::string& root : {local.path() + "/", serverRoot / "site/"}) test::WriteFile(root + t + "/s0/same.txt", "x", T0);
    test::WriteFile(local / (t + "/s1/up.txt"), "x", T0);
    test::WriteFile(serverRoot / ("site/" + t + "/s2/down.txt"), "x", T0);
    test::WriteFile(local / (t + "/top.txt"), "x", T0 + (d % 5 == 0 ? 100 : 0));
    test::WriteFile(serverRoot / ("site/" + t + "/top.txt"), "x", T0);
  }
  Start();
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }));
  View()->OnCompare();
  while (View()->IsWaitingOnServer()) QApplication::processEvents();  // up to the start, not what it posts
  const size_t total = 1 + 30 * 4;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (View()->Collection().GetCount() < total && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(View()->Collection().GetCount(), total);
  EXPECT_EQ(View()->Tree()->topLevelItemCount(), 0);
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }));
  QApplication::processEvents();

  CFolderTreeCtrl* tree = View()->Tree();
  EXPECT_EQ(tree->topLevelItem(0)->childCount(), 30);
  std::map<std::string, QTreeWidgetItem*> byPath;
  for (size_t i = 0; i < total; ++i) {
    const CFolderRecord* r = View()->Collection().GetAt(i);
    QTreeWidgetItem* item = tree->FindItem(r);
    ASSERT_NE(item, nullptr) << r->localPath;
    byPath[r->localPath] = item;
    EXPECT_EQ(item->text(0).toStdString(), r->name);
    EXPECT_EQ(item->parent(), r->parent ? tree->FindItem(r->parent) : nullptr) << r->localPath;
    EXPECT_EQ(Look(item), std::tuple(static_cast<int>(r->folderClass), r->TreeOverlay(), r->TreeBold())) << r->localPath;
    EXPECT_EQ(item->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator, item->childCount() > 0);
    // Siblings in the order of their records; the way to a bold item is open.
    if (const int at = item->parent() ? item->parent()->indexOfChild(item) : 0; at > 0) {
      EXPECT_LT(CFolderTreeCtrl::Record(item->parent()->child(at - 1))->index, i);
    }
    for (QTreeWidgetItem* p = item->parent(); p && item->font(0).bold(); p = p->parent()) EXPECT_TRUE(p->isExpanded());
  }
  for (auto [path, look] : {std::pair{"t10", std::tuple(1, 2, true)}, {"t11", {1, 0, false}}, {"t11/s0", {1, 0, false}},
                            {"t11/s1", {2, 2, true}}, {"t11/s2", {3, 3, true}}})
    EXPECT_EQ(Look(byPath[local / path]), look) << path;
  int items = 0;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) ++items;
  EXPECT_EQ(static_cast<size_t>(items), total);
}

// vsftpd in its local time (5:30 ahead), read-only for the anonymous login:
// the status line says the offset is unknown; the Connection dialog sets a
// fixed one, after which the compare is right and the pane is blank.
TEST_F(Gui, UnknownServerOffsetInTheStatusLineAndAFixedOneFromTheConnectionDialog) {
  test::TempDir vsftpd;
  const int64_t base = (static_cast<int64_t>(std::time(nullptr)) - 2 * 86400) / 60 * 60 + 20;
  test::WriteFile(vsftpd / "anon/ro/site/same.css", "css", base);
  test::WriteFile(vsftpd / "anon/ro/site/index.html", "old home", base);
  test::WriteFile(local / "same.css", "css", base);
  test::WriteFile(local / "index.html", "new home", base + 600);
  std::string why;
  server = test::FtpTestServer::StartVsftpdLocalTime(vsftpd.path(), "IST-5:30", &why);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port(), "Local time", [](CConnectionProperties& r) {
    r.anonymous = 1;  // anonymous: read-only
    r.userName.clear();
    r.password.clear();
    r.remotePath = "/ro/site";
  });
  MakeFrame();
  ConnectAndCompare();
  EXPECT_EQ(Pane(2), "Server time offset unknown: taken as UTC");
  EXPECT_TRUE(frame->Pane(2)->toolTip().contains("Set the offset")) << frame->Pane(2)->toolTip().toStdString();
  View()->OnDisconnect();
  ASSERT_TRUE(test::WaitForServer(*View()));
  EXPECT_EQ(Pane(2), " ");
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
  EXPECT_TRUE(refused && edited);
  EXPECT_EQ(GetServerOffset(*View()->Connections().At(0)).Text(), "+05:30");
  Compare();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"> index.html", "= same.css"}));
  EXPECT_EQ(Pane(2), " ");
}

// A server that stops answering, in a compare (a listing that never ends) and
// then at a delete (DELE never answered): the window keeps turning and refuses
// to close while busy; Stop ends each wait well before the reply time-out and
// leaves a tree whose every item has its record and the reverse; nothing is
// taken as deleted.
TEST_F(Gui, StopEndsWhatASilentServerLeavesUnansweredAndTheWindowKeepsTurning) {
  MakeSite();
  test::WriteFile(serverRoot / "site/stall/x.txt", "x", T0);
  test::FtpTestServer::PyOptions o;
  o.stallList = "stall";
  o.extraArgs = {"--silent-on", "DELE"};
  Start(o);
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }));
  View()->OnCompare();
  // The walk may be the one waiting on stall/, before it is in the tree: certain is that the compare hangs.
  WaitFor([&] { return Item("stall") != nullptr; }, 5000);
  WaitFor([] { return false; }, 300);
  ASSERT_TRUE(View()->IsBusy() && frame->IsBusy());
  QString said;
  auto seen = OnModal("", [&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) said = box->text();
    static_cast<QDialog*>(w)->accept();
  });
  frame->close();
  ASSERT_TRUE(WaitFor([&] { return *seen; }));
  EXPECT_EQ(said, "Twinbay is busy");
  EXPECT_TRUE(frame->isVisible());
  View()->OnStop();
  EXPECT_FALSE(View()->CanStop());
  ASSERT_TRUE(WaitFor([&] { return !View()->IsBusy(); }, 10000));
  QApplication::processEvents();
  const size_t records = View()->Collection().GetCount();
  int items = 0;
  for (QTreeWidgetItemIterator it(View()->Tree()); *it; ++it, ++items) EXPECT_NE(CFolderTreeCtrl::Record(*it), nullptr);
  EXPECT_EQ(static_cast<size_t>(items), records);
  for (size_t i = 0; i < records; ++i) EXPECT_NE(View()->Tree()->FindItem(View()->Collection().GetAt(i)), nullptr);

  Show(View()->Tree()->topLevelItem(0));
  ASSERT_TRUE(WaitFor([&] { return Model()->rowCount() > 0; }));
  Select({"down.html"});
  Delete(false, true, false);
  ASSERT_TRUE(View()->IsWaitingOnServer());
  WaitFor([] { return false; }, 300);
  EXPECT_TRUE(View()->IsWaitingOnServer());  // DELE unanswered, the loop turning
  EXPECT_TRUE(View()->CanStop());
  View()->OnStop();
  ASSERT_TRUE(test::WaitForServer(*View(), 10000));
  EXPECT_FALSE(View()->IsBusy());
  EXPECT_TRUE(std::filesystem::exists(local / "down.html"));
  ASSERT_TRUE(WaitFor([&] { return RowOf("down.html") >= 0; }));
  EXPECT_TRUE(Entry("down.html")->remote.has_value());
  EXPECT_TRUE(StatusMessage().startsWith("1 delete stopped or failed"));
  ASSERT_TRUE(WaitFor([&] { return !frame->IsBusy(); }));
  EXPECT_TRUE(frame->close());
}

}  // namespace
}  // namespace twinbay
