#pragma once
// One running program per user: a lock file named after the instance text
// in the user's runtime folder, held (flock) for the life of the process.
// The lock goes with the process, so a crash never leaves it behind.
//
// The process holding the lock also listens on a local socket beside it;
// a later start that finds the lock taken hands its path over that socket
// to the running window instead of opening a second one.

#include <QObject>
#include <QString>

class QLocalServer;

namespace dravik::app {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // The user's own folder for the lock and the socket: the runtime folder,
  // or a folder of the user's in the temporary folder.
  static QString Folder();
  // The lock file's path: the instance text made safe as a file name.
  static QString LockPath();
  // The socket's path beside the lock.
  static QString SocketPath();

  explicit SingleInstance(const QString& lockPath = LockPath(), const QString& socketPath = SocketPath());
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  ~SingleInstance() override;
  // False when another process holds the lock. When this one takes it, it
  // starts listening for paths from later starts.
  bool Acquire();
  // Sends a path to the process holding the lock; false when none answered
  // within timeoutMs (the running program may still be starting).
  bool HandOver(const QString& path, int timeoutMs = 3000) const;

 Q_SIGNALS:
  // A later start asked the running program to open this (absolute) path.
  void PathReceived(const QString& path);

 private:
  void Accept();

  QString lockPath_;
  QString socketPath_;
  int fd_ = -1;
  QLocalServer* server_ = nullptr;
};

}  // namespace dravik::app
