#include "preview/MdbTrial.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "preview/MdbDatabase.h"

namespace dravik::preview {

namespace {

constexpr int kTrialPassed = 0;
constexpr int kTrialRefused = 1;
constexpr auto kPoll = std::chrono::milliseconds(5);
// What the child may allocate beyond the address space it inherits: the loop
// found by the fuzz run allocates without end.
constexpr rlim_t kTrialMemory = rlim_t{512} * 1024 * 1024;

void LimitMemory() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  if (!(statm >> pages)) return;
  const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + kTrialMemory;
  const rlimit bound{limit, limit};
  setrlimit(RLIMIT_AS, &bound);
}

// In the child: only libmdb's reading, then _exit, so that nothing of the
// program's own state (Qt's threads and objects) runs after the fork.
[[noreturn]] void RunTrial(const QByteArray& bytes) {
  alarm(static_cast<unsigned>(kMdbTrialMs / 1000 + 1));
  LimitMemory();
  // libmdb dumps damaged pages to the standard streams; the trial keeps quiet.
  const int quiet = open("/dev/null", O_WRONLY);
  if (quiet >= 0) {
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
  }
  auto database = MdbDatabase::Open(bytes);
  if (!database) _exit(kTrialRefused);
  for (const QString& table : database->Tables()) database->Read(table);
  _exit(kTrialPassed);
}

}  // namespace

bool MdbTrialSucceeds(const QByteArray& bytes, int timeoutMs) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) RunTrial(bytes);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kPoll);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return done == child && WIFEXITED(status) && WEXITSTATUS(status) == kTrialPassed;
}

}  // namespace dravik::preview
