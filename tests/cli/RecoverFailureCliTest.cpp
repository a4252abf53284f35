// dravik scan quick --recover where the save cannot be done whole: a
// destination that fills up, destinations that cannot be made, a user who
// may not write there, and an image cut short. The command ends (a hang ends
// in timeout's status), names every file that is not whole with the
// system's reasons (all of them in --report FILE), exits with 1 and writes
// nothing outside the destination.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "FatFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Recovers the fill disk into dest, run through prefix (another user).
Outcome RecoverFill(const fs::path& dest, const fs::path& scratch, const std::string& prefix = "") {
  const fs::path errFile = scratch / "stderr.txt";
  const auto result = test::RunShell("timeout 60 " + prefix + " " + Quote(test::CliPath()) + " scan quick --quiet " +
                                     Quote(test::SaveFixture("fill.vhd")) + " --recover " + Quote(dest) + " 2>" +
                                     Quote(errFile));
  const auto err = test::ReadFileBytes(errFile);
  fs::remove(errFile);
  return {result.status, result.out, std::string(err.begin(), err.end())};
}

std::size_t CountLines(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    if (text.substr(at, end - at).find(part) != std::string::npos) ++count;
    at = end + 1;
  }
  return count;
}

std::string Reason(int error) { return std::strerror(error); }

// The names in dir itself (links not followed: one of them may be a loop).
std::set<std::string> Entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

TEST(RecoverFailureCliTest, AFullDestinationEndsWithTheCountsTheFirstReasonsAndStatusOne) {
  test::TempDir dir;
  test::SmallTmpfs small(dir / "small", "2m");
  if (!small.Mounted()) GTEST_SKIP() << small.Problem();
  const fs::path dest = small.Path() / "out";
  const auto manifest = test::ReadFillManifest();

  const Outcome run = RecoverFill(dest, dir.Path());
  EXPECT_EQ(run.status, 1) << run.err;

  // The count is that of the files standing whole in the destination.
  const auto saved = test::HashTree(dest);
  for (const auto& [path, sha] : saved) {
    const std::string original = test::OriginalPath(path, manifest);
    ASSERT_FALSE(original.empty()) << path;
    EXPECT_EQ(sha, manifest.at(original)) << path << " is reported saved but is not whole";
  }
  EXPECT_EQ(run.out, std::to_string(saved.size()) + " files saved into " + dest.string() + "\n");
  const std::size_t failed = manifest.size() - saved.size();
  EXPECT_GE(failed, 10u);
  EXPECT_NE(run.err.find("dravik: " + std::to_string(failed) + " files could not be saved:\n"), std::string::npos)
      << run.err;
  // Every failed file is named, each once with its reason, as failed.
  EXPECT_EQ(CountLines(run.err, "failed\t" + (dest / "fill").string() + "/part-"), std::min<std::size_t>(failed, 20)) << run.err;
  EXPECT_EQ(CountLines(run.err, ": " + Reason(ENOSPC)), std::min<std::size_t>(failed, 20)) << run.err;
  EXPECT_EQ(test::ListTree(small.Path()).front(), "out");
}

