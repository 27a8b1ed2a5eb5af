// The desktop program's real widgets against real servers, offscreen:
// failed connects and links, trust prompts, the server offset and Stop.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidgetItemIterator>
#include <ctime>

#include "gui_fixture.h"
#include "net/server_time.h"
#include "support/sshd_server.h"
#include "widgets/hyperlink.h"

namespace twinbay {
namespace {

using test::OnModal;
using test::T0;
using test::WaitFor;
using Gui = test::GuiTest;

// A failed connect is told; deleting the record it left current leaves none
// dangling; a link that cannot be opened is told and not marked visited.
TEST_F(Gui, FailuresAreToldAndNothingIsLeftDangling) {
  StoreRecord(1);  // nothing listens there
  MakeFrame();
  auto failed = Answer("ConnectFailed", QMessageBox::Ok);
  Connect();
  ASSERT_TRUE(WaitFor([&] { return *failed && !View()->IsBusy(); }));
  EXPECT_FALSE(View()->IsConnected());
  ASSERT_NE(View()->CurrentRecord(), nullptr);
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    Answer("", QMessageBox::Yes);
    w->findChild<QPushButton*>("delete")->click();
    static_cast<QDialog*>(w)->reject();
  });
  View()->OnConnect();
  EXPECT_EQ(View()->CurrentRecord(), nullptr);
  QObject noHandler;
  QDesktopServices::setUrlHandler("https", &noHandler, "NoSuchSlot");
  for (const QString& url : {QUrl::fromLocalFile(QString::fromStdString(home / "no.htm")).toString(), QString("https://x.example/")}) {
    CHyperLink link("link", url);
    auto told = Answer("LinkError", QMessageBox::Ok);
    EXPECT_FALSE(link.Open()) << url.toStdString();
    EXPECT_TRUE(*told && !link.Visited()) << url.toStdString();
  }
  QDesktopServices::unsetUrlHandler("https");
}

// TLS: a self-signed certificate is asked about with its fingerprint; trusted,
// it is pinned and the connect goes through encrypted. The password typed at
// the prompt is not stored by the save that pins the certificate.
TEST_F(Gui, TrustThisCertificateThenConnectedEncrypted) {
  test::FtpTestServer::Tls cert;
  std::string why;
  ASSERT_TRUE(test::MakeTestCertificate(serverRoot / "cert", "127.0.0.1", cert, &why)) << why;
  const std::string fingerprint = test::OpensslFingerprint(cert.certFile);
  server = test::FtpTestServer::StartPureFtpd(serverRoot / "srv", &why, 0, 0, 0, &cert);
  ASSERT_TRUE(server) << why;
  StoreRecord(server->port(), [](CConnectionProperties& r) {
    r.password.clear();
    r.remotePath = "/";
    r.tlsMode = static_cast<int32_t>(FtpTls::Explicit);
  });
  MakeFrame();
  QString asked;
  Answer("TrustCertificate", QMessageBox::Yes, &asked);
  OnModal("PasswordDialog", [](QWidget* w) {
    w->findChild<QLineEdit*>("password")->setText("secret");
    static_cast<QDialog*>(w)->accept();
  });
  Connect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  EXPECT_EQ(asked.count(QString::fromStdString(fingerprint)), 1) << asked.toStdString();
  ConnectionsList saved(ConnectionsFile());
  ASSERT_TRUE(saved.Load().ok);
  EXPECT_EQ(std::tie(saved.At(0)->pinnedFingerprint, saved.At(0)->tlsMode, saved.At(0)->password), std::tuple(fingerprint, 1, ""));
  EXPECT_EQ(Pane(1), "Connected (encrypted)");
}

