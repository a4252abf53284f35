#pragma once
// What long work shares with whoever started it: a stop request, a pause gate
// (the worker waits at its next check while a question is open) and a sink
// for progress. The engine never sleeps to show progress.

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>

namespace dravik {

struct ProgressUpdate {
  std::string text;     // empty: keep the text shown last
  int percent = -1;     // -1: keep the percentage shown last
};

// The counters a scan keeps while it works, for a front end that shows
// them: read at any time from another thread.
struct ScanTally {
  static constexpr std::size_t kFound = 4;
  std::uint32_t folders = 0;
  std::uint32_t files = 0;
  std::uint64_t sector = 0;      // the sector being read
  std::u16string lastName;       // the folder or file found last
  // A search's own counts of what it has found so far (the Extensive Scan's
  // boot sectors, index records, ...), in the order the search names them.
  std::array<std::uint64_t, kFound> found{};
};

class ScanControl {
 public:
  using Sink = std::function<void(const ProgressUpdate&)>;

  ScanControl() = default;
  explicit ScanControl(Sink sink) : sink_(std::move(sink)) {}

  void RequestStop() {
    stop_.store(true);
    Resume();
  }
  bool StopRequested() const { return stop_.load(); }

  void Pause() {
    std::lock_guard lock(mutex_);
    paused_.store(true);
  }
  void Resume() {
    {
      std::lock_guard lock(mutex_);
      paused_.store(false);
    }
    resumed_.notify_all();
  }

  // The worker's check between steps: waits while paused; true when the work
  // should go on. Without a pause it takes no lock, so that workers checking
  // at once do not wait for each other; a pause asked meanwhile holds them
  // at their next check.
  bool Continue() {
    if (!paused_.load()) return !stop_.load();
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return !paused_.load() || stop_.load(); });
    return !stop_.load();
  }

  // Percentages are capped at 99 while work goes on.
  void Report(std::string text, int percent = -1) const {
    if (sink_) sink_({std::move(text), percent < 0 ? -1 : std::min(percent, 99)});
  }
  void ReportPercent(int percent) const { Report({}, percent); }

  // The scanner's counters; cheap enough to call for every record.
  void Count(std::uint32_t folders, std::uint32_t files, std::uint64_t sector) {
    folders_.store(folders, std::memory_order_relaxed);
    files_.store(files, std::memory_order_relaxed);
    sector_.store(sector, std::memory_order_relaxed);
  }
  // A search's counts of what it has found so far (see ScanTally::found).
  void CountFound(std::initializer_list<std::uint64_t> counts) {
    std::size_t i = 0;
    for (const std::uint64_t count : counts)
      if (i < found_.size()) found_[i++].store(count, std::memory_order_relaxed);
  }
  void CountName(const std::u16string& name) {
    std::lock_guard lock(nameMutex_);
    lastName_ = name;
  }
  ScanTally Counts() const {
    ScanTally counts{folders_.load(std::memory_order_relaxed), files_.load(std::memory_order_relaxed),
                      sector_.load(std::memory_order_relaxed), {}, {}};
    for (std::size_t i = 0; i < found_.size(); ++i) counts.found[i] = found_[i].load(std::memory_order_relaxed);
    std::lock_guard lock(nameMutex_);
    counts.lastName = lastName_;
    return counts;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable resumed_;
  std::atomic<bool> paused_{false};
  Sink sink_;
  std::atomic<std::uint32_t> folders_{0};
  std::atomic<std::uint32_t> files_{0};
  std::atomic<std::uint64_t> sector_{0};
  std::array<std::atomic<std::uint64_t>, ScanTally::kFound> found_{};
  mutable std::mutex nameMutex_;
  std::u16string lastName_;
};

}  // namespace dravik
