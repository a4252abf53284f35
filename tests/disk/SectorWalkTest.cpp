// Sector reads over an image; the sector walk taking chunks in order with the same results on any number of threads, as
// the searches on it (File Trace, Extensive Scan) do; a stop ending it within the chunks run ahead.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "ExtensiveFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "fs/extensive/ExtensiveScan.h"
#include "raw/Catalogue.h"
#include "raw/SignatureScan.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

// A fixed VHD's sectors are its file's; a failed read leaves zeros, not the last sector read.
TEST(SectorReaderTest, ReadsSectorsOfTheImageAndZerosWhereItCannot) {
  VirtualDisk disk;
  const auto image = test::Fixture("vhd-fixed.vhd");
  ASSERT_TRUE(OpenImage(disk, image, false).Usable());
  const auto file = test::ReadFileBytes(image);
  const SectorReader reader(disk);
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(reader.Read(1000, 3, buffer));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), file.begin() + 1000 * 512));
  EXPECT_TRUE(reader.Read(5, 0, buffer));  // an empty read
  EXPECT_FALSE(reader.Read(0, 4, buffer)) << "a buffer too small for the sectors is refused";
  ASSERT_TRUE(reader.Read(reader.SectorCount() - 1, 1, buffer));
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0xCD});
  EXPECT_FALSE(reader.Read(reader.SectorCount() + 100000, 2, buffer));
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 1024, [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(reader.Read(~std::uint64_t{0} / 256, 1, buffer));  // sector number whose byte offset overflows
}

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
