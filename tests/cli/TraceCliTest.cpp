// dravik types and dravik scan trace on a disk of real files made by the
// tools that write them: every file found at the sector where Sleuth Kit
// says it begins (or where the fixture wrote it into free space), with its
// type's extension, deleted ones too; the carved files begin with the
// files' own bytes; a kept snapshot lists the same. The file the fixture put
// before the partition is found by a search of the whole disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "TestFiles.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

using test::Dravik;

struct TracedFileTruth {
  std::string extension;
  std::uint64_t sector = 0;
  bool deleted = false;
  bool beforePartition = false;
  std::uint64_t size = 0;
  std::string sha256;
  std::string name;
};

std::vector<TracedFileTruth> Manifest() {
  std::ifstream in(test::FixtureIn("trace", "trace.manifest"));
  std::vector<TracedFileTruth> files;
  TracedFileTruth t;
  int place = 0;
  while (in >> t.extension >> t.sector >> place >> t.size >> t.sha256 >> t.name) {
    t.deleted = place == 1;
    t.beforePartition = place == 3;
    files.push_back(t);
  }
  EXPECT_GE(files.size(), 80u);
  return files;
}

// The extensions of the files, ".doc" first: a compound file matches the
// first of the types that share its signature, and only a ".doc" hit is
// told apart by its content.
std::string Types(const std::vector<TracedFileTruth>& files) {
  std::string types = ".doc";
  for (const auto& f : files)
    if (f.extension != ".doc") types += "," + f.extension;
  return types;
}

TEST(TraceCliTest, EveryFileIsFoundAtItsFirstSectorAndCarvedWithItsBytes) {
  auto files = Manifest();
  std::erase_if(files, [](const TracedFileTruth& f) { return f.beforePartition; });
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  test::TempDir dir;
  const auto listed = RunShell(Dravik("scan trace --quiet --list --types " + Types(files) + " --save-snapshot " +
                                      Quote(dir / "kept") + " " + image));
  ASSERT_EQ(listed.status, 0);
  std::map<std::uint64_t, std::string> found;  // sector -> listed path
  std::istringstream lines(listed.out);
  std::size_t lineCount = 0;
  for (std::string kind, sector, path; lines >> kind >> sector && std::getline(lines >> std::ws, path); ++lineCount)
    found[std::stoull(sector)] = path;
  EXPECT_EQ(lineCount, found.size()) << "every found file listed once";
  for (const auto& f : files) {
    const auto it = found.find(f.sector);
    ASSERT_NE(it, found.end()) << f.name << " at " << f.sector << (f.deleted ? " (deleted)" : "");
    const std::string& path = it->second;
    // Files of one signature family are told apart by their content.
    EXPECT_EQ(path.substr(path.size() - f.extension.size()), f.extension) << f.name << " listed as " << path;
  }
  // The snapshot lists the same, without the image.
  const auto again = RunShell(Dravik("snapshot --quiet --list " + Quote(dir / "kept")));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, listed.out);

  // Untrimmed: each carved file is the carve size and begins with the file.
  const auto saved = RunShell(Dravik("scan trace --quiet --no-trim --size 1 --types " + Types(files) + " --recover " +
                                     Quote(dir / "out") + " " + image));
  ASSERT_EQ(saved.status, 0);
  // Trimmed (the default): the formats that record their end give back the
  // file itself; the others keep the carve size.
  const auto trimmedSave = RunShell(Dravik("scan trace --quiet --size 1 --types " + Types(files) + " --recover " +
                                       Quote(dir / "trim") + " " + image));
  ASSERT_EQ(trimmedSave.status, 0);
  // The formats whose end is recorded.
  const std::set<std::string> trimmed = {
      ".jpg",  ".png",  ".gif",  ".pdf",  ".zip",  ".wav",  ".bmp",  ".sqlite", ".7z",   ".mp4",  ".mov",
      ".doc",  ".xls",  ".ppt",  ".pub",  ".docx", ".xlsx", ".pptx", ".odt",    ".ods",  ".odp",  ".jar",
      ".avi",  ".webp", ".m4a",  ".3gp",  ".avif", ".heic", ".gz",   ".bz2",    ".xz",   ".zst",  ".ogg",
      ".opus", ".oga",  ".ogv",  ".mkv",  ".webm", ".elf",  ".class", ".ttf",  ".wma",  ".wmv",
      ".mp3",  ".psd",  ".exe",  ".rtf",  ".html", ".xml",  ".dbf",  ".tar",  ".flac", ".mpg",  ".flv",
      ".jp2",  ".pbm",  ".pgm",  ".ppm",  ".pam",  ".pcx",  ".tga",  ".ico",  ".xpm",  ".sgi",  ".ras",  ".aif",
      ".au",   ".voc",  ".tif",  ".y4m",  ".lz4",  ".ar",   ".ac3",  ".miff"};
  for (const auto& f : files) {
    const std::string path = found[f.sector];
    const std::string name = path.substr(path.rfind('/') + 1);
    const fs::path carved = dir / "out" / name;
    ASSERT_EQ(fs::file_size(carved), 1048576u) << carved;
    const auto head = RunShell("head -c " + std::to_string(f.size) + " " + Quote(carved) + " | sha256sum");
    EXPECT_EQ(head.out.substr(0, 64), f.sha256) << f.name;
    const fs::path cut = dir / "trim" / name;
    if (trimmed.count(f.extension)) {
      EXPECT_EQ(fs::file_size(cut), f.size) << f.name;
      EXPECT_EQ(RunShell("sha256sum < " + Quote(cut)).out.substr(0, 64), f.sha256) << f.name;
    } else {
      EXPECT_EQ(fs::file_size(cut), 1048576u) << f.name;
    }
  }
}

