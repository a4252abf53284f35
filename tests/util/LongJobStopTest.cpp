// Stop, pause and resume of each long job the front ends run on a worker; the sector walk under the searches on any
// number of threads.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "fs/FsParamsReader.h"
#include "fs/QuickScan.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/FatExtract.h"
#include "fs/ntfs/NtfsExtract.h"
#include "raw/Catalogue.h"
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
  const std::shared_ptr<test::VolumeScan> volume = test::ScanImage(image);  // fails the test when not usable
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
            const ResultTree tree =
                ExtractFatFileSystem(*state->opened.reader, state->findings, params, store, control);
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
  const PartitionEntry fat16 = test::ListedEntries(test::ReadLayout("mbr")).front();
  EXPECT_EQ(fat16.code, kFat16);
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

// Each sector's first bytes hold its number, so a chunk read from the wrong place or taken out of order shows.
std::vector<std::uint8_t> NumberedSectors(std::size_t count) {
  std::vector<std::uint8_t> bytes(count * kSectorSize);
  for (std::size_t s = 0; s < count; ++s) {
    bytes[s * kSectorSize] = static_cast<std::uint8_t>(s * 7);
    bytes[s * kSectorSize + 1] = static_cast<std::uint8_t>(s >> 8);
  }
  return bytes;
}

struct Walked {
  std::vector<std::uint64_t> firsts;  // each chunk's first sector, as taken
  std::vector<std::uint64_t> sectors;  // each sector seen, decoded from its bytes
};

Walked Walk(const SectorReader& reader, WalkShape shape, ScanControl& control, std::size_t stopAfter = SIZE_MAX) {
  Walked walked;
  WalkSectors<std::vector<std::uint64_t>>(
      reader, shape, control,
      [](const SectorChunk& chunk, Bytes bytes) {
        std::vector<std::uint64_t> seen;
        for (std::uint32_t i = 0; i < chunk.sectors; ++i)
          seen.push_back(bytes[i * kSectorSize] | std::uint64_t{bytes[i * kSectorSize + 1]} << 8);
        EXPECT_EQ(bytes.data()[bytes.size()], 0) << "zero slack after the chunk";
        return seen;
      },
      [&](const SectorChunk& chunk, std::vector<std::uint64_t>&& seen) {
        walked.firsts.push_back(chunk.first);
        walked.sectors.insert(walked.sectors.end(), seen.begin(), seen.end());
        return walked.firsts.size() < stopAfter;
      });
  return walked;
}

TEST(SectorWalkTest, ChunksAreTakenInSectorOrderWithTheSameBytesOnAnyNumberOfThreads) {
  const MemorySource source(NumberedSectors(1000));
  const SectorReader reader(source);
  ScanControl control;
  // 10 to 995 in reads of 7: the last read is cut at the end, or whole.
  for (const bool whole : {false, true}) {
    const Walked one = Walk(reader, {10, 995, 7, 5, whole, 1}, control);
    ASSERT_EQ(one.firsts.size(), 29u) << "985 sectors in chunks of 35";
    std::vector<std::uint64_t> wanted;
    for (std::uint64_t s = 10; s < (whole ? 10 + 141 * 7 : 995); ++s)
      wanted.push_back((s * 7 & 0xFF) | (s >> 8) << 8);
    EXPECT_EQ(one.sectors, wanted) << whole;
    for (const unsigned threads : {2u, 3u, 8u}) {
      const Walked many = Walk(reader, {10, 995, 7, 5, whole, threads}, control);
      EXPECT_EQ(many.firsts, one.firsts) << threads;
      EXPECT_EQ(many.sectors, one.sectors) << threads;
    }
  }
  // A take that wants no more ends the walk there.
  EXPECT_EQ(Walk(reader, {0, 1000, 8, 2, false, 3}, control, 4).firsts, (std::vector<std::uint64_t>{0, 16, 32, 48}));
}

// A stop asked while the third chunk is taken: nothing is taken after it; workers stop within the chunks run ahead.
TEST(SectorWalkTest, AStopEndsTheWalkWithinTheChunksRunAhead) {
  const MemorySource source(NumberedSectors(4096));
  const SectorReader reader(source);
  std::atomic<int> scanned{0};
  std::size_t taken = 0;
  ScanControl control;
  WalkSectors<int>(
      reader, {0, 4096, 8, 4, false, 3}, control, [&](const SectorChunk&, Bytes) { return ++scanned; },
      [&](const SectorChunk&, int&&) {
        if (++taken == 3) control.RequestStop();
        return true;
      });
  EXPECT_EQ(taken, 3u);
  EXPECT_LE(scanned.load(), static_cast<int>(3 + WalkSlots({0, 4096, 8, 4, false, 3})));
}

