#include "cli/Progress.h"

#include <unistd.h>

#include <cstdio>

#include "util/WorkClock.h"

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

namespace {

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

SaveControl::Sink ProgressLine::SaveSink(std::uint64_t files, std::uint64_t bytes) {
  if (!enabled_) return {};
  started_ = std::chrono::steady_clock::now();
  return [this, files, bytes](const SaveProgress& progress) {
    std::string line = "Saving file " + std::to_string(progress.totalFiles);
    if (files > 0) line += " of " + std::to_string(files);
    line += ": " + progress.path.string() + " " + std::to_string(progress.percent) + "%  " +
            Megabytes(progress.bytesDone);
    if (bytes > 0) line += " of " + Megabytes(bytes);
    const double done = bytes > 0   ? static_cast<double>(progress.bytesDone) / static_cast<double>(bytes)
                        : files > 0 ? static_cast<double>(progress.totalFiles) / static_cast<double>(files)
                                    : 0;
    Draw(line + " " + Times(done));
  };
}

void ProgressLine::Show(const ProgressUpdate& update) {
  if (!update.text.empty()) text_ = update.text;
  if (update.percent >= 0) {
    // A percentage that falls back belongs to the next step of the work.
    if (update.percent < percent_) started_ = std::chrono::steady_clock::now();
    percent_ = update.percent;
  }
  Draw(text_ + " " + std::to_string(percent_) + "% " + Times(percent_ / 100.0));
}

std::string ProgressLine::Times(double done) const {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count();
  std::string text = " " + ClockText(elapsed);
  if (const auto left = TimeLeftMs(elapsed, done)) text += ", " + ClockText(*left) + " left";
  return text;
}

void ProgressLine::Draw(const std::string& line) {
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace dravik::cli
