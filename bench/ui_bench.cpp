// How long the user-interface thread's event loop is kept from running while
// a compare of a large tree (50,000 files by default) runs on its worker, and
// (with "blocked") while a server stops answering in the middle of a compare,
// a synchronize and a delete that the user then stops. A 2 ms timer measures
// the gaps between its ticks.
//
//   ui_bench [files=50000] [folders=500]
//   ui_bench blocked
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "bench_util.h"
#include "core/connections.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "ui/gui_support.h"
#include "ui/view/file_list.h"
#include "ui/view/folder_tree_ctrl.h"
#include "ui/view/twinbay_view.h"

using namespace twinbay;

namespace {

// The longest gap between the ticks of a 2 ms timer while `run` goes on.
struct StallProbe {
  QElapsedTimer sinceTick;
  qint64 longest = 0;
  QTimer timer;
  StallProbe() {
    timer.setInterval(2);
    QObject::connect(&timer, &QTimer::timeout, [this] { longest = std::max(longest, sinceTick.restart()); });
    sinceTick.start();
    timer.start();
  }
};

std::unique_ptr<test::FtpTestServer> Serve(const std::string& root, std::vector<std::string> args, const std::string& stall) {
  test::FtpTestServer::PyOptions o;
  o.extraArgs = std::move(args);
  o.stallList = stall;
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root, o, &why);
  if (!server) std::printf("cannot start pyftpdlib: %s\n", why.c_str());
  return server;
}

// Connects a new window to `server` (remote /site, local `local`).
std::unique_ptr<CMainFrame> Window(const std::string& work, const std::string& local, int port) {
  test::SaveTestConnection(work + "/connections.ftp", port, local);
  auto frame = std::make_unique<CMainFrame>(QString::fromStdString(work + "/connections.ftp"));
  frame->show();
  test::ConnectWithFirstConnection(*frame->View());
  test::WaitFor([&] { return frame->View()->IsConnected(); }, 30000);
  return frame;
}

void Report(const char* what, const StallProbe& p, qint64 ms) {
  std::printf("%-52s longest event-loop stall %3lld ms (target < 100 ms), back to idle %.2f s after it began\n", what,
              static_cast<long long>(p.longest), ms / 1000.0);
}

