#pragma once
// The progress line on standard error: the work's own text and percentage,
// redrawn in place, shown only when standard error is a terminal.

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
  // For a save: the file being written and how many were begun.
  SaveControl::Sink SaveSink();
  // Erases the line, so that a message can follow.
  void Clear();

 private:
  void Show(const ProgressUpdate& update);
  void Draw(const std::string& line);

  bool enabled_;
  bool shown_ = false;
  std::string text_;
  int percent_ = 0;
};

}  // namespace dravik::cli
