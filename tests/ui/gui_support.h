// Driving the real widgets from tests, benchmarks and the screenshot tool.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "core/connections.h"
#include "ui/view/twinbay_view.h"

namespace twinbay::test {

// Runs the event loop until pred() holds or the time is up.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 15000) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Once a modal window named `name` (any modal window when empty) is up,
// calls act(window). Returns a flag that turns true when it has acted.
inline std::shared_ptr<bool> OnModal(const QString& name, std::function<void(QWidget*)> act, int ms = 15000) {
  auto done = std::make_shared<bool>(false);
  auto* timer = new QTimer(QCoreApplication::instance());
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [=] {
    QWidget* w = QApplication::activeModalWidget();
    const bool found = w && (name.isEmpty() || w->objectName() == name);
    if (!found && clock->elapsed() <= ms) return;
    timer->stop();
    timer->deleteLater();
    if (found) {
      *done = true;
      act(w);
    }
  });
  timer->start();
  return done;
}

// Runs the event loop until the window no longer waits on the server.
inline bool WaitForServer(const CTwinbayView& view, int ms = 15000) {
  return WaitFor([&] { return !view.IsWaitingOnServer(); }, ms);
}

// Settings of the tests go to a folder of their own.
inline void UseSettingsFolder(const QString& folder) {
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

// Writes (or with `append` adds to) a connections file a record "Test server":
// 127.0.0.1:port as tester/secret, localPath and /site; `edit` changes it first.
inline bool SaveTestConnection(const std::string& file, int port, const std::string& localPath,
                               const std::function<void(CConnectionProperties&)>& edit = {}, bool append = false) {
  ConnectionsList list(file);
  if (append) list.Load();
  auto r = std::make_unique<CConnectionProperties>();
  r->description = "Test server";
  r->host = "127.0.0.1";
  r->port = port;
  r->userName = "tester";
  r->password = "secret";
  r->localPath = localPath;
  r->remotePath = "/site";
  if (edit) edit(*r);
  list.Add(std::move(r));
  return list.Save().ok;
}

// Selects the first stored connection in the Connections dialog.
inline void SelectFirstConnection(QWidget* connectionsDialog) {
  auto* list = connectionsDialog->findChild<QListWidget*>("connections");
  list->setCurrentRow(0);
  list->item(0)->setSelected(true);
}

// Connects as the user does, with the first stored connection; the connect runs on.
inline void ConnectWithFirstConnection(CTwinbayView& view) {
  OnModal("ConnectionsDialog", [](QWidget* w) {
    SelectFirstConnection(w);
    w->findChild<QPushButton*>("connect")->click();
  });
  view.OnConnect();
}

}  // namespace twinbay::test
