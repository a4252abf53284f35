#pragma once
// Shared by a save and whoever watches it: stop and skip requests, the count
// of files begun, and what is shown for the file being written.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace dravik {

struct SaveProgress {
  std::filesystem::path path;  // the destination of the file being written
  std::u16string fileName;
  std::uint32_t totalFiles = 0;  // files begun so far
  int percent = 0;               // of the file being written, capped at 99
};

class SaveControl {
 public:
  using Sink = std::function<void(const SaveProgress&)>;

  SaveControl() = default;
  explicit SaveControl(Sink sink) : sink_(std::move(sink)) {}

  void RequestStop() { stop_.store(true); }
  bool StopRequested() const { return stop_.load(); }
  void SkipCurrentFile() { skip_.store(true); }
  bool SkipRequested() const { return skip_.load(); }
  void ClearSkip() { skip_.store(false); }

  std::uint32_t SavedCount() const { return saved_.load(); }
  std::uint32_t FailedReads() const { return failedReads_.load(); }
  void CountFailedRead() { failedReads_.fetch_add(1); }

  // A file is begun: counted and shown.
  void Begin(const std::filesystem::path& path, const std::u16string& name) {
    current_ = {path, name, saved_.fetch_add(1) + 1, 0};
    if (sink_) sink_(current_);
  }
  void ReportPercent(int percent) {
    current_.percent = percent >= 100 ? 99 : percent;
    if (sink_) sink_(current_);
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> skip_{false};
  std::atomic<std::uint32_t> saved_{0};
  std::atomic<std::uint32_t> failedReads_{0};
  SaveProgress current_;
  Sink sink_;
};

}  // namespace dravik
