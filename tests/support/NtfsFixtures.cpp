#include "NtfsFixtures.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "fs/ntfs/MftRuns.h"
#include "save/SaveDriver.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::test {

namespace fs = std::filesystem;

fs::path NtfsFixture(const std::string& name) { return FixtureIn("ntfs", name); }

std::uint32_t NtfsStart() {
  std::ifstream in(NtfsFixture("ntfs.start"));
  std::uint32_t start = 0;
  in >> start;
  EXPECT_NE(start, 0u) << "no partition start in ntfs.start";
  return start;
}

std::vector<NtfsManifestEntry> ReadNtfsManifest(const std::string& name) {
  std::ifstream in(NtfsFixture(name));
  std::vector<NtfsManifestEntry> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    NtfsManifestEntry e;
    fields >> e.sha256 >> e.size >> e.record;
    fields.get();  // the blank before the path
    std::getline(fields, e.path);
    if (!e.path.empty()) entries.push_back(e);
  }
  EXPECT_FALSE(entries.empty()) << "empty manifest " << name;
  return entries;
}

std::map<std::string, std::uint32_t> NtfsCaseRecords() {
  std::ifstream in(NtfsFixture("cases.list"));
  std::map<std::string, std::uint32_t> records;
  std::string name;
  std::uint32_t record = 0;
  while (in >> name >> record) records[name] = record;
  EXPECT_FALSE(records.empty()) << "empty cases.list";
  return records;
}

std::map<std::string, std::string> Sha256Tree(const fs::path& dir) {
  const CommandResult result =
      RunShell("cd " + Quote(dir) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
  EXPECT_EQ(result.status, 0) << "sha256sum failed in " << dir;
  std::map<std::string, std::string> sums;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 68) continue;
    std::string path = line.substr(66);
    if (path.rfind("./", 0) == 0) path.erase(0, 2);
    sums[path] = line.substr(0, 64);
  }
  return sums;
}

std::string Sha256Bytes(const std::vector<std::uint8_t>& bytes) {
  TempDir dir;
  WriteFileBytes(dir / "bytes", bytes);
  const CommandResult result = RunShell("sha256sum " + Quote(dir / "bytes"));
  return result.out.substr(0, 64);
}

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  while (true) {
    const std::size_t tab = line.find('\t', from);
    fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

}  // namespace

// Lines look like "r/r * 2158-128-2:\ttrash/note.txt\tMTIME\tATIME\tCTIME\tCRTIME\tSIZE\tUID\tGID":
// the name's type and the record's type ("d" folder, "r" file, "-" unknown),
// "*" for a deleted entry, the record number with the attribute's type and id.
std::vector<FlsItem> Fls(const fs::path& raw, std::uint32_t start) {
  const CommandResult result = RunShell("fls -r -p -l -o " + std::to_string(start) + " " + Quote(raw));
  EXPECT_EQ(result.status, 0) << "fls failed on " << raw;
  static const std::regex head(R"(^(\S)/(\S) (\* )?(\d+)(-\d+-\d+)?(\(realloc\))?:$)");
  std::vector<FlsItem> items;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    const auto fields = SplitTabs(line);
    std::smatch m;
    if (fields.size() < 7 || !std::regex_match(fields[0], m, head)) {
      ADD_FAILURE() << "unexpected fls line: " << line;
      continue;
    }
    FlsItem item;
    item.folder = m[2] == "d" || m[1] == "d";
    item.deleted = m[3].matched;
    item.record = static_cast<std::uint32_t>(std::stoul(m[4]));
    item.path = fields[1];
    item.size = std::stoull(fields[6]);
    items.push_back(item);
  }
  EXPECT_FALSE(items.empty()) << "fls listed nothing";
  return items;
}

// Blocks of "Key = value" lines, one per item, after the "----------" line.
std::vector<SevenZipItem> SevenZipList(const fs::path& image) {
  const CommandResult result = RunShell("7zz l -slt " + Quote(image));
  EXPECT_EQ(result.status, 0) << "7zz l failed on " << image;
  std::vector<SevenZipItem> items;
  std::istringstream lines(result.out);
  bool listing = false;
  std::map<std::string, std::string> block;
  const auto flush = [&] {
    if (block.count("Path") && block["Alternate Stream"] != "+" && block["Deleted"] != "+") {
      SevenZipItem item;
      item.path = block["Path"];
      item.folder = block["Folder"] == "+";
      item.record = block["iNode"].empty() ? 0xFFFFFFFF : static_cast<std::uint32_t>(std::stoul(block["iNode"]));
      item.size = block["Size"].empty() ? 0 : std::stoull(block["Size"]);
      items.push_back(item);
    }
    block.clear();
  };
  for (std::string line; std::getline(lines, line);) {
    if (line == "----------") {
      listing = true;
      continue;
    }
    if (!listing) continue;
    if (line.empty()) {
      flush();
      continue;
    }
    const auto eq = line.find(" = ");
    if (eq != std::string::npos) block[line.substr(0, eq)] = line.substr(eq + 3);
    else if (!line.empty() && line.back() == '=') block[line.substr(0, line.size() - 2)] = "";
  }
  flush();
  EXPECT_FALSE(items.empty()) << "7zz listed nothing:\n" << result.out.substr(0, 2000);
  return items;
}

