#pragma once
// Runs the dravik under test (under timeout: a hang fails) after prefix (another user, say); stdout, stderr apart.

#include "TestFiles.h"

namespace dravik::test {

struct CliRun { int status = -1; std::string out, err; };
inline CliRun RunCli(const std::string& args, const std::string& prefix = "") {
  TempDir dir;
  const auto run = RunShell("timeout 120 " + prefix + Quote(CliPath()) + " " + args + " 2>" + Quote(dir / "err"));
  const auto err = ReadFileBytes(dir / "err");
  return {run.status, run.out, {err.begin(), err.end()}};
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What script prints of json (read by Python's json module as d), or "invalid: ..." when it fails.
inline std::string Py(const std::string& json, const std::string& script) {
  TempDir dir;
  WriteFileBytes(dir / "in.json", {json.begin(), json.end()});
  const auto run = RunShell("python3 -c " + Quote("import json, sys\nd = json.load(open(sys.argv[1]))\n" + script) +
                            " " + Quote(dir / "in.json") + " 2>&1");
  return run.status == 0 ? run.out : "invalid: " + run.out;
}

}  // namespace dravik::test
