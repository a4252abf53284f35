#pragma once
// The progress line on standard error: the work's own text and percentage,
// the time the step has run and, once its rate is steady, the time left,
// redrawn in place, shown only when standard error is a terminal.

#include <chrono>
#include <cstdint>
#include <string>

#include "save/SaveControl.h"
#include "util/ScanControl.h"

namespace dravik::cli {

class ProgressLine {
 public:
  explicit ProgressLine(bool quiet);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  ScanControl::Sink Sink();
  // For a save: the file being written, how many were begun of files, and
  // the bytes written of bytes (files and bytes 0 when not known ahead).
  SaveControl::Sink SaveSink(std::uint64_t files = 0, std::uint64_t bytes = 0);
  // Erases the line, so that a message can follow.
  void Clear();

 private:
  void Show(const ProgressUpdate& update);
  void Draw(const std::string& line);
  // " 00:01:02, 00:03:00 left": the time since the step began, and the time
  // left when done (0 to 1) of it is done.
  std::string Times(double done) const;

  bool enabled_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  bool shown_ = false;
  std::string text_;
  int percent_ = 0;
};

}  // namespace dravik::cli