std::vector<std::uint8_t> Icat(const fs::path& raw, std::uint32_t start, std::uint32_t record) {
  TempDir dir;
  const CommandResult result = RunShell("icat -o " + std::to_string(start) + " " + Quote(raw) + " " +
                                        std::to_string(record) + " > " + Quote(dir / "out"));
  EXPECT_EQ(result.status, 0) << "icat failed for record " << record;
  return ReadFileBytes(dir / "out");
}

namespace {

// The lines of the istat section of the unnamed $DATA attribute, or of the
// $FILE_NAME values.
std::string Istat(const fs::path& raw, std::uint32_t start, std::uint32_t record, bool runs) {
  const CommandResult result = RunShell(std::string("istat ") + (runs ? "-r " : "") + "-o " + std::to_string(start) +
                                        " " + Quote(raw) + " " + std::to_string(record));
  EXPECT_EQ(result.status, 0) << "istat failed for record " << record;
  return result.out;
}

}  // namespace

std::vector<std::pair<std::uint64_t, std::uint64_t>> IstatRuns(const fs::path& raw, std::uint32_t start,
                                                                std::uint32_t record) {
  std::istringstream lines(Istat(raw, start, record, true));
  static const std::regex run(R"(Starting address: (\d+), length: (\d+))");
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  bool inData = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Type: ", 0) == 0) {
      if (inData) break;  // the next attribute
      inData = line.find("Type: $DATA (128-") == 0 && line.find("Name: N/A") != std::string::npos;
      continue;
    }
    std::smatch m;
    if (inData && std::regex_search(line, m, run)) runs.emplace_back(std::stoull(m[1]), std::stoull(m[2]));
  }
  EXPECT_FALSE(runs.empty()) << "istat gave no runs for record " << record;
  return runs;
}

std::pair<std::int64_t, long> IstatTime(const fs::path& raw, std::uint32_t start, std::uint32_t record,
                                        const std::string& attribute, const std::string& label) {
  std::istringstream lines(Istat(raw, start, record, false));
  const std::regex time("^" + label + R"(:\s+(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)\.(\d{9}) \(UTC\))");
  bool inAttribute = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("$", 0) == 0) inAttribute = line.rfind(attribute + " Attribute Values", 0) == 0;
    std::smatch m;
    if (inAttribute && std::regex_search(line, m, time)) {
      std::tm tm{};
      tm.tm_year = std::stoi(m[1]) - 1900;
      tm.tm_mon = std::stoi(m[2]) - 1;
      tm.tm_mday = std::stoi(m[3]);
      tm.tm_hour = std::stoi(m[4]);
      tm.tm_min = std::stoi(m[5]);
      tm.tm_sec = std::stoi(m[6]);
      return {static_cast<std::int64_t>(timegm(&tm)), std::stol(m[7])};
    }
  }
  ADD_FAILURE() << "istat gave no " << attribute << " " << label << " time for record " << record;
  return {0, 0};
}

NtfsScan::NtfsScan(const fs::path& image) : store_(std::make_unique<RecoveryStore>()) {
  const std::string extension = image.extension().string();
  if (extension == ".vhd" || extension == ".vhdx") {
    auto disk = std::make_unique<VirtualDisk>();
    const OpenResult opened = OpenImage(*disk, image, true);
    if (!opened.Usable()) throw std::runtime_error("cannot open " + image.string() + ": " + opened.message);
    disk_ = std::move(disk);
  } else {
    disk_ = ImageFile::Open(image);
    if (!disk_) throw std::runtime_error("cannot open " + image.string());
  }
  const SectorReader reader(*disk_);
  PartitionTable table;
  ReadPartitionTable(reader, 0, table);
  if (table.Empty()) throw std::runtime_error("no partition table on " + image.string());
  ScanControl control;
  result_ = RunQuickScan(reader, table.Entries()[0], *store_, control);
  tree_.emplace(ResultTree::Build(*store_, FsFamily::kNtfs));

  const ResultTree& tree = *tree_;
  std::function<void(std::size_t)> walk = [&](std::size_t node) {
    const std::string base = ToUtf8(tree.PathOf(node));
    for (const ListRow& row : tree.ShowFolder(tree.Node(node).folderId, FilterList{})) {
      if (row.kind != ListRow::Kind::kFile) continue;
      const FileRecord& file = store_->Files()[row.record];
      items_.push_back({false, file.deleted, file.id, base.empty() ? ToUtf8(file.name) : base + "/" + ToUtf8(file.name),
                        file.size});
    }
    for (const std::size_t child : tree.Node(node).children) {
      items_.push_back({true, tree.Node(child).deleted, tree.Node(child).folderId, ToUtf8(tree.PathOf(child)), 0});
      walk(child);
    }
  };
  walk(ResultTree::kRoot);
}

