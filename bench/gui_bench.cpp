// Times the desktop program as a user drives it, on the offscreen platform
// unless QT_QPA_PLATFORM names another. Only measures and prints;
// bench/gui_scan.sh runs it against the command line.
//
//   dravik_bench_gui scan IMAGE [--partition N] [--runs R]
//     Quick Scan through the real window: the path on the start page, Quick
//     Scan, Next on the drive page, then R times Scan on the partition page
//     (partition N, by default the first NTFS one) and Back from the results.
//     Each run is timed from the Scan click until the results page is the
//     current page with its folder tree and list filled, and until the list
//     has been painted; a 5 ms timer on the interface thread records the
//     longest gap between two of its ticks over the same span.
//
//   dravik_bench_gui folder [--files N] [--runs R]
//     One folder of N files (default 200,000) in a store made in memory,
//     shown on the results page: listing it, the first paint of the details
//     view, scrolling to the end, sorting by two columns, unchecking and
//     checking the folder, unchecking one of its files. Each step is timed
//     until the details view has painted the change; the median of R runs
//     (default 3), each in a new window, is printed.
//
// Output: plain lines "label: value ms", one per figure.

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"

namespace dravik::app {
namespace {

constexpr int kTickMs = 5;
constexpr int kPageTimeoutMs = 600000;
constexpr int kPaintTimeoutMs = 10000;

double Ms(qint64 nanoseconds) { return static_cast<double>(nanoseconds) / 1e6; }

// The longest time between two ticks of a timer on the interface thread,
// from Start to Stop: how long the interface could not answer.
class EventLoopGaps {
 public:
  EventLoopGaps() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kTickMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    clock_.start();
    last_ = 0;
    longest_ = 0;
    longestEnd_ = 0;
    timer_.start();
  }
  // Counts the time since the last tick too: a Stop reached late is a gap.
  double Stop() {
    Tick();
    timer_.stop();
    return Ms(longest_);
  }
  // When the longest gap ended, since Start.
  double LongestEndedAt() const { return Ms(longestEnd_); }

 private:
  void Tick() {
    const qint64 now = clock_.nsecsElapsed();
    if (now - last_ > longest_) {
      longest_ = now - last_;
      longestEnd_ = now;
    }
    last_ = now;
  }
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 longest_ = 0;
  qint64 longestEnd_ = 0;
};

// Notes the paint events a widget receives.
class PaintWatch : public QObject {
 public:
  explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
  void Arm() { painted_ = false; }
  bool Painted() const { return painted_; }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted_ = true;
    return false;
  }

 private:
  bool painted_ = false;
};

// Runs the event loop until done() holds or the time is up; false then.
template <typename Done>
bool RunUntil(Done done, int timeoutMs) {
  bool late = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { late = true; });
  limit.start(timeoutMs);
  while (!done() && !late) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  return !late;
}

std::optional<int> IntOption(int argc, char** argv, const char* name) {
  for (int i = 0; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name) return std::atoi(argv[i + 1]);
  return std::nullopt;
}

bool Prepare(MainWindow& window, std::vector<QString>& messages) {
  window.wizard()->messenger().SetFunction([&messages](const QString& text, MessageKind, bool yesNo) {
    messages.push_back(text);
    return yesNo ? kNo : kYes;
  });
  window.resize(1024, 768);
  window.show();
  return QTest::qWaitForWindowExposed(&window);
}

// Says what went wrong, with the program's last message; the exit status.
int Fail(const char* what, const std::vector<QString>& messages) {
  std::fprintf(stderr, "dravik_bench_gui: %s%s%s\n", what, messages.empty() ? "" : "; last message: ",
               messages.empty() ? "" : messages.back().toLocal8Bit().constData());
  return 1;
}

