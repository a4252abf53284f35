#include "cli/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace dravik::cli {

ProgressLine::ProgressLine(bool quiet) : enabled_(!quiet && ::isatty(STDERR_FILENO)) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Clear() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

ScanControl::Sink ProgressLine::Sink() {
  if (!enabled_) return {};
  return [this](const ProgressUpdate& update) { Show(update); };
}

SaveControl::Sink ProgressLine::SaveSink() {
  if (!enabled_) return {};
  return [this](const SaveProgress& progress) {
    Draw("Saving file " + std::to_string(progress.totalFiles) + ": " + progress.path.string() + " " +
         std::to_string(progress.percent) + "%");
  };
}

void ProgressLine::Show(const ProgressUpdate& update) {
  if (!update.text.empty()) text_ = update.text;
  if (update.percent >= 0) percent_ = update.percent;
  Draw(text_ + " " + std::to_string(percent_) + "%");
}

void ProgressLine::Draw(const std::string& line) {
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace dravik::cli