TEST(TraceCliTest, TypesAndTheirMistakes) {
  const auto types = RunShell(Dravik("types"));
  ASSERT_EQ(types.status, 0);
  EXPECT_NE(types.out.find("Graphics Files\t.png\tPNG Image\t89504E470D0A1A0A\n"), std::string::npos);
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  EXPECT_EQ(RunShell(Dravik("scan trace --quiet " + image + " 2>/dev/null")).status, 2) << "no --types";
  EXPECT_EQ(RunShell(Dravik("scan trace --quiet --types .nosuch " + image + " 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("scan trace --quiet --types .png --size 51 " + image + " 2>/dev/null")).status, 2);
  EXPECT_EQ(RunShell(Dravik("scan quick --types .png " + image + " 2>/dev/null")).status, 2);
  // The whole disk holds the partition's files too, and the icon the
  // fixture wrote between the partition table and the partition: found
  // first, and saved with its own bytes.
  const auto whole = RunShell(Dravik("scan trace --quiet --whole-disk --list --types .png,.ico " + image));
  EXPECT_EQ(whole.status, 0);
  EXPECT_NE(whole.out.find("PNG Image/.png/"), std::string::npos) << whole.out;
  const auto files = Manifest();
  const auto early = std::find_if(files.begin(), files.end(), [](const auto& f) { return f.beforePartition; });
  ASSERT_NE(early, files.end());
  EXPECT_EQ(whole.out.rfind("file\t" + std::to_string(early->sector) + "\tWindows Icon/.ico/1.ico\n", 0), 0u)
      << whole.out;
  test::TempDir dir;
  const auto saved = RunShell(Dravik("scan trace --quiet --whole-disk --types .ico --select 1.ico --recover " +
                                     Quote(dir / "out") + " " + image));
  ASSERT_EQ(saved.status, 0);
  EXPECT_EQ(RunShell("sha256sum < " + Quote(dir / "out" / "1.ico")).out.substr(0, 64), early->sha256);
}

// text.tar holds picture.png at one of its blocks, behind the member's
// header: those two hits are left out and counted, unless the hits inside
// found files are asked for.
TEST(TraceCliTest, HitsInsideAFoundFileAreLeftOutAndCounted) {
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
  const auto left = RunShell(Dravik("scan trace --quiet --list --types .tar,.png " + image));
  const auto every = RunShell(Dravik("scan trace --quiet --list --keep-inner-hits --types .tar,.png " + image));
  ASSERT_EQ(left.status, 0);
  ASSERT_EQ(every.status, 0);
  EXPECT_EQ(lines(every.out), lines(left.out) + 2) << every.out;
  const auto said = RunShell(Dravik("scan trace --list --types .tar,.png " + image + " 2>&1 >/dev/null"));
  EXPECT_NE(said.out.find(" hits found, 2 of them inside a file found before them and not listed"), std::string::npos)
      << said.out;
}

}  // namespace
}  // namespace dravik