std::vector<SignatureGroup> EveryType() {
  const auto catalogue = LoadCatalogue(DRAVIK_RAW_DAT);
  EXPECT_TRUE(catalogue);
  std::vector<std::size_t> items(catalogue->entries.size());
  for (std::size_t i = 0; i < items.size(); ++i) items[i] = i;
  TraceChoice choice;
  ConfirmTypes(*catalogue, items, 1, choice);
  return choice.groups;
}

std::string Listed(const std::vector<FoundFile>& files) {
  std::ostringstream out;
  for (const FoundFile& f : files)
    out << f.fileNumber << ' ' << f.firstSector << ' ' << std::string(f.name.begin(), f.name.end()) << ' '
        << std::string(f.typeName.begin(), f.typeName.end()) << '\n';
  return out.str();
}

std::string Listed(const ExtensiveFindings& f) {
  std::ostringstream out;
  for (const auto s : f.bootSectors) out << "boot " << s << '\n';
  for (const auto& d : f.dirClusters)
    out << "dir " << d.sector << ' ' << d.cluster << ' ' << d.parentCluster << ' ' << d.date1 << ' ' << d.date2 << '\n';
  for (const auto& d : f.ntfsFolders)
    out << "folder " << d.recordLba << ' ' << d.parentId << ' ' << d.mftNumber << ' ' << d.name.size() << ' '
        << d.deleted << ' ' << d.indexStartCluster << '\n';
  for (const auto& d : f.ntfsFiles)
    out << "file " << d.recordLba << ' ' << d.parentId << ' ' << d.size << ' ' << d.name.size() << ' ' << d.deleted
        << '\n';
  for (const auto& d : f.indexRecords) out << "index " << d.sector << ' ' << d.vcn << ' ' << d.ownerMft << '\n';
  for (const auto& d : f.mftAnchors) out << "anchor " << d.sector << ' ' << d.clusterEnd << '\n';
  for (const auto& d : f.systemRecords)
    out << "system " << d.sector << ' ' << d.number << ' ' << d.dataSize << ' ' << d.runs.size() << '\n';
  for (const auto& d : f.fileSystems) out << "volume " << d.Label() << ' ' << d.fsEnd << '\n';
  return out.str();
}

// File Trace over the trace fixture, a dynamic VHDX (the walk passes over the blocks it does not hold on every thread
// alike), and both Extensive Scan searches.
TEST(SectorWalkTest, SearchesFindTheSameOnOneThreadAndOnSeveral) {
  const test::OpenedImage trace = test::OpenForSearch(test::FixtureIn("trace", "trace.vhdx"));
  const SectorReader& reader = *trace.reader;
  const auto groups = EveryType();
  ScanControl control;
  const auto one = ScanSignatures(reader, 0, reader.SectorCount() - 1, groups, nullptr, control, 1);
  ASSERT_GT(one.size(), 80u);
  ScanControl many;
  EXPECT_EQ(Listed(ScanSignatures(reader, 0, reader.SectorCount() - 1, groups, nullptr, many, 3)), Listed(one));
  EXPECT_TRUE(control.Counts().files == one.size() && many.Counts().files == one.size());
  for (const auto& [image, fsType] :
       {std::pair<const char*, std::uint16_t>{"ntfslost.vhd", kNtfs}, {"twin.vhd", kFat32}}) {
    const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture(image));
    ScanControl single, several;
    ExtensiveFindings alone, shared;
    RunExtensiveScan(*opened.reader, fsType, 0, opened.reader->SectorCount(), 100, alone, single, 1);
    ASSERT_FALSE(alone.fileSystems.empty()) << image;
    RunExtensiveScan(*opened.reader, fsType, 0, opened.reader->SectorCount(), 100, shared, several, 3);
    EXPECT_EQ(Listed(shared), Listed(alone)) << image;
    EXPECT_EQ(several.Counts().found, single.Counts().found) << image;
  }
}

}  // namespace
}  // namespace dravik
