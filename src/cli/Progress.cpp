#include "cli/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace dravik::cli {

ProgressLine::ProgressLine(bool quiet) : enabled_(!quiet && ::isatty(STDERR_FILENO)) {}

ProgressLine::~ProgressLine() {
  if (shown_) std::fputs("\r\033[K", stderr);
}

ScanControl::Sink ProgressLine::Sink() {
  if (!enabled_) return {};
  return [this](const ProgressUpdate& update) { Show(update); };
}

void ProgressLine::Show(const ProgressUpdate& update) {
  if (!update.text.empty()) text_ = update.text;
  if (update.percent >= 0) percent_ = update.percent;
  std::fprintf(stderr, "\r\033[K%s %d%%", text_.c_str(), percent_);
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace dravik::cli
