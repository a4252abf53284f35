#pragma once
// One running program per user: a lock file named after the instance text
// in the user's runtime folder, held (flock) for the life of the process.
// The lock goes with the process, so a crash never leaves it behind.

#include <QString>

namespace dravik::app {

class SingleInstance {
 public:
  // The lock file's path: the instance text made safe as a file name.
  static QString LockPath();
  SingleInstance() = default;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  ~SingleInstance();
  // False when another process holds the lock.
  bool Acquire(const QString& path = LockPath());

 private:
  int fd_ = -1;
};

}  // namespace dravik::app