// SFTP: an unknown host key is asked about once, No the default; Yes pins it
// and connects. A key other than the pinned one stops the connect with a
// critical message that cannot accept it. The key's passphrase is asked for
// once and still serves the connect made again after the trust.
TEST_F(Gui, AnUnknownHostKeyIsAskedAboutOnceAndAChangedOneRefused) {
  std::string why;
  test::MakeFolder(serverRoot / "sshd");
  ASSERT_TRUE(test::MakeSshKey(serverRoot / "locked", "ecdsa", "open sesame"));
  auto sshd = test::SshTestServer::StartSshd(serverRoot / "sshd", &why, {serverRoot / "locked.pub"});
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
    StoreRecord(sshd->port(), [&](CConnectionProperties& r) {
      std::tie(r.protocol, r.userName, r.password, r.keyFile, r.hostKey, r.remotePath) =
          std::tuple(1, "root", "", serverRoot / "locked", pin, "");
    });
    MakeFrame();
    int asked = 0, passphrases = 0;
    OnModal("PassphraseDialog", [&](QWidget* w) {
      ++passphrases;
      static_cast<QInputDialog*>(w)->setTextValue("open sesame");
      static_cast<QDialog*>(w)->accept();
    });
    auto password = OnModal("PasswordDialog", [](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
    bool noIsDefault = false, critical = false;
    QString details;
    OnModal(pin.empty() ? "TrustHostKey" : "HostKeyChanged", [&](QWidget* w) {
      auto* box = static_cast<QMessageBox*>(w);
      ++asked;
      details = box->informativeText();
      noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
      critical = box->icon() == QMessageBox::Critical && !box->button(QMessageBox::Yes);
      box->button(pin.empty() ? QMessageBox::Yes : QMessageBox::Ok)->click();
    });
    auto failed = Answer("ConnectFailed", QMessageBox::Ok);
    Connect();
    ASSERT_TRUE(WaitFor([&] { return asked == 1 && !View()->IsBusy(); })) << View()->LastError();
    EXPECT_TRUE(!*failed && !*password && passphrases == 1);
    EXPECT_EQ(details.count(QString::fromStdString(fp)), 1) << details.toStdString();
    ConnectionsList saved(ConnectionsFile());
    ASSERT_TRUE(saved.Load().ok);
    EXPECT_EQ(saved.At(0)->hostKey, pin.empty() ? fp : pin);
    EXPECT_TRUE(pin.empty() ? noIsDefault : critical);
    EXPECT_EQ(pin.empty() ? WaitFor([&] { return View()->IsConnected(); }) : View()->IsConnected(), pin.empty());
    TearDown();
  }
}

// vsftpd in its local time (5:30 ahead), read-only for the anonymous login:
// the status line warns that the offset is unknown; a fixed one typed in the
// Connection dialog is stored and makes the compare right.
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
  StoreRecord(server->port(), [](CConnectionProperties& r) {
    std::tie(r.anonymous, r.userName, r.password, r.remotePath) = std::tuple(1, "", "", "/ro/site");  // read-only
  });
  MakeFrame();
  ConnectAndCompare();
  EXPECT_EQ(Pane(2), "Server time offset unknown: taken as UTC");
  View()->OnDisconnect();
  ASSERT_TRUE(test::WaitForServer(*View()));
  OnModal("ConnectionsDialog", [&](QWidget* w) {
    test::SelectFirstConnection(w);
    OnModal("ConnectionDialog", [&](QWidget* d) {
      d->findChild<QLineEdit*>("serverOffset")->setText("+05:30");
      static_cast<QDialog*>(d)->accept();
    });
    w->findChild<QPushButton*>("edit")->click();
    w->findChild<QPushButton*>("connect")->click();
  });
  View()->OnConnect();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); })) << View()->LastError();
  EXPECT_EQ(GetServerOffset(*View()->Connections().At(0)).Text(), "+05:30");
  Compare();
  EXPECT_EQ(Rows(), (test::Names{"> index.html", "= same.css"}));
  EXPECT_EQ(Pane(2), " ");
}

// A server that stops answering, in a compare (a listing that never ends) and
// then at a delete (DELE never answered): the window keeps turning and will
// not close while busy; Stop ends each wait and leaves a tree whose every item
// has its record and the reverse; nothing is taken as deleted.
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
  WaitFor([&] { return Item("stall") != nullptr; }, 5000);  // the walk may wait on stall/ before it is in the tree
  WaitFor([] { return false; }, 300);
  ASSERT_TRUE(View()->IsBusy() && frame->IsBusy());
  auto refused = Answer("", QMessageBox::Ok);
  frame->close();
  ASSERT_TRUE(WaitFor([&] { return *refused; }));
  EXPECT_TRUE(frame->isVisible());
  View()->OnStop();
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
  WaitFor([] { return false; }, 300);
  EXPECT_TRUE(View()->IsWaitingOnServer() && View()->CanStop());  // DELE unanswered, the loop turning
  View()->OnStop();
  ASSERT_TRUE(test::WaitForServer(*View(), 10000));
  EXPECT_FALSE(View()->IsBusy());
  ASSERT_TRUE(WaitFor([&] { return RowOf("down.html") >= 0; }));
  EXPECT_TRUE(Entry("down.html")->remote.has_value());
  EXPECT_TRUE(StatusMessage().startsWith("1 delete stopped or failed"));
  ASSERT_TRUE(WaitFor([&] { return !frame->IsBusy(); }));
  EXPECT_TRUE(frame->close());
}

}  // namespace
}  // namespace twinbay
