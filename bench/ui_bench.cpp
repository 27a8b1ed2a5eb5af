// How long the user-interface thread's event loop is kept from running while
// a compare of a large tree (50,000 files by default) runs on its worker. A
// 2 ms timer measures the gaps between its ticks.
//
//   ui_bench [files=50000] [folders=500]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "bench_util.h"
#include "net/connections.h"
#include "net/curl_ftp.h"
#include "shell/main_frame.h"
#include "support/ftp_servers.h"
#include "ui/gui_support.h"
#include "ui/view/twinbay_view.h"

using namespace twinbay;

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  InitCurlOnce();
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
