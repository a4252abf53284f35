#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "app/AppTexts.h"

namespace dravik::app {

namespace {

// The largest path message taken from a later start; more is not a path.
constexpr qint64 kMaxMessage = 64 * 1024;

}  // namespace

QString SingleInstance::Folder() {
  const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (!runtime.isEmpty()) return runtime;
  // The temporary folder is shared by all users: the lock and the socket go
  // into a folder named after the user's id, so that users never meet.
  const QString own = QDir::tempPath() + QStringLiteral("/dravik-vhd-%1").arg(::getuid());
  QDir().mkpath(own);
  QFile::setPermissions(own, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  return own;
}

QString SingleInstance::LockPath() {
  QString name = QString::fromLatin1(AppTexts::kInstanceLock);
  name.replace(QLatin1Char('\\'), QLatin1Char('_'));
  return Folder() + QLatin1Char('/') + name + QStringLiteral(".lock");
}

QString SingleInstance::SocketPath() {
  QString path = LockPath();
  path.chop(int(sizeof(".lock")) - 1);
  return path + QStringLiteral(".socket");
}

SingleInstance::SingleInstance(const QString& lockPath, const QString& socketPath)
    : lockPath_(lockPath), socketPath_(socketPath) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire() {
  const QByteArray native = QFile::encodeName(lockPath_);
  fd_ = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return true;  // without a runtime folder there is nothing to guard
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  // Holding the lock, any socket left at the path is one a crashed run
  // left behind.
  QLocalServer::removeServer(socketPath_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::Accept);
  server_->listen(socketPath_);
  return true;
}

void SingleInstance::Accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // The path is UTF-8 up to a line feed; a sender that closes without one
    // delivers nothing.
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessage) socket->abort();
        return;
      }
      const QString path = QString::fromUtf8(socket->readLine()).chopped(1);
      socket->write("ok\n");
      socket->disconnectFromServer();
      if (!path.isEmpty()) Q_EMIT PathReceived(path);
    });
  }
}

bool SingleInstance::HandOver(const QString& path, int timeoutMs) const {
  const QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  // The running program takes its lock a moment before it listens: try again until the deadline.
  for (;;) {
    socket.connectToServer(socketPath_);
    if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) break;
    if (deadline.hasExpired()) return false;
    QThread::msleep(100);
  }
  socket.write(QFileInfo(path).absoluteFilePath().toUtf8() + '\n');
  if (!socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())))) return false;
  // The answer says the running program read the whole path.
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) return false;
  return socket.readLine() == "ok\n";
}

}  // namespace dravik::app
