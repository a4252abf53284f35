#pragma once
// Runs the dravik under test (under timeout: a hang fails instead of holding
// the suite) with its standard output and standard error kept apart.

#include <string>

#include "TestFiles.h"

namespace dravik::test {

struct CliRun {
  int status = -1;
  std::string out, err;
};

// prefix goes before the program (another user, say).
inline CliRun RunCli(const std::string& args, const std::string& prefix = "") {
  TempDir dir;
  const auto run = RunShell("timeout 120 " + prefix + Quote(CliPath()) + " " + args + " 2>" + Quote(dir / "err"));
  const auto err = ReadFileBytes(dir / "err");
  return {run.status, run.out, std::string(err.begin(), err.end())};
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Python's json module reads json (which proves it JSON) as d and runs
// script on it; what it prints, or "invalid" when it fails.
inline std::string Py(const std::string& json, const std::string& script) {
  TempDir dir;
  WriteFileBytes(dir / "in.json", {json.begin(), json.end()});
  const auto run = RunShell("python3 -c " + Quote("import json, sys\nd = json.load(open(sys.argv[1]))\n" + script) +
                            " " + Quote(dir / "in.json") + " 2>&1");
  return run.status == 0 ? run.out : "invalid: " + run.out;
}

}  // namespace dravik::test
