#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

#include "app/AppTexts.h"

namespace dravik::app {

QString SingleInstance::LockPath() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  QString name = QString::fromLatin1(AppTexts::kInstanceLock);
  name.replace(QLatin1Char('\\'), QLatin1Char('_'));
  return folder + QLatin1Char('/') + name + QStringLiteral(".lock");
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  fd_ = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return true;  // without a runtime folder there is nothing to guard
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  ::close(fd_);
  fd_ = -1;
  return false;
}

}  // namespace dravik::app
