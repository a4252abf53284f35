#pragma once
// Shared by a save and whoever watches it: stop and skip requests, what is
// shown for the file being written, and the counts of how the files went.
//
// A file is "begun" when its writing starts (the progress shows that count);
// it is "saved" only once every byte of it is written, the file closed and
// its times set. Whatever else happens to it is counted as failed,
// interrupted or passed over, so a caller can tell a complete save from one
// that is not.

#include <atomic>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace dravik {

struct SaveProgress {
  std::filesystem::path path;  // the destination of the file being written
  std::u16string fileName;
  std::uint32_t totalFiles = 0;  // files begun so far
  int percent = 0;               // of the file being written, capped at 99
};

// Why one file, or one folder, could not be saved.
struct SaveFailure {
  enum class Step {
    kFile,     // the file could not be created or written whole (it was removed)
    kFolder,   // the folder could not be made; the files meant for it are not written
    kTimes,    // the file is written whole, but its times could not be set
    kDamaged,  // the file's record no longer describes its data; nothing was written
  };
  std::filesystem::path path;
  int error = 0;  // the system's errno (0 for kDamaged)
  Step step = Step::kFile;

  // "PATH: REASON", REASON being the system's text for the errno, with
  // what could not be done where the path alone does not say it.
  std::string Text() const {
    const std::string reason = error != 0 ? std::strerror(error) : "";
    switch (step) {
      case Step::kFile: return path.string() + ": " + reason;
      case Step::kFolder: return path.string() + ": cannot make this folder: " + reason;
      case Step::kTimes: return path.string() + ": written, but its times could not be set: " + reason;
      case Step::kDamaged: return path.string() + ": its record no longer describes its data";
    }
    return path.string();
  }
};

// How a save went, once it has ended.
struct SaveSummary {
  std::uint32_t begun = 0;
  std::uint32_t saved = 0;        // written whole
  std::uint32_t failed = 0;       // not written whole (see failures)
  std::uint32_t unreadable = 0;   // of the saved, those with parts the disk could not give, written as zeros
  std::uint32_t failedReads = 0;  // sector reads that failed
  std::uint32_t passedOver = 0;   // left out by the filter, the deleted or the duplicate setting
  std::uint32_t interrupted = 0;  // cut short by a stop or skip request; the part written is kept
  std::vector<SaveFailure> failures;  // the first kKeptFailures, in the order they happened

  // Nothing went wrong: every sector was read and every file and folder
  // made; files may still have been cut short on request.
  bool NothingFailed() const { return failed == 0 && unreadable == 0 && failedReads == 0 && failures.empty(); }
  // Every file that was begun is saved whole, with every sector read, and
  // every folder was made.
  bool Complete() const { return NothingFailed() && interrupted == 0; }
};

class SaveControl {
 public:
  using Sink = std::function<void(const SaveProgress&)>;
  static constexpr std::size_t kKeptFailures = 10;

  SaveControl() = default;
  explicit SaveControl(Sink sink) : sink_(std::move(sink)) {}

  void RequestStop() { stop_.store(true); }
  bool StopRequested() const { return stop_.load(); }
  void SkipCurrentFile() { skip_.store(true); }
  bool SkipRequested() const { return skip_.load(); }
  void ClearSkip() { skip_.store(false); }

  std::uint32_t BegunCount() const { return begun_.load(); }
  std::uint32_t SavedCount() const { return saved_.load(); }
  std::uint32_t FailedCount() const { return failed_.load(); }
  std::uint32_t FailedReads() const { return failedReads_.load(); }
  SaveSummary Summary() const {
    SaveSummary summary{begun_.load(),       saved_.load(),      failed_.load(), unreadable_.load(),
                        failedReads_.load(), passedOver_.load(), interrupted_.load(), {}};
    const std::lock_guard lock(failuresMutex_);
    summary.failures = failures_;
    return summary;
  }

  // A file is begun: counted and shown.
  void Begin(const std::filesystem::path& path, const std::u16string& name) {
    current_ = {path, name, begun_.fetch_add(1) + 1, 0};
    if (sink_) sink_(current_);
  }
  void ReportPercent(int percent) {
    current_.percent = percent >= 100 ? 99 : percent;
    if (sink_) sink_(current_);
  }

  void CountFailedRead() { failedReads_.fetch_add(1); }
  // A file written whole; unreadable: parts of it are zeros for want of
  // what the disk could not give.
  void CountSaved(bool unreadable) {
    saved_.fetch_add(1);
    if (unreadable) unreadable_.fetch_add(1);
  }
  void CountPassedOver() { passedOver_.fetch_add(1); }
  void CountInterrupted() { interrupted_.fetch_add(1); }
  // A file that failed, with the reason.
  void CountFailed(SaveFailure failure) {
    failed_.fetch_add(1);
    Keep(std::move(failure));
  }
  // A folder that could not be made; files meant for it are counted with
  // CountFailedFiles. A folder already kept is not kept twice.
  void RecordFolderFailure(SaveFailure failure) { Keep(std::move(failure)); }
  void CountFailedFiles(std::uint32_t files) { failed_.fetch_add(files); }

 private:
  void Keep(SaveFailure failure) {
    const std::lock_guard lock(failuresMutex_);
    if (failures_.size() >= kKeptFailures) return;
    for (const SaveFailure& kept : failures_)
      if (kept.step == failure.step && kept.path == failure.path) return;
    failures_.push_back(std::move(failure));
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> skip_{false};
  std::atomic<std::uint32_t> begun_{0};
  std::atomic<std::uint32_t> saved_{0};
  std::atomic<std::uint32_t> failed_{0};
  std::atomic<std::uint32_t> unreadable_{0};
  std::atomic<std::uint32_t> failedReads_{0};
  std::atomic<std::uint32_t> passedOver_{0};
  std::atomic<std::uint32_t> interrupted_{0};
  mutable std::mutex failuresMutex_;
  std::vector<SaveFailure> failures_;
  SaveProgress current_;
  Sink sink_;
};

}  // namespace dravik
