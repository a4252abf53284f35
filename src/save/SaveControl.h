#pragma once
// Shared by a save and whoever watches it: stop and skip requests, what is
// shown for the file being written, and the counts of how the files went.
//
// A file is "begun" when its writing starts (the progress shows that count);
// it is "saved" only once every byte of it is read and written, the file
// closed and its times set. Whatever else happens to it is counted as
// incomplete, interrupted, failed or passed over, and every file that is not
// whole is named, so a caller can tell a complete save from one that is not
// and say which files fall short.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace dravik {

struct SaveProgress {
  std::filesystem::path path;  // the destination of the file being written
  std::u16string fileName;
  std::uint32_t totalFiles = 0;  // files begun so far
  int percent = 0;               // of the file being written, capped at 99
  // Bytes of the files before this one (as large as they were to be) and
  // of this one as far as it is written.
  std::uint64_t bytesDone = 0;
};

// A file that is not whole in the destination, or a folder that could not
// be made: what the save report names.
struct SaveFailure {
  enum class Step {
    kFile,         // the file could not be created or written whole (it was removed)
    kFolder,       // the folder could not be made; the files meant for it are not written
    kNoFolder,     // the file is not written because its folder could not be made
    kTimes,        // the file is written whole, but its times could not be set
    kDamaged,      // the file's record no longer describes its data; nothing was written
    kInterrupted,  // cut short by a stop or skip request; kept under a ".partial" name
    kUnreadable,   // kept under its name, with zeros where the image could not give its data
  };
  std::filesystem::path path;
  int error = 0;  // the system's errno (0 where no system call failed)
  Step step = Step::kFile;
  std::uint64_t missingBytes = 0;  // of the file's recorded size, not in the destination

  // "failed" (nothing of the file kept), "interrupted" (a cut part kept) or
  // "incomplete" (kept, with parts the image could not give).
  const char* Status() const {
    switch (step) {
      case Step::kInterrupted: return "interrupted";
      case Step::kUnreadable: return "incomplete";
      default: return "failed";
    }
  }
  // Why, in words: the system's text for the errno, with what could not be
  // done where the path alone does not say it.
  std::string Reason() const {
    const std::string system = error != 0 ? std::strerror(error) : "";
    switch (step) {
      case Step::kFile: return system;
      case Step::kFolder: return "cannot make this folder: " + system;
      case Step::kNoFolder: return "its folder could not be made: " + system;
      case Step::kTimes: return "written, but its times could not be set: " + system;
      case Step::kDamaged: return "its record no longer describes its data";
      case Step::kInterrupted: return "cut short on request";
      case Step::kUnreadable: return "parts the image could not give are written as zeros";
    }
    return system;
  }
  // "PATH: REASON".
  std::string Text() const { return path.string() + ": " + Reason(); }
  // "STATUS<tab>PATH: REASON (N bytes missing)", one line of a save report.
  std::string ReportLine() const {
    std::string line = std::string(Status()) + "\t" + Text();
    if (missingBytes > 0) line += " (" + std::to_string(missingBytes) + " bytes missing)";
    return line;
  }
};

// How a save went, once it has ended. Every file that was begun is counted
// once: saved, incomplete, interrupted or failed.
struct SaveSummary {
  std::uint32_t begun = 0;
  std::uint32_t saved = 0;        // written whole, every byte read from the image
  std::uint32_t failed = 0;       // not written (see failures)
  std::uint32_t incomplete = 0;   // written, with parts the image could not give
  std::uint32_t failedReads = 0;  // sectors that could not be read
  std::uint32_t passedOver = 0;   // left out by the filter, the deleted or the duplicate setting
  std::uint32_t filteredOut = 0;  // of the passed over, those the file filters left out
  std::uint32_t interrupted = 0;  // cut short by a stop or skip request; the part written is kept
  // Every file that is not whole and every folder that could not be made,
  // in the order they happened.
  std::vector<SaveFailure> failures;

  // Nothing went wrong: every sector was read and every file and folder
  // made; files may still have been cut short on request. (Every other
  // problem is counted as failed or incomplete; a folder that could not be
  // made is only named.)
  bool NothingFailed() const {
    return failed == 0 && incomplete == 0 && failedReads == 0 &&
           std::none_of(failures.begin(), failures.end(),
                        [](const SaveFailure& f) { return f.step == SaveFailure::Step::kFolder; });
  }
  // Every file that was begun is saved whole, with every sector read, and
  // every folder was made.
  bool Complete() const { return NothingFailed() && interrupted == 0; }
  // Complete, and at least one file was written: what a save must be to be
  // called a success.
  bool Succeeded() const { return Complete() && saved > 0; }