int BlockedServer(const std::string& work) {
  const std::string local = work + "/local", root = work + "/server";
  std::filesystem::create_directories(root + "/site/stall");
  std::filesystem::create_directories(local);
  for (int i = 0; i < 20; ++i) {
    bench::MakeFile(root + "/site/f" + std::to_string(i) + ".html", 1'700'000'000);
    bench::MakeFile(local + "/f" + std::to_string(i) + ".html", 1'700'000'100);
  }
  bench::MakeFile(root + "/site/down.bin", 1'700'000'200);
  bench::MakeFile(root + "/site/stall/x.html", 1'700'000'000);
  // One server stops answering a listing of stall/ and any DELE; the other
  // any RETR. Each time the user presses Stop (Cancel) a second later.
  auto listingAndDelete = Serve(root, {"--silent-on", "DELE"}, "stall");
  auto retrieve = Serve(root, {"--silent-on", "RETR"}, "");
  if (!listingAndDelete || !retrieve) return 1;
  QElapsedTimer clock;
  {
    auto frame = Window(work, local, listingAndDelete->port());
    CTwinbayView* view = frame->View();
    StallProbe p;
    clock.start();
    view->OnCompare();
    test::WaitFor([] { return false; }, 1000);
    view->OnStop();
    test::WaitFor([&] { return !view->IsBusy(); }, 120000);
    Report("compare, a listing left unanswered, Stop:", p, clock.elapsed());

    view->Tree()->setCurrentItem(view->Tree()->topLevelItem(0));
    test::WaitFor([&] { return view->List()->Model()->rowCount() > 0; });
    view->List()->selectRow(0);
    test::OnModal("ConfirmDeleteDialog", [](QWidget* w) {
      w->findChild<QCheckBox*>("deleteRemote")->setChecked(true);
      w->findChild<QPushButton*>("ok")->click();
    });
    StallProbe d;
    clock.restart();
    view->OnDeleteSelected();
    test::WaitFor([] { return false; }, 1000);
    view->OnStop();
    test::WaitForServer(*view, 120000);
    Report("delete, DELE left unanswered, Stop:", d, clock.elapsed());
    view->ShutDown();
  }
  {
    auto frame = Window(work, local, retrieve->port());
    CTwinbayView* view = frame->View();
    view->OnCompare();
    test::WaitFor([&] { return !view->IsBusy(); }, 60000);
    test::OnModal("SyncConfirmDialog", [](QWidget* w) {
      w->findChild<QCheckBox*>("down")->setChecked(true);
      static_cast<QDialog*>(w)->accept();
    });
    test::OnModal("ProgressDialog", [](QWidget* w) {
      QTimer::singleShot(1000, w, [w] { w->findChild<QPushButton*>()->click(); });
      test::OnModal("TransferReport", [](QWidget* r) { static_cast<QDialog*>(r)->accept(); }, 120000);
    });
    StallProbe p;
    clock.start();
    view->OnSynchronize();
    test::WaitForServer(*view, 120000);
    test::WaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 120000);
    Report("synchronize, RETR left unanswered, Cancel:", p, clock.elapsed());
    view->ShutDown();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  InitCurlOnce();
  if (argc > 1 && std::string(argv[1]) == "blocked") {
    const std::string work = (std::filesystem::temp_directory_path() / "twinbay-ui-bench-blocked").string();
    std::filesystem::remove_all(work);
    test::UseSettingsFolder(QString::fromStdString(work + "/settings"));
    const int rc = BlockedServer(work);
    std::filesystem::remove_all(work);
    return rc;
  }
  const int files = argc > 1 ? std::atoi(argv[1]) : 50000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 500;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-ui-bench").string();
  std::filesystem::remove_all(work);
  test::UseSettingsFolder(QString::fromStdString(work + "/settings"));
  for (int d = 0; d < folders; ++d) {
    const std::string rel = "/g" + std::to_string(d % 10) + "/f" + std::to_string(d);
    std::filesystem::create_directories(work + "/server/site" + rel);
    std::filesystem::create_directories(work + "/local" + rel);
    for (int f = 0; f < files / folders; ++f) {
      bench::MakeFile(work + "/server/site" + rel + "/p" + std::to_string(f) + ".html", 1'700'000'000);
      bench::MakeFile(work + "/local" + rel + "/p" + std::to_string(f) + ".html", 1'700'000'000 + (f % 3) * 100);
    }
  }
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(work + "/server", {}, &why);
  if (!server) {
    std::printf("cannot start pyftpdlib: %s\n", why.c_str());
    return 1;
  }
  ConnectionsList list(work + "/connections.ftp");
  auto r = std::make_unique<CConnectionProperties>();
  r->description = "bench";
  r->host = "127.0.0.1";
  r->port = server->port();
  r->anonymous = 0;
  r->userName = server->user();
  r->password = server->password();
  r->localPath = work + "/local";
  r->remotePath = "/site";
  list.Add(std::move(r));
  list.Save();

  CMainFrame frame(QString::fromStdString(work + "/connections.ftp"));
  frame.show();
  test::ConnectWithFirstConnection(*frame.View());
  test::WaitFor([&] { return frame.View()->IsConnected(); }, 30000);

  QElapsedTimer clock, sinceTick;
  qint64 longest = 0, ticks = 0;
  QTimer probe;
  probe.setInterval(2);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    longest = std::max(longest, sinceTick.restart());
    ++ticks;
  });
  clock.start();
  sinceTick.start();
  probe.start();
  frame.View()->OnCompare();
  test::WaitFor([&] { return !frame.View()->IsBusy(); }, 600000);
  probe.stop();
  size_t entries = 0;
  for (size_t i = 0; i < frame.View()->Collection().GetCount(); ++i)
    entries += frame.View()->Collection().GetAt(i)->entries.size();
  std::printf("compare of %zu files in %zu folders through the window over %u connections: %.2f s\n", entries,
              frame.View()->Collection().GetCount(), static_cast<unsigned>(frame.View()->Settings().m_nConnections),
              clock.elapsed() / 1000.0);
  std::printf("longest time the event loop was blocked: %lld ms (target < 100 ms), %lld timer ticks\n",
              static_cast<long long>(longest), static_cast<long long>(ticks));
  frame.View()->ShutDown();
  server->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
