#pragma once
// What long work shares with whoever started it: a stop request, a pause gate
// (the worker waits at its next check while a question is open) and a sink
// for progress. The engine never sleeps to show progress.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace dravik {

struct ProgressUpdate {
  std::string text;     // empty: keep the text shown last
  int percent = -1;     // -1: keep the percentage shown last
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
    paused_ = true;
  }
  void Resume() {
    {
      std::lock_guard lock(mutex_);
      paused_ = false;
    }
    resumed_.notify_all();
  }

  // The worker's check between steps: waits while paused; true when the work
  // should go on.
  bool Continue() {
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return !paused_ || stop_.load(); });
    return !stop_.load();
  }

  // Percentages are capped at 99 while work goes on.
  void Report(std::string text, int percent = -1) const {
    if (sink_) sink_({std::move(text), percent < 0 ? -1 : std::min(percent, 99)});
  }
  void ReportPercent(int percent) const { Report({}, percent); }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool paused_ = false;
  Sink sink_;
};

}  // namespace dravik