  // Why no file at all was written, for both front ends to say.
  enum class Nothing {
    kNo,          // some file was written, cut or failed
    kFiltered,    // the file filters left out every checked file
    kSettings,    // the deleted or duplicate setting (and the filters) left them out
    kNoFiles,     // there was no file to save
  };
  Nothing WhyNothingSaved() const {
    if (saved + incomplete + interrupted + failed > 0) return Nothing::kNo;
    if (filteredOut > 0 && filteredOut == passedOver) return Nothing::kFiltered;
    return passedOver > 0 ? Nothing::kSettings : Nothing::kNoFiles;
  }
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

  std::uint32_t BegunCount() const { return begun_.load(); }
  std::uint32_t SavedCount() const { return saved_.load(); }
  std::uint32_t FailedCount() const { return failed_.load(); }
  std::uint32_t FailedReads() const { return failedReads_.load(); }
  SaveSummary Summary() const {
    SaveSummary summary;
    summary.begun = begun_.load();
    summary.saved = saved_.load();
    summary.failed = failed_.load();
    summary.incomplete = incomplete_.load();
    summary.failedReads = failedReads_.load();
    summary.passedOver = passedOver_.load();
    summary.filteredOut = filteredOut_.load();
    summary.interrupted = interrupted_.load();
    const std::lock_guard lock(failuresMutex_);
    summary.failures = failures_;
    return summary;
  }

  // A file is begun: counted and shown.
  void Begin(const std::filesystem::path& path, const std::u16string& name) {
    doneBytes_ += fileBytes_;
    fileBytes_ = 0;
    current_ = {path, name, begun_.fetch_add(1) + 1, 0, doneBytes_};
    if (sink_) sink_(current_);
  }
  void ReportPercent(int percent) {
    current_.percent = percent >= 100 ? 99 : percent;
    if (sink_) sink_(current_);
  }
  // The bytes of every file begun, each as large as it was to be; for the
  // save's end, when the thread that reports has returned.
  std::uint64_t BytesOfFilesBegun() const { return doneBytes_ + fileBytes_; }
  // written of the file's size bytes are written.
  void ReportWritten(std::uint64_t written, std::uint64_t size) {
    fileBytes_ = size;
    current_.bytesDone = doneBytes_ + written;
    ReportPercent(size ? static_cast<int>(written * 100 / size) : 0);
  }

  void CountFailedReads(std::uint32_t sectors) { failedReads_.fetch_add(sectors); }
  // A file written whole from what the image gave.
  void CountSaved() { saved_.fetch_add(1); }
  // A file written to its end, missingBytes of it zeros (or left out) for
  // want of what the image could not give.
  void CountIncomplete(const std::filesystem::path& path, std::uint64_t missingBytes) {
    incomplete_.fetch_add(1);
    Keep({path, 0, SaveFailure::Step::kUnreadable, missingBytes});
  }
  // A file cut short by a stop or skip request, kept at path.
  void CountInterrupted(const std::filesystem::path& path, std::uint64_t missingBytes) {
    interrupted_.fetch_add(1);
    Keep({path, 0, SaveFailure::Step::kInterrupted, missingBytes});
  }
  // A file left out by the settings; byFilter: by the file filters.
  void CountPassedOver(bool byFilter) {
    passedOver_.fetch_add(1);
    if (byFilter) filteredOut_.fetch_add(1);
  }
  // A file that failed, with the reason.
  void CountFailed(SaveFailure failure) {
    failed_.fetch_add(1);
    Keep(std::move(failure));
  }
  // A folder that could not be made; files meant for it are counted with
  // CountFailed. A folder already kept is not kept twice.
  void RecordFolderFailure(SaveFailure failure) {
    const std::lock_guard lock(failuresMutex_);
    if (failedFolders_.insert(failure.path.string()).second) failures_.push_back(std::move(failure));
  }

 private:
  void Keep(SaveFailure failure) {
    const std::lock_guard lock(failuresMutex_);
    failures_.push_back(std::move(failure));
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> skip_{false};
  std::atomic<std::uint32_t> begun_{0};
  std::atomic<std::uint32_t> saved_{0};
  std::atomic<std::uint32_t> failed_{0};
  std::atomic<std::uint32_t> incomplete_{0};
  std::atomic<std::uint32_t> failedReads_{0};
  std::atomic<std::uint32_t> passedOver_{0};
  std::atomic<std::uint32_t> filteredOut_{0};
  std::atomic<std::uint32_t> interrupted_{0};
  mutable std::mutex failuresMutex_;
  std::vector<SaveFailure> failures_;
  std::unordered_set<std::string> failedFolders_;
  SaveProgress current_;
  Sink sink_;
  std::uint64_t doneBytes_ = 0;  // the save's thread's own, as current_ is
  std::uint64_t fileBytes_ = 0;
};

}  // namespace dravik
