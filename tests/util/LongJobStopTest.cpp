// Each long job the front ends run on a worker, a row each: a stop before the start finds nothing, a stop mid-way
// leaves a consistent part of a whole run (as the row checks), a pause holds it until a resume finishes the run.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "fs/FsParamsReader.h"
#include "fs/QuickScan.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/FatExtract.h"
#include "fs/ntfs/NtfsExtract.h"
#include "raw/SignatureScan.h"
#include "util/Diagnostics.h"
#include "util/Utf.h"
#include "vdisk/ByteSource.h"

namespace dravik {
namespace {

using Lines = std::vector<std::string>;

// run: what it found, a line an item; midway: the report to stop or pause at; nothing: what a stop before leaves.
struct Job {
  std::function<Lines(ScanControl&)> run;
  std::function<bool(const ProgressUpdate&, const ScanControl&)> midway;
  std::function<void(const Lines& part, const Lines& whole)> checkPart;
  Lines nothing = {};
};

void PartOfWhole(const Lines& part, const Lines& whole) {
  EXPECT_TRUE(!part.empty() && part.size() < whole.size()) << "found nothing, or the stop did not end the job early";
  for (const std::string& line : part)
    EXPECT_NE(std::find(whole.begin(), whole.end(), line), whole.end()) << "not in the whole run: " << line;
}

// Stops at the first report once files were listed (one every 64 entries).
Job QuickScanJob(const std::filesystem::path& image) {
  const std::shared_ptr<test::ScannedVolume> volume = test::ScanImage(image);
  EXPECT_TRUE(volume && volume->result.Usable()) << image;
  return {[volume](ScanControl& control) {
            RecoveryStore store;
            RunQuickScan(*volume->reader, volume->partition, store, control);
            Lines lines;
            for (const test::ListedItem& item : test::ScanItems(store))
              lines.push_back((item.folder ? "D " : "F ") + item.path);
            return lines;
          },
          [](const ProgressUpdate& u, const ScanControl& c) { return u.percent >= 0 && c.Counts().files > 0; },
          PartOfWhole};
}

std::uint64_t ReadingSector(const ProgressUpdate& update) {
  static const std::string kReading = "Reading Sector ";
  return update.text.rfind(kReading, 0) == 0 ? std::stoull(update.text.substr(kReading.size())) : 0;
}

// Twin searched from its first volume; the first report (after 88 blocks of 10 sectors) is past FAT16's folders.
Job FatExtensiveSearchJob() {
  const auto opened = std::make_shared<test::OpenedImage>(test::OpenForSearch(test::ExtensiveFixture("twin.vhd")));
  const auto truth = test::ReadTruth("twin");
  EXPECT_LT(truth[0].start + 88 * 10, truth[1].start);
  return {[opened, start = truth[0].start](ScanControl& control) {
            ExtensiveFindings findings;
            RunExtensiveScan(*opened->reader, kFat32, start, opened->reader->SectorCount() - start, 10, findings,
                             control);
            Lines lines;
            for (const FoundFileSystem& fs : findings.fileSystems)
              lines.push_back("cluster base " + std::to_string(fs.clusterBase));
            return lines;
          },
          [](const ProgressUpdate& update, const ScanControl&) { return ReadingSector(update) != 0; },
          [truth](const Lines& part, const Lines& whole) {
            EXPECT_TRUE(whole.size() == 2u && part == Lines{"cluster base " + std::to_string(truth[0].clusterBase)});
          }};
}

// ntfspair stopped once a folder's record was taken: the folders read before are numbered though the search ended.
Job NtfsExtensiveSearchJob() {
  struct State {
    test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfspair.vhd"));
    std::atomic<std::uint64_t> stoppedAt{0};
    std::vector<std::uint32_t> numbers;
  };
  const auto state = std::make_shared<State>();
  return {[state](ScanControl& control) {
            ExtensiveFindings findings;
            RunExtensiveScan(*state->opened.reader, kNtfs, 0, state->opened.reader->SectorCount(), 10, findings,
                             control);
            Lines lines;
            state->numbers.clear();
            for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
              lines.push_back(std::to_string(folder.recordLba));
              state->numbers.push_back(folder.mftNumber);
            }
            return lines;
          },
          [state](const ProgressUpdate& update, const ScanControl& control) {
            // The NTFS search counts boot sectors, index records, files and folders found.
            return control.Counts().found[3] > 0 && (state->stoppedAt = ReadingSector(update));
          },
          [state](const Lines& part, const Lines& whole) {
            PartOfWhole(part, whole);
            Lines before;
            for (const std::string& lba : whole)
              if (std::stoull(lba) < state->stoppedAt) before.push_back(lba);
            EXPECT_EQ(part, before) << "every folder read before the stop, and none after";
            for (const std::uint32_t number : state->numbers) EXPECT_NE(number, 0u) << "a folder left unnumbered";
          }};
}

// Twin's FAT16 extracted, stopped after the root and a folder: the files read stay, every folder found in one tree.
Job FatExtractJob() {
  struct State {
    test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
    ExtensiveFindings findings;
    std::atomic<bool> reading{false};
  };
  const auto state = std::make_shared<State>();
  ScanControl searching;
  RunExtensiveScan(*state->opened.reader, kFat16, 0, state->opened.reader->SectorCount(), 10, state->findings,
                   searching);
  EXPECT_FALSE(state->findings.fileSystems.empty());
  return {[state](ScanControl& control) {
            state->reading = false;
            if (state->findings.fileSystems.empty()) return Lines{};
            FsParams params = test::FoundOnDisk(state->findings, 1, *state->opened.reader);
            RecoveryStore store;
            const ResultTree tree = ExtractFatFileSystem(*state->opened.reader, state->findings, params, store, control);
            Lines lines;
            for (const test::ListedItem& item : test::ScanItems(store))
              if (!item.folder) lines.push_back(item.path);
            if (store.Folders().empty()) return lines;
            lines.push_back(std::to_string(store.Folders().size()) + " folders");
            lines.push_back(tree.Nodes().size() == store.Folders().size() + 1 ? "every folder in the tree"
                                                                               : "folders missing from the tree");
            return lines;
          },
          [state](const ProgressUpdate& update, const ScanControl&) {
            if (update.text == ExtensiveTexts::kExtractStep4) state->reading = true;
            return state->reading && update.text.empty();
          },
          [](const Lines& part, const Lines& whole) {
            PartOfWhole(part, whole);
            EXPECT_NE(std::find(part.begin(), part.end(), "root file.txt"), part.end());
            EXPECT_EQ(part.end()[-2], whole.end()[-2]) << "as many folders as a whole run";
            EXPECT_EQ(part.back(), "every folder in the tree");
          }};
}

// ntfsok extracted, stopped as the entries are taken: only "Lost Dir" and what it holds.
Job NtfsExtractJob() {
  struct State {
    test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfsok.vhd"));
    ExtensiveFindings findings;
    bool lostDirOnly = false;
  };
  const auto state = std::make_shared<State>();
  ScanControl searching;
  RunExtensiveScan(*state->opened.reader, kNtfs, 0, state->opened.reader->SectorCount(), 100, state->findings,
                   searching);
  EXPECT_EQ(state->findings.fileSystems.size(), 1u);
  return {[state](ScanControl& control) {
            if (state->findings.fileSystems.empty()) return Lines{};
            RecoveryStore store;
            const ResultTree tree = ExtractNtfsFileSystem(
                state->findings, test::FoundOnDisk(state->findings, 1, *state->opened.reader), store, control);
            state->lostDirOnly = tree.FindFolder(u"Lost Dir") && !tree.FindFolder(u"Alpha");
            Lines lines;
            for (const FolderRecord& folder : store.Folders())
              lines.push_back(std::string(folder.id == kLostDirId || folder.parentId == kLostDirId ? "lost " : "") +
                              "D " + std::to_string(folder.id) + " " + ToUtf8(folder.name));
            return lines;
          },
          [](const ProgressUpdate& update, const ScanControl&) { return update.text == NtfsExtractTexts::kExtracting; },
          [state](const Lines& part, const Lines& whole) {
            PartOfWhole(part, whole);
            for (const std::string& line : part) EXPECT_EQ(line.rfind("lost ", 0), 0u) << line;
            EXPECT_TRUE(state->lostDirOnly) << "the tree of a stopped run: Lost Dir, not Alpha";
          },
          {"lost D " + std::to_string(kLostDirId) + " Lost Dir"}};
}

// Ten GIF starts early and one far on: a stop at half way (after the tenth) keeps the ten.
Job SignatureScanJob() {
  std::vector<std::uint8_t> bytes(20000 * kSectorSize, 0);
  for (std::size_t s = 100; s < 110; ++s) std::copy_n("GIF8", 4, bytes.data() + s * kSectorSize);
  std::copy_n("GIF8", 4, bytes.data() + 19000 * kSectorSize);
  const auto disk = std::make_shared<MemorySource>(std::move(bytes));
  return {[disk](ScanControl& control) {
            const std::vector<SignatureGroup> gif = {{u".gif", u"GIF", 4, "47494638", 0}};
            Lines lines;
            for (const FoundFile& file : ScanSignatures(SectorReader(*disk), 0, 19999, gif, nullptr, control))
              lines.push_back(std::to_string(file.firstSector) + " " + ToUtf8(file.name));
            return lines;
          },
          [](const ProgressUpdate& update, const ScanControl&) { return update.percent >= 50; },
          [](const Lines& part, const Lines& whole) {
            PartOfWhole(part, whole);
            EXPECT_EQ(part, Lines(whole.begin(), whole.begin() + 10));
          }};
}

// mbr without its table, 16 heads (as a VHD footer may give): a report every 64 cylinders; what was found is kept.
Job PartitionSearchJob() {
  const auto copy = std::make_shared<test::DiskCopy>("mbr");
  copy->ZeroSector(0);
  const std::shared_ptr<ByteSource> source = copy->OpenRaw();
  return {[copy, source](ScanControl& control) {
            const SectorReader reader(*source);
            PartitionTable table;
            const auto ask = [] { ADD_FAILURE() << "asked, the table empty"; return PartitionChoice::kCancel; };
            SearchPartitions(reader, SearchGeometry({203, 16, 63}, reader.SectorCount()), table, ask, control);
            Lines lines;
            for (const PartitionEntry& e : table.Entries())
              lines.push_back(std::to_string(e.start) + " " + std::to_string(e.sectors) + " " + std::to_string(e.code));
            return lines;
          },
          [](const ProgressUpdate& u, const ScanControl& c) { return u.percent > 0 && c.Counts().files > 0; },
          PartOfWhole};
}

// mbr's FAT16 without its boot sector: a stopped calculation of its parameters gives nothing and no diagnostic.
Job ParamsCalculationJob() {
  const auto copy = std::make_shared<test::DiskCopy>("mbr");
  PartitionEntry fat16;
  for (const PartitionEntry& e : test::ListedEntries(test::ReadLayout("mbr")))
    if (e.code == kFat16 && fat16.sectors == 0) fat16 = e;
  EXPECT_NE(fat16.sectors, 0u);
  copy->ZeroSector(fat16.start);
  const std::shared_ptr<ByteSource> source = copy->OpenRaw();
  const auto diagnostics = std::make_shared<std::unique_ptr<Diagnostics>>();
  return {[copy, source, fat16, diagnostics](ScanControl& control) {
            FsParams params = FsParams::ForPartition(fat16);
            *diagnostics = std::make_unique<Diagnostics>();
            if (!CalculateFsParams(SectorReader(*source), params, control, **diagnostics)) return Lines{};
            return Lines{"cluster " + std::to_string(params.sectorsPerCluster),
                         "base " + std::to_string(params.clusterBase), "fat " + std::to_string(params.fatSize)};
          },
          [](const ProgressUpdate& update, const ScanControl&) { return update.percent >= 0; },
          [diagnostics](const Lines& part, const Lines& whole) {
            EXPECT_TRUE(whole.size() == 3u && part.empty());
            EXPECT_TRUE((*diagnostics)->Empty()) << "a stop asked for by the user is no finding";
          }};
}

struct Row { const char* name; std::function<Job()> make; };

const Row kRows[] = {
    {"FatQuickScan", [] { return QuickScanJob(test::FatFixture("fat32-4k.vhd")); }},
    {"NtfsQuickScan", [] { return QuickScanJob(test::NtfsFixture("ntfs.vhd")); }},
    {"FatExtensiveSearch", FatExtensiveSearchJob}, {"NtfsExtensiveSearch", NtfsExtensiveSearchJob},
    {"FatExtraction", FatExtractJob}, {"NtfsExtraction", NtfsExtractJob}, {"SignatureScan", SignatureScanJob},
    {"PartitionSearch", PartitionSearchJob}, {"ParamsCalculation", ParamsCalculationJob},
};

class LongJobStopTest : public ::testing::TestWithParam<Row> {};

// A control that does act to itself at the first report midway holds true for.
struct ActingControl {
  ActingControl(const Job& job, std::function<void(ScanControl&)> act)
      : control([this, &job, act = std::move(act)](const ProgressUpdate& update) {
          ++reports;
          if (!fired && job.midway(update, control)) fired = true, act(control);
        }) {}
  std::atomic<int> reports{0};
  std::atomic<bool> fired{false};
  ScanControl control;
};

TEST_P(LongJobStopTest, StopBeforeStopMidwayAndPauseResume) {
  using namespace std::chrono_literals;
  const Job job = GetParam().make();
  ScanControl before;
  before.RequestStop();
  EXPECT_EQ(job.run(before), job.nothing) << "a stop before the start";
  ScanControl plain;
  const Lines whole = job.run(plain);
  ActingControl stopping(job, [](ScanControl& control) { control.RequestStop(); });
  const Lines part = job.run(stopping.control);
  ASSERT_TRUE(stopping.fired) << "no report to stop at";
  job.checkPart(part, whole);
  ActingControl pausing(job, [](ScanControl& control) { control.Pause(); });
  std::atomic<bool> done{false};
  Lines result;
  std::thread worker([&] {
    result = job.run(pausing.control);
    done = true;
  });
  for (int i = 0; i < 1000 && !pausing.fired && !done; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(pausing.fired) << "no report to pause at";
  std::this_thread::sleep_for(50ms);  // a report or two may still come before the worker's next check
  const int reports = pausing.reports;
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(pausing.reports, reports) << "progress while paused";
  EXPECT_FALSE(done) << "the job ended while paused";
  pausing.control.Resume();
  worker.join();
  EXPECT_EQ(result, whole) << "a resumed run finishes as an unpaused one";
}

INSTANTIATE_TEST_SUITE_P(Jobs, LongJobStopTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace dravik
