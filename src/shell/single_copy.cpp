#include "shell/single_copy.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>

#include "shell/main_frame.h"

namespace twinbay {

namespace {

// The profiles of a command line: every argument that is not a switch, made
// absolute (the running copy works in a folder of its own).
QStringList Profiles(const QStringList& args) {
  QStringList out;
  for (int i = 1; i < args.size(); ++i)
    if (!args[i].startsWith('-')) out << QFileInfo(args[i]).absoluteFilePath();
  return out;
}

// With no screen to show a box on (offscreen, a script), the notice goes to
// stderr instead of a modal box nobody can close.
void SayAlreadyRunning() {
  const QString platform = QGuiApplication::platformName();
  if (platform == "offscreen" || platform == "minimal")
    std::fputs("Twinbay is already running\n", stderr);
  else
    QMessageBox::warning(nullptr, "Twinbay", "Twinbay is already running");
}

}  // namespace

CSingleCopy::CSingleCopy(const QString& name) : name_(name), lock_(name + ".lock") { lock_.setStaleLockTime(0); }

QString CSingleCopy::DefaultName() {
  QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (runtime.isEmpty()) runtime = QDir::tempPath();
  return runtime + "/" + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

std::unique_ptr<CMainFrame> CSingleCopy::Start(const QStringList& args, const QString& connectionsFile) {
  const QStringList profiles = Profiles(args);
  if (!lock_.tryLock(100)) {
    handedOver_ = !profiles.isEmpty() && HandOver(profiles);
    if (!handedOver_) SayAlreadyRunning();
    return nullptr;
  }
  auto frame = std::make_unique<CMainFrame>(connectionsFile);
  for (const QString& p : profiles) frame->OpenProfile(p);
  Listen(frame.get());
  return frame;
}

// One path a line; the end of the connection ends the list.
bool CSingleCopy::HandOver(const QStringList& profiles) {
  QLocalSocket socket;
  socket.connectToServer(name_ + ".sock");
  if (!socket.waitForConnected(2000)) return false;
  socket.write(profiles.join('\n').toUtf8());
  socket.disconnectFromServer();
  return socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(2000);
}

// A socket left by a copy that ended without cleaning up is ours to replace:
// we hold the lock.
void CSingleCopy::Listen(CMainFrame* frame) {
  QLocalServer::removeServer(name_ + ".sock");
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(name_ + ".sock")) return;  // a window without hand-overs is still a window
  QObject::connect(&server_, &QLocalServer::newConnection, frame, [this, frame] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, frame, [socket, frame] {
        const QStringList paths = QString::fromUtf8(socket->readAll()).split('\n', Qt::SkipEmptyParts);
        for (const QString& p : paths) frame->OpenProfile(p);
        if (!paths.isEmpty()) frame->raise(), frame->activateWindow();
        socket->deleteLater();
      });
    }
  });
}

}  // namespace twinbay
