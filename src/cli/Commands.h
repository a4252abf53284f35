#pragma once
// The verbs of the dravik command. Each takes the arguments after the verb and
// returns the process exit code: 0 done, 1 failed, 2 wrong usage.

#include <optional>
#include <string>
#include <vector>

#include "disk/PartitionSearch.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
class Diagnostics;
class ScanControl;
}

namespace dravik::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// What a step of a verb gives: the exit status to end with when the step
// decided it (an error it has printed, or help), nothing to go on.
using Stop = std::optional<int>;

int RunInfo(const std::vector<std::string>& args);
int RunCat(const std::vector<std::string>& args);
int RunPartitions(const std::vector<std::string>& args);
int RunParams(const std::vector<std::string>& args);
int RunScan(const std::vector<std::string>& args);
int RunSnapshot(const std::vector<std::string>& args);
int RunTypes(const std::vector<std::string>& args);

// When the disk is searched for partitions beyond its table.
enum class SearchRule { kWhenTableEmpty, kAlways, kNever };

// The partitions of the opened disk: its table, then the search by the rule.
// With verbose, each reason a reader gave for what it could not read, on
// standard error.
void PrintDiagnostics(const Diagnostics& diagnostics, bool verbose);

PartitionTable FindPartitions(const VirtualDisk& disk, SearchRule rule, ScanControl& control);
DiskGeometry DriveGeometry(const VirtualDisk& disk);
void PrintPartitions(const PartitionTable& table);
std::string PartitionsJsonArray(const PartitionTable& table);

// Prints a verb's usage text to standard error and returns kExitUsage.
int UsageError(const std::string& problem, const char* usage);

// Opens the image for a verb; on failure prints the message (and, with
// verbose, what the reader found) to standard error.
bool OpenForCommand(VirtualDisk& disk, const std::string& path, OpenRequest request, bool verbose);

}  // namespace dravik::cli
