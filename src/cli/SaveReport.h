#pragma once
// How "dravik ... --recover" ends: the count line, every file that is not
// whole named on standard error (the first ones) and in the --report file
// (all of them), and the exit status.

#include <string>

#include "save/SaveControl.h"

namespace dravik::cli {

struct ScanOptions;
class ProgressLine;

// The files the terminal lists; --report FILE has them all.
inline constexpr std::size_t kShownProblems = 20;

// {"saved":N,"failed":N,"incomplete":N,"files":[{"path","status","reason","missingBytes"}]}:
// "incomplete" counts the files kept that are not whole (with parts the
// image could not give, or cut short on request); "files" names every file
// that is not whole and every folder that could not be made.
std::string SaveReportJson(const SaveSummary& summary);

// The end of a save: "N files saved into DIR" (with how many checked files
// the filters left out), then on standard error what did not go well, and
// the --report file when one was asked for. The exit status: failed unless
// every file was saved whole from readable data and at least one was saved.
int EndSave(const ScanOptions& options, const SaveSummary& summary, ProgressLine& progress);

}  // namespace dravik::cli
