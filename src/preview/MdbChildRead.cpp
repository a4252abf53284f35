#include "preview/MdbChildRead.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "preview/PreviewFile.h"

namespace dravik::preview {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChildDone = 0;
constexpr int kChildRefused = 1;
constexpr auto kPoll = std::chrono::milliseconds(5);
// What the child may allocate beyond the address space it inherits: libmdb
// allocates gigabytes on some damaged catalogs.
constexpr rlim_t kChildMemory = rlim_t{512} * 1024 * 1024;
// The most a child may hand back: a table's text at its limit with the
// lengths of the cells of its most rows and columns.
constexpr qsizetype kMaxMessage = qsizetype{256} * 1024 * 1024;
constexpr std::size_t kChunk = 65536;

// What a child hands back, little-endian: a text is its UTF-8 length (4 bytes)
// and bytes, a list its count (4 bytes) and texts. A catalog is the lists of
// tables, queries and relations; records are the total (8 bytes), the list of
// columns, the count of rows (4 bytes) and each row as a list.
void PutU32(QByteArray& out, quint32 value) {
  for (int i = 0; i < 4; ++i) out.append(char(value >> (8 * i)));
}

void PutU64(QByteArray& out, quint64 value) {
  PutU32(out, quint32(value));
  PutU32(out, quint32(value >> 32));
}

void PutList(QByteArray& out, const QStringList& texts) {
  PutU32(out, quint32(texts.size()));
  for (const QString& text : texts) {
    const QByteArray utf8 = text.toUtf8();
    PutU32(out, quint32(utf8.size()));
    out.append(utf8);
  }
}

void PutRecords(QByteArray& out, const MdbRecords& records) {
  PutU64(out, quint64(records.total));
  PutList(out, records.columns);
  PutU32(out, quint32(records.rows.size()));
  for (const QStringList& row : records.rows) PutList(out, row);
}

// Reads a child's message; any length past its end spoils the whole.
class MessageReader {
 public:
  explicit MessageReader(const QByteArray& message) : bytes_(AsBytes(message)) {}

  quint32 U32() {
    if (!Has(4)) return 0;
    const quint32 value = le32(bytes_, at_);
    at_ += 4;
    return value;
  }
  quint64 U64() {
    if (!Has(8)) return 0;
    const quint64 value = le64(bytes_, at_);
    at_ += 8;
    return value;
  }
  QStringList List() {
    QStringList texts;
    // Each text takes at least its length field, so a false count ends at the message's end.
    for (quint32 count = U32(); count > 0 && ok_; --count) {
      const quint32 length = U32();
      if (!Has(length)) break;
      texts << QString::fromUtf8(reinterpret_cast<const char*>(bytes_.data() + at_), qsizetype(length));
      at_ += length;
    }
    return texts;
  }
  bool Ok() const { return ok_; }
  bool AtEnd() const { return ok_ && at_ == bytes_.size(); }

 private:
  bool Has(std::size_t count) {
    ok_ = ok_ && bytes_.size() - at_ >= count;
    return ok_;
  }
  Bytes bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void LimitMemory() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  if (!(statm >> pages)) return;
  const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + kChildMemory;
  const rlimit bound{limit, limit};
  setrlimit(RLIMIT_AS, &bound);
}

// A child that crashes leaves nothing behind: no core file in the working
// folder, nothing for the system's crash collector.
void NoCoreDump() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

bool WriteAll(int fd, const QByteArray& message) {
  const char* data = message.constData();
  qsizetype left = message.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, std::size_t(left));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

// In the child: only libmdb's reading and the message, then _exit, so that
// nothing of the program's own state (Qt's threads and objects) runs after the
// fork. The child writes no file: its only output is the pipe.
template <typename Work>
[[noreturn]] void RunChild(const QByteArray& bytes, int timeoutMs, int out, const Work& work) {
  alarm(static_cast<unsigned>(timeoutMs / 1000 + 1));
  NoCoreDump();
  LimitMemory();
  // libmdb dumps damaged pages to the standard streams; the child keeps quiet.
  const int quiet = open("/dev/null", O_WRONLY);
  if (quiet >= 0) {
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
  }
  auto database = MdbDatabase::Open(bytes);
  if (!database) _exit(kChildRefused);
  QByteArray message;
  if (!work(*database, message)) _exit(kChildRefused);
  _exit(WriteAll(out, message) ? kChildDone : kChildRefused);
}

// Waits for the child until the deadline; kills it when it is late. True when it exited with kChildDone.
bool EndChild(pid_t child, Clock::time_point deadline) {
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(kPoll);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return done == child && WIFEXITED(status) && WEXITSTATUS(status) == kChildDone;
}

// Gathers what the child writes until it closes the pipe, the deadline passes
// or the message grows past its bound.
bool Gather(int in, Clock::time_point deadline, QByteArray& message) {
  char chunk[kChunk];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{in, POLLIN, 0};
    const int polled = poll(&ready, 1, int(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    const ssize_t got = read(in, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (message.size() + got > kMaxMessage) return false;
    message.append(chunk, qsizetype(got));
  }
}

// The message of a child that opened the database and did the work, when it
// exited normally in time.
template <typename Work>
std::optional<QByteArray> ReadApart(const QByteArray& bytes, int timeoutMs, const Work& work) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return std::nullopt;
  }
  if (child == 0) {
    close(channel[0]);
    RunChild(bytes, timeoutMs, channel[1], work);
  }
  close(channel[1]);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  QByteArray message;
  const bool whole = Gather(channel[0], deadline, message);
  close(channel[0]);
  // A child that is cut off ends at once: the deadline has passed, or it has nowhere to write.
  const bool exited = EndChild(child, whole ? deadline : Clock::now());
  if (!whole || !exited) return std::nullopt;
  return message;
}

}  // namespace

std::optional<MdbCatalog> ReadMdbCatalogApart(const QByteArray& bytes, int timeoutMs) {
  const auto message = ReadApart(bytes, timeoutMs, [](const MdbDatabase& database, QByteArray& out) {
    // Every table is read here as a click on it reads it, so that a file whose
    // records break libmdb is refused at once rather than on the click.
    for (const QString& table : database.Tables()) database.Read(table);
    PutList(out, database.Tables());
    PutList(out, database.Queries());
    PutList(out, database.Relations());
    return true;
  });
  if (!message) return std::nullopt;
  MessageReader reader(*message);
  MdbCatalog catalog;
  catalog.tables = reader.List();
  catalog.queries = reader.List();
  catalog.relations = reader.List();
  if (!reader.AtEnd()) return std::nullopt;
  return catalog;
}

std::optional<MdbRecords> ReadMdbTableApart(const QByteArray& bytes, const QString& table, int timeoutMs) {
  const auto message = ReadApart(bytes, timeoutMs, [&table](const MdbDatabase& database, QByteArray& out) {
    const std::optional<MdbRecords> records = database.Read(table);
    if (records) PutRecords(out, *records);
    return records.has_value();
  });
  if (!message) return std::nullopt;
  MessageReader reader(*message);
  MdbRecords records;
  records.total = qint64(reader.U64());
  records.columns = reader.List();
  for (quint32 rows = reader.U32(); rows > 0 && reader.Ok(); --rows) records.rows << reader.List();
  if (!reader.AtEnd()) return std::nullopt;
  return records;
}

}  // namespace dravik::preview