int ScanBench(const QString& image, std::optional<int> partitionArg, int runs) {
  MainWindow window;
  std::vector<QString> messages;
  if (!Prepare(window, messages)) return Fail("the window was not shown", messages);
  Wizard* wizard = window.wizard();
  wizard->start->path->setText(image);
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  if (wizard->CurrentPage() != Wizard::kDrive) return Fail("the image did not open", messages);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  if (!RunUntil([&] { return wizard->CurrentPage() == Wizard::kPartition; }, kPageTimeoutMs))
    return Fail("no partition page", messages);

  const PartitionTable& partitions = wizard->session().partitions;
  int chosen = -1;
  if (partitionArg) {
    chosen = *partitionArg;
  } else {
    for (std::size_t i = 0; i < partitions.Count() && chosen < 0; ++i)
      if (partitions.Entries()[i].code == kNtfs) chosen = static_cast<int>(i);
  }
  if (chosen < 0 || static_cast<std::size_t>(chosen) >= partitions.Count())
    return Fail("no such partition (or no NTFS one)", messages);
  const PartitionEntry& entry = partitions.Entries()[static_cast<std::size_t>(chosen)];
  std::printf("image: %s\n", image.toLocal8Bit().constData());
  std::printf("partition: %d (%s, %llu sectors from sector %llu)\n", chosen, FsName(entry.code),
              static_cast<unsigned long long>(entry.sectors), static_cast<unsigned long long>(entry.start));

  ResultsPage* results = wizard->results;
  PaintWatch listPaint(results->details->viewport());
  EventLoopGaps gaps;
  QElapsedTimer clock;
  std::optional<qint64> shownAt;
  QObject::connect(wizard, &QStackedWidget::currentChanged, [&](int page) {
    if (page == Wizard::kResults && results->treeModel->rowCount() > 0 && results->listModel->rowCount() > 0)
      shownAt = clock.nsecsElapsed();
  });

  std::vector<double> toResults;
  double longestGap = 0;
  for (int run = 1; run <= runs; ++run) {
    QTreeWidgetItem* item = wizard->partition->partitions->topLevelItem(0)->child(chosen);
    wizard->partition->partitions->setCurrentItem(item);
    if (wizard->partition->Selected() != chosen) return Fail("cannot select the partition", messages);
    shownAt.reset();
    listPaint.Arm();
    gaps.Start();
    clock.start();
    QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
    // A scan that found nothing, or failed, leads back to the start page.
    const bool ended = RunUntil(
        [&] { return (shownAt && listPaint.Painted()) || wizard->CurrentPage() == Wizard::kStart; }, kPageTimeoutMs);
    if (!ended || !shownAt) return Fail("no results page", messages);
    const qint64 paintedAt = clock.nsecsElapsed();
    const double gap = gaps.Stop();
    toResults.push_back(Ms(*shownAt));
    longestGap = std::max(longestGap, gap);
    std::printf("run %d: scan to results %.1f ms, results painted at %.1f ms, longest event-loop gap %.1f ms "
                "(ending at %.1f ms), %zu files\n",
                run, Ms(*shownAt), Ms(paintedAt), gap, gaps.LongestEndedAt(),
                wizard->session().Store().Files().size());
    std::fflush(stdout);
    QTest::mouseClick(results->back, Qt::LeftButton);
    if (wizard->CurrentPage() != Wizard::kPartition) return Fail("Back did not lead to the partition page", messages);
  }
  std::sort(toResults.begin(), toResults.end());
  std::printf("scan to results: %.1f ms (median of %d runs)\n", toResults[toResults.size() / 2], runs);
  std::printf("longest event-loop gap: %.1f ms (the longest of %d runs; timer every %d ms)\n", longestGap, runs,
              kTickMs);
  return 0;
}

// The store: a folder "big" under the root with files named in a shuffled
// order, of assorted types, sizes and times, one in ten deleted.
void FillStore(RecoveryStore& store, int files) {
  constexpr std::uint32_t kBigId = 64;
  constexpr std::uint64_t kFileTime2020 = 132223104000000000ull;  // 2020-01-01 in 100 ns ticks since 1601
  constexpr std::uint64_t kTicksPerSecond = 10000000ull;
  store.AddFolder({.name = u"big",
                   .id = kBigId,
                   .parentId = kNtfsRootId,
                   .times = ItemTimes::FileTimes(kFileTime2020, kFileTime2020, kFileTime2020)});
  static const char16_t* const kExtensions[] = {u".txt", u".jpg", u".docx", u".pdf", u".bin", u""};
  const auto count = static_cast<std::uint64_t>(files);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t shuffled = (i * 7919) % count;
    std::u16string name = u"file";
    const std::string digits = std::to_string(shuffled);
    name.append(8 - std::min<std::size_t>(8, digits.size()), u'0');
    for (const char c : digits) name.push_back(static_cast<char16_t>(c));
    name += kExtensions[i % 6];
    const std::uint64_t moment = kFileTime2020 + ((i * 104729) % (86400 * 365)) * kTicksPerSecond;
    store.AddFile({.name = std::move(name),
                   .id = static_cast<std::uint32_t>(100 + i),
                   .parentId = kBigId,
                   .times = ItemTimes::FileTimes(moment, moment + kTicksPerSecond, moment),
                   .size = (i * 2654435761ull) % (64 * 1024 * 1024),
                   .deleted = i % 10 == 0,
                   .key = 1000000 + 2 * i,
                   .locator = 1000000 + 2 * i});
  }
}

