#include "cli/SaveReport.h"

#include <cstdio>
#include <fstream>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "cli/ScanShared.h"

namespace dravik::cli {

namespace {

// "1 file" or "N files".
std::string Files(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " file" : " files"); }

// What did not go well, on standard error: the counts, then the first files.
void ReportTrouble(const ScanOptions& options, const SaveSummary& summary) {
  if (summary.failed > 0) std::fprintf(stderr, "dravik: %s could not be saved:\n", Files(summary.failed).c_str());
  if (summary.interrupted > 0)
    std::fprintf(stderr, "dravik: %s cut short on request (kept as NAME.partial):\n",
                 Files(summary.interrupted).c_str());
  if (summary.incomplete > 0)
    std::fprintf(stderr, "dravik: %s saved with parts the image could not give (written as zeros):\n",
                 Files(summary.incomplete).c_str());
  if (summary.failed == 0 && summary.interrupted == 0 && summary.incomplete == 0 && !summary.failures.empty())
    std::fprintf(stderr, "dravik: not every folder could be made:\n");
  for (std::size_t i = 0; i < summary.failures.size() && i < kShownProblems; ++i)
    std::fprintf(stderr, "dravik:   %s\n", summary.failures[i].ReportLine().c_str());
  if (summary.failures.size() > kShownProblems)
    std::fprintf(stderr, "dravik:   ... and %zu more%s\n", summary.failures.size() - kShownProblems,
                 options.report ? " (all of them in the report)" : " (--report FILE lists them all)");
  if (summary.failedReads > 0) std::fprintf(stderr, "dravik: %u sectors could not be read\n", summary.failedReads);
}

// Why a save wrote nothing, when it did not.
void ReportNothingSaved(const SaveSummary& summary) {
  switch (summary.WhyNothingSaved()) {
    case SaveSummary::Nothing::kNo: return;  // the trouble above says why
    case SaveSummary::Nothing::kFiltered:
      std::fprintf(stderr, "dravik: nothing was saved: the filters left out all %s checked\n",
                   Files(summary.filteredOut).c_str());
      return;
    case SaveSummary::Nothing::kSettings:
      std::fprintf(stderr, "dravik: nothing was saved: the settings (--deleted, --duplicates, --filter) left out "
                           "all %s checked\n", Files(summary.passedOver).c_str());
      return;
    case SaveSummary::Nothing::kNoFiles:
      std::fprintf(stderr, "dravik: nothing was saved: there are no files to save\n");
      return;
  }
}

bool WriteReport(const std::string& path, const SaveSummary& summary) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << SaveReportJson(summary) << '\n';
  out.close();
  if (out) return true;
  std::fprintf(stderr, "dravik: cannot write the report %s\n", path.c_str());
  return false;
}

}  // namespace

std::string SaveReportJson(const SaveSummary& summary) {
  std::string files;
  for (const SaveFailure& problem : summary.failures) {
    if (!files.empty()) files += ',';
    files += JsonObject()
                 .Add("path", problem.path.string())
                 .Add("status", problem.Status())
                 .Add("reason", problem.Reason())
                 .Add("missingBytes", problem.missingBytes)
                 .Str();
  }
  return JsonObject()
      .Add("saved", summary.saved)
      .Add("failed", summary.failed)
      .Add("incomplete", summary.incomplete + summary.interrupted)
      .AddRaw("files", "[" + files + "]")
      .Str();
}

int EndSave(const ScanOptions& options, const SaveSummary& summary, ProgressLine& progress) {
  progress.Clear();
  std::string count = std::to_string(summary.saved) + " files saved into " + *options.destination;
  if (summary.filteredOut > 0)
    count += "; the filters left out " + std::to_string(summary.filteredOut) + " checked " +
             (summary.filteredOut == 1 ? "file" : "files");
  std::fprintf(options.json ? stderr : stdout, "%s\n", count.c_str());
  std::fflush(stdout);
  ReportTrouble(options, summary);
  ReportNothingSaved(summary);
  const bool reported = !options.report || WriteReport(*options.report, summary);
  return summary.Succeeded() && reported ? kExitOk : kExitFailed;
}

}  // namespace dravik::cli