TEST(RecoverFailureCliTest, DestinationsThatCannotBeMadeEndAtOnceWithTheReason) {
  test::TempDir dir;
  { std::ofstream(dir / "plain") << "keep"; }
  fs::create_symlink(dir / "gone" / "target", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");
  const auto before = Entries(dir.Path());

  struct Case {
    fs::path dest;
    fs::path refused;  // the level that cannot be made
    int error;
  };
  for (const Case& c : {Case{dir / "plain", dir / "plain", ENOTDIR}, Case{dir / "plain" / "sub", dir / "plain", ENOTDIR},
                        Case{dir / "dangling", dir / "dangling", ENOENT}, Case{dir / "loop", dir / "loop", ELOOP}}) {
    SCOPED_TRACE(c.dest.string());
    const Outcome run = RecoverFill(c.dest, dir.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("dravik: cannot save into " + c.dest.string() + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(Reason(c.error)), std::string::npos) << run.err;
    if (c.refused != c.dest) {
      EXPECT_NE(run.err.find(c.refused.string() + ": "), std::string::npos) << run.err;
    }
    EXPECT_EQ(Entries(dir.Path()), before);
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "plain").size(), 4u);
}

TEST(RecoverFailureCliTest, AUserWhoMayNotWriteThereIsToldPermissionDenied) {
  std::string problem;
  const std::string nobody = test::AsNobody(problem);
  if (nobody.empty()) GTEST_SKIP() << problem;
  test::TempDir dir;
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  // Owned by root: "locked" cannot even be searched, "readonly" only read.
  fs::create_directory(dir / "locked");
  fs::permissions(dir / "locked", fs::perms::owner_all);
  fs::create_directory(dir / "readonly");
  const auto before = test::ListTree(dir.Path());
  const std::size_t files = test::ReadFillManifest().size();

  for (const fs::path& dest : {dir / "locked", dir / "readonly"}) {
    SCOPED_TRACE(dest.string());
    const Outcome run = RecoverFill(dest, dir.Path(), nobody);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "0 files saved into " + dest.string() + "\n");
    EXPECT_NE(run.err.find("dravik: " + std::to_string(files) + " files could not be saved:\n"), std::string::npos)
        << run.err;
    EXPECT_EQ(CountLines(run.err, dest.string() + "/"), std::min<std::size_t>(files, 20)) << run.err;
    EXPECT_EQ(CountLines(run.err, Reason(EACCES)), std::min<std::size_t>(files, 20)) << run.err;
  }
  const fs::path below = dir / "readonly" / "new";
  const Outcome run = RecoverFill(below, dir.Path(), nobody);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("dravik: cannot save into " + below.string() + ": " + Reason(EACCES) + "\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(test::ListTree(dir.Path()), before);
}

TEST(RecoverFailureCliTest, AnImageCutShortNamesEveryFileWithHolesAndTheBytesItLacks) {
  test::TempDir dir;
  const fs::path cut = dir / "cut.vhd";
  fs::copy_file(test::SaveFixture("fill.vhd"), cut);
  fs::resize_file(cut, fs::file_size(cut) * 7 / 10);
  const fs::path dest = dir / "out";
  const fs::path report = dir / "report.json";
  const auto run = test::RunShell("timeout 60 " + Quote(test::CliPath()) + " scan quick --quiet " + Quote(cut) +
                                  " --recover " + Quote(dest) + " --report " + Quote(report) + " 2>" +
                                  Quote(dir / "err"));
  EXPECT_EQ(run.status, 1);
  const std::string reader =
      "import json, sys\n"
      "r = json.load(open(sys.argv[1]))\n"
      "print(r['saved'], r['failed'], r['incomplete'])\n"
      "for f in r['files']: print(f['status'], f['missingBytes'], f['path'], sep='\\t')\n";
  const auto parsed = test::RunShell("python3 -c " + Quote(reader) + " " + Quote(report));
  ASSERT_EQ(parsed.status, 0) << "the report is no JSON of the promised shape";
  std::istringstream lines(parsed.out);
  std::size_t saved = 0, failed = 0, incomplete = 0;
  lines >> saved >> failed >> incomplete;
  std::map<std::string, std::uint64_t> named;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const auto tab = line.find('\t');
    const auto tab2 = line.find('\t', tab + 1);
    EXPECT_EQ(line.substr(0, tab), "incomplete") << line;
    named[line.substr(tab2 + 1)] = std::stoull(line.substr(tab + 1, tab2 - tab - 1));
  }
  EXPECT_EQ(failed, 0u);
  EXPECT_EQ(incomplete, named.size());

  // The files' own bytes hold no NUL: every NUL in a saved file stands for
  // a byte the cut image could not give. A file is named exactly when it
  // is not the original, with as many bytes missing as it holds NULs, up to
  // the part of the one sector the cut went through (missing bytes are
  // counted in the sectors that cannot be read whole).
  const auto manifest = test::ReadFillManifest();
  std::size_t whole = 0;
  for (const auto& [path, sha] : test::HashTree(dest)) {
    const std::string original = test::OriginalPath(path, manifest);
    ASSERT_FALSE(original.empty()) << path;
    const auto bytes = test::ReadFileBytes(dest / path);
    const auto zeros = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), std::uint8_t{0}));
    const auto it = named.find((dest / path).string());
    if (sha == manifest.at(original)) {
      ++whole;
      EXPECT_EQ(it, named.end()) << path << " is whole but named";
    } else {
      ASSERT_NE(it, named.end()) << path << " is not whole but not named";
      EXPECT_GE(it->second, zeros) << path;
      EXPECT_LT(it->second, zeros + 512) << path;
    }
  }
  EXPECT_EQ(saved, whole);
  EXPECT_GE(named.size(), 5u) << "a cut at 70 % takes several of the 800 KiB files";
  EXPECT_EQ(whole + named.size(), manifest.size());
  // The terminal names the first 20 of them too.
  const auto err = test::ReadFileBytes(dir / "err");
  const std::string text(err.begin(), err.end());
  EXPECT_EQ(CountLines(text, "dravik:   incomplete\t"), std::min<std::size_t>(named.size(), 20)) << text;
  EXPECT_NE(text.find("dravik: " + std::to_string(named.size()) + " files saved with parts the image could not give"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace dravik