// One labelled figure per step, in the order of the steps; -1 for a step
// whose paint did not come.
using Figures = std::vector<std::pair<std::string, double>>;

// False when a step went wrong (said on standard error).
bool FolderRun(int files, Figures& figures) {
  MainWindow window;
  std::vector<QString> messages;
  if (!Prepare(window, messages)) {
    Fail("the window was not shown", messages);
    return false;
  }
  Wizard* wizard = window.wizard();
  Session& session = wizard->session();
  ScanResult& result = session.result.emplace();
  result.family = FsFamily::kNtfs;
  FillStore(*result.store, files);
  result.tree.emplace(ResultTree::Build(*result.store, FsFamily::kNtfs));
  session.Tree()->CheckEverything();
  ResultsPage* results = wizard->results;
  QTreeView* details = results->details;
  PaintWatch listPaint(details->viewport());
  QElapsedTimer clock;

  // Times an action until the details view has painted.
  const auto painted = [&](const char* label, auto action) {
    listPaint.Arm();
    clock.start();
    action();
    const bool done = RunUntil([&] { return listPaint.Painted(); }, kPaintTimeoutMs);
    figures.emplace_back(label, done ? Ms(clock.nsecsElapsed()) : -1.0);
  };

  painted("results page shown (root listed, painted)", [&] {
    results->SetResult(session.Tree(), &session.Store());
    wizard->ShowPage(Wizard::kResults);
  });
  const std::size_t big = session.Tree()->FindFolder(u"big").value();
  clock.start();
  results->folders->setCurrentIndex(results->treeModel->IndexOf(big));
  figures.emplace_back("list the folder (ShowFolder)", Ms(clock.nsecsElapsed()));
  if (results->listModel->rowCount() != files + 1) {
    Fail("the folder's list is not complete", messages);
    return false;
  }
  painted("first paint of the details view", [] {});
  painted("scroll to the end (and paint)", [&] { details->scrollToBottom(); });
  painted("sort by name (and paint)", [&] { details->sortByColumn(FileListModel::kName, Qt::AscendingOrder); });
  painted("sort by size, descending (and paint)",
          [&] { details->sortByColumn(FileListModel::kSize, Qt::DescendingOrder); });
  const QModelIndex folderIndex = results->treeModel->IndexOf(big);
  painted("uncheck the folder in the tree (and paint)",
          [&] { results->treeModel->setData(folderIndex, Qt::Unchecked, Qt::CheckStateRole); });
  painted("check the folder in the tree (and paint)",
          [&] { results->treeModel->setData(folderIndex, Qt::Checked, Qt::CheckStateRole); });
  const QModelIndex lastRow = results->listModel->index(files, FileListModel::kName);
  painted("uncheck one file of the checked folder (and paint)",
          [&] { results->listModel->setData(lastRow, Qt::Unchecked, Qt::CheckStateRole); });
  return true;
}

// Each step's median over the runs, each run in a new window.
int FolderBench(int files, int runs) {
  std::vector<Figures> all(static_cast<std::size_t>(runs));
  for (Figures& figures : all)
    if (!FolderRun(files, figures)) return 1;
  std::printf("folder: %d files (median of %d runs)\n", files, runs);
  for (std::size_t step = 0; step < all.front().size(); ++step) {
    std::vector<double> times;
    for (const Figures& figures : all) times.push_back(figures[step].second);
    std::sort(times.begin(), times.end());
    const char* label = all.front()[step].first.c_str();
    if (times.front() < 0)
      std::printf("%s: not painted within %d ms\n", label, kPaintTimeoutMs);
    else
      std::printf("%s: %.1f ms\n", label, times[times.size() / 2]);
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: dravik_bench_gui scan IMAGE [--partition N] [--runs R]\n"
               "       dravik_bench_gui folder [--files N] [--runs R]\n");
  return 2;
}

}  // namespace
}  // namespace dravik::app

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QStandardPaths::setTestModeEnabled(true);
  QApplication application(argc, argv);
  using namespace dravik::app;
  if (argc >= 3 && std::string(argv[1]) == "scan")
    return ScanBench(QString::fromLocal8Bit(argv[2]), IntOption(argc, argv, "--partition"),
                     std::max(1, IntOption(argc, argv, "--runs").value_or(3)));
  if (argc >= 2 && std::string(argv[1]) == "folder")
    return FolderBench(std::max(1, IntOption(argc, argv, "--files").value_or(200000)),
                       std::max(1, IntOption(argc, argv, "--runs").value_or(3)));
  return Usage();
}