std::vector<NtfsItem> NtfsScan::ItemsOf(std::uint32_t record) const {
  std::vector<NtfsItem> found;
  for (const NtfsItem& item : items_)
    if (item.record == record) found.push_back(item);
  return found;
}

std::optional<NtfsItem> NtfsScan::Find(const std::string& path) const {
  for (const NtfsItem& item : items_)
    if (item.path == path) return item;
  return std::nullopt;
}

void NtfsScan::SelectOnly(const std::string& path) {
  ResultTree& tree = *tree_;
  tree.SetCheck(ResultTree::kRoot, false);
  const auto slash = path.rfind('/');
  const auto folder = tree.FindFolder(FromUtf8(slash == std::string::npos ? "" : path.substr(0, slash)));
  if (!folder) throw std::runtime_error("no folder for " + path);
  const std::u16string name = FromUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
  bool found = false;
  for (const ListRow& row : tree.ShowFolder(tree.Node(*folder).folderId, FilterList{})) {
    if (row.kind == ListRow::Kind::kFile && row.name == name) {
      tree.CheckFile(row.id, true);
      found = true;
    }
  }
  if (!found) throw std::runtime_error("no file " + path + " in the scan result");
}

void NtfsScan::SelectAll() {
  ResultTree& tree = *tree_;
  tree.SetCheck(ResultTree::kRoot, true);
  for (const std::uint64_t key : tree.FilesOf(tree.RootId())) tree.CheckFile(key, true);
}

std::uint32_t NtfsScan::Save(const fs::path& destination, DeletedMode deleted) {
  const SectorReader reader(*disk_);
  RecoverySettings settings;
  settings.deleted = deleted;
  const FilterList filter;
  SaveControl control;
  const SaveContext context{reader, result_.params, settings, filter, control};
  MakeFolderPath(destination);
  lastSave_ = SaveCheckedTree(context, *store_, *tree_, destination);
  return lastSave_.saved;
}

NtfsDiskCopy::NtfsDiskCopy() : raw_(dir_ / "ntfs.raw"), start_(NtfsStart()) {
  const CommandResult copy = RunShell("cp --sparse=always " + Quote(NtfsFixture("ntfs.raw")) + " " + Quote(raw_));
  if (copy.status != 0) throw std::runtime_error("cannot copy ntfs.raw");
  mftRuns_ = IstatRuns(NtfsFixture("ntfs.raw"), start_, 0);
}

std::uint64_t NtfsDiskCopy::RecordOffset(std::uint32_t record) const {
  constexpr std::uint64_t kClusterBytes = 4096;  // mkntfs's choice for a 64 MiB volume (fsstat agrees)
  std::uint64_t offset = std::uint64_t{record} * 1024;
  for (const auto& [first, clusters] : mftRuns_) {
    if (offset < clusters * kClusterBytes) return std::uint64_t{start_} * 512 + first * kClusterBytes + offset;
    offset -= clusters * kClusterBytes;
  }
  throw std::out_of_range("record " + std::to_string(record) + " lies past the MFT");
}

std::vector<std::uint8_t> NtfsDiskCopy::ReadRecord(std::uint32_t record) const {
  std::ifstream in(raw_, std::ios::binary);
  std::vector<std::uint8_t> bytes(1024);
  in.seekg(static_cast<std::streamoff>(RecordOffset(record)));
  in.read(reinterpret_cast<char*>(bytes.data()), 1024);
  if (!in) throw std::runtime_error("cannot read record " + std::to_string(record));
  return bytes;
}

void NtfsDiskCopy::WriteRecord(std::uint32_t record, const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != 1024) throw std::invalid_argument("a record is 1024 bytes");
  PatchFile(raw_, RecordOffset(record), bytes);
}

void NtfsDiskCopy::Patch(std::uint64_t byteOffset, const std::vector<std::uint8_t>& bytes) {
  PatchFile(raw_, byteOffset, bytes);
}

fs::path NtfsDiskCopy::Wrapped(const std::string& extension) const { return WrapRawDisk(raw_, dir_.Path(), "damaged", extension); }

}  // namespace dravik::test
