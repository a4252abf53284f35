// File Trace on known bytes: the catalogue the build makes (and odd ones), the choice of types, the signature scan,
// the tree of types, carved files of the carve size, ends of hand-made bytes the fixture's files cannot show.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "raw/CarveEnd.h"
#include "raw/CarveWriter.h"
#include "raw/Catalogue.h"
#include "raw/CompoundFile.h"
#include "raw/SignatureScan.h"
#include "raw/TraceTree.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ByteSource.h"

namespace dravik {
namespace {

// A record as Raw.dat holds it.
std::vector<std::uint8_t> Record(char category, const std::string& extension, const std::string& type,
                                 const std::vector<std::uint8_t>& signature, const std::vector<std::uint8_t>& extra) {
  std::vector<std::uint8_t> out = {0, 0, static_cast<std::uint8_t>(category)};
  const std::string length = std::to_string(signature.size());
  using V = std::vector<std::uint8_t>;
  for (const V& field : {V(extension.begin(), extension.end()), V(type.begin(), type.end()),
                         V(length.begin(), length.end()), signature, extra}) {
    out.insert(out.end(), {static_cast<std::uint8_t>(field.size()), 0});
    out.insert(out.end(), field.begin(), field.end());
  }
  return out;
}

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> records) {
  std::vector<std::uint8_t> out;
  for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
  return out;
}

const auto kZip = Record('0', ".zip", "ZIP Archive", {0x50, 0x4B, 0x03, 0x04}, {0x12});
const auto kGz = Record('0', ".gz", "GZIP", {0x1F, 0x8B}, {0x1A});

TEST(CatalogueTest, TheBuiltCatalogueHoldsEveryTypeOfItsSource) {
  const auto catalogue = LoadCatalogue(DRAVIK_RAW_DAT);
  ASSERT_TRUE(catalogue);
  std::ifstream source(DRAVIK_RAW_SOURCE);
  std::size_t i = 0;
  std::vector<std::string> categoriesSeen;
  for (std::string line; std::getline(source, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::vector<std::string> f;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) f.push_back(field);
    ASSERT_EQ(f.size(), 5u);
    ASSERT_LT(i, catalogue->entries.size());
    const CatalogueEntry& e = catalogue->entries[i++];
    EXPECT_EQ(std::string(1, e.category) + e.extension + "|" + e.typeName, f[0] + f[1] + "|" + f[2]);
    // A signature further into the sector keeps its offset ("@N") in the length field.
    const std::size_t at = f[3].find('@');
    const std::string hex = f[3].substr(0, at), offset = at == std::string::npos ? "" : f[3].substr(at);
    EXPECT_TRUE(e.signature == hex && e.signatureLength == std::to_string(hex.size() / 2) + offset);
    const std::string name = CategoryName(f[0][0]);
    if (std::find(categoriesSeen.begin(), categoriesSeen.end(), name) == categoriesSeen.end())
      categoriesSeen.push_back(name);
  }
  EXPECT_TRUE(i == catalogue->entries.size() && i >= 100u);
  std::vector<std::string> categories;
  for (const CatalogueCategory& c : catalogue->categories) categories.push_back(c.name);
  EXPECT_EQ(categories, categoriesSeen) << "one item per category, in the order of first use";
}

TEST(CatalogueTest, OddFilesAreReadAsFarAsTheyGoAndAChoiceTakesEveryEntryOfAnExtension) {
  EXPECT_TRUE(ReadCatalogue({}).entries.empty() && ReadCatalogue({}).categories.empty());
  const Catalogue c = ReadCatalogue(Join({kZip, kGz, Record('4', "", "No Item", {0xFF}, {})}));
  ASSERT_TRUE(c.entries.size() == 3u && c.categories.size() == 1u) << "a record without extension has no item";
  EXPECT_EQ(c.categories[0].items, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(c.entries[0].signature + "/" + c.entries[0].extra, "504B0304/12");
  // Cut inside the second record's type name: read with what is left.
  std::vector<std::uint8_t> cut = Join({kZip, kGz});
  cut.resize(kZip.size() + 3 + 2 + 3 + 2 + 2);
  const Catalogue part = ReadCatalogue(cut);
  ASSERT_EQ(part.entries.size(), 2u);
  EXPECT_EQ(part.entries[1].extension + "|" + part.entries[1].typeName + "|" + part.entries[1].signature, ".gz|GZ|");
  EXPECT_EQ(CategoryName('X'), "X");
  // A choice confirmed appends a group per entry of each checked extension.
  const Catalogue two = ReadCatalogue(Join({kZip, kGz, Record('0', ".zip", "Empty ZIP", {0x50, 0x4B, 5, 6}, {0x1A})}));
  TraceChoice choice;
  EXPECT_FALSE(ConfirmTypes(two, {}, 5, choice) || choice.carveSizeMiB) << "nothing checked";
  const std::vector<std::size_t> checked = {0};
  ASSERT_TRUE(ConfirmTypes(two, checked, 5, choice));
  ASSERT_EQ(choice.groups.size(), 2u) << "both entries named .zip";
  EXPECT_EQ(choice.groups[0].typeName + u"|" + choice.groups[1].typeName, u"ZIP Archive|Empty ZIP");
  EXPECT_TRUE(choice.groups[0].signatureLength == 4u && choice.carveSizeMiB == 5u);
  EXPECT_EQ(choice.groups[0].extraValue, 12u) << "the hexadecimal text read as decimal";
  EXPECT_EQ(choice.groups[1].extraValue, 1u) << "a letter ends the number";
  ASSERT_TRUE(ConfirmTypes(two, checked, 25, choice));
  EXPECT_TRUE(choice.groups.size() == 4u && choice.carveSizeMiB == 25u) << "confirmed twice: appended twice";
  EXPECT_EQ(CarveSizeOfEntry(20), 25u);
  EXPECT_TRUE(PreselectedCarveEntry(0) == 1u && PreselectedCarveEntry(25) == 20u) << "\"2 MB\", then the last choice";
}

using Lines = std::vector<std::string>;
using Indices = std::vector<std::size_t>;

// A disk of sectors, each beginning with the given bytes (the rest zeros).
std::vector<std::uint8_t> Disk(std::size_t sectors, const std::vector<std::pair<std::size_t, std::string>>& starts) {
  std::vector<std::uint8_t> bytes(sectors * kSectorSize, 0);
  for (const auto& [sector, text] : starts) std::copy(text.begin(), text.end(), bytes.data() + sector * kSectorSize);
  return bytes;
}

SignatureGroup Group(const char16_t* extension, const char16_t* type, const std::string& ascii) {
  std::string hex;
  for (const char c : ascii) hex += {"0123456789abcdef"[static_cast<std::uint8_t>(c) >> 4], "0123456789abcdef"[c & 15]};
  return {extension, type, static_cast<std::uint32_t>(ascii.size()), hex, 0};  // lower-case hex: case does not matter
}

// Each hit as "SECTOR NAME TYPE".
Lines Hits(const std::vector<FoundFile>& files) {
  Lines hits;
  for (const FoundFile& f : files)
    hits.push_back(std::to_string(f.firstSector) + " " + ToUtf8(f.name) + " " + ToUtf8(f.typeName));
  return hits;
}

// A compound document takes the kind its content names when a group of that kind is sought; else its extension stays.
TEST(SignatureScanTest, FirstGroupThatMatchesDecidesEachHit) {
  const std::string cfb = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
  const MemorySource disk(
      Disk(200, {{3, "PK\x03\x04rest"}, {5, cfb}, {9, cfb}, {10, "GIF89a"}, {11, "PKxx"}, {150, "GIF89a"}}));
  const SectorReader reader(disk);
  const std::vector<SignatureGroup> groups = {Group(u".zip", u"ZIP", "PK\x03\x04"), Group(u".pk", u"PK", "PK"),
                                              Group(u".gif", u"GIF", "GIF8"), Group(u".doc", u"Office", cfb),
                                              Group(u".xls", u"Excel", "XLSX")};
  const OfficeKind kind = [](std::uint64_t sector) { return sector == 5 ? std::u16string(u".xls") : u".pub"; };
  ScanControl control;
  // The range ends at sector 100, but the last read reaches 127.
  EXPECT_EQ(Hits(ScanSignatures(reader, 0, 100, groups, kind, control)),
            (Lines{"3 1.zip ZIP", "5 2.xls Excel", "9 3.doc Office", "10 4.gif GIF", "11 5.pk PK"}));
  EXPECT_EQ(Hits(ScanSignatures(reader, 64, 199, groups, kind, control)), (Lines{"150 1.gif GIF"}));
  EXPECT_TRUE(ScanSignatures(reader, 0, 199, {}, nullptr, control).empty());
  SignatureGroup odd = Group(u".zip", u"ZIP", "PK");
  odd.signatureLength = 3;
  EXPECT_TRUE(ScanSignatures(reader, 0, 199, std::vector{odd}, nullptr, control).empty())
      << "a signature whose text is not its length in bytes never matches";
}

// A disk's order returns to a type many times; still one item per type (spelt as its first file) and per extension.
TEST(TraceTreeTest, OneItemPerTypeAndExtensionAndNodeChecksFollowTheirFiles) {
  const std::vector<FoundFile> files = {{u".jpg", u"1.jpg", u"JPEG", 1, 0}, {u".JPEG", u"2.JPEG", u"jpeg", 2, 1},
                                        {u".png", u"3.png", u"PNG", 3, 2},  {u".JPG", u"4.JPG", u"JPEG", 4, 3},
                                        {u".png", u"5.png", u"PNG", 5, 4},  {u".jpeg", u"6.jpeg", u"JPEG", 6, 5}};
  const auto items = BuildTraceTree(files);
  ASSERT_TRUE(items.size() == 2u && items[0].extensions.size() == 2u);
  EXPECT_EQ(items[0].typeName + u" " + items[0].extensions[0].extension + u" " + items[0].extensions[1].extension +
                u" " + items[1].typeName,
            u"JPEG .jpg .JPEG PNG");
  EXPECT_EQ(items[0].files, (Indices{0, 1, 3, 5}));
  EXPECT_TRUE(items[0].extensions[0].files == Indices({0, 3}) && items[0].extensions[1].files == Indices({1, 5}));
  EXPECT_TRUE(items[1].extensions.size() == 1u && items[1].files == Indices({2, 4}));
  EXPECT_TRUE(BuildTraceTree({}).empty());
  // The tree keeps a view of the files: they must outlive it.
  const std::vector<FoundFile> found = {{u".jpg", u"1.jpg", u"JPEG", 1, 0}, {u".png", u"2.png", u"PNG", 2, 1},
                                        {u".jpg", u"3.jpg", u"JPEG", 3, 2}, {u".gif", u"4.gif", u"GIF", 4, 3}};
  TraceTree tree = TraceTree::Build(found);
  ASSERT_EQ(tree.Nodes().size(), 7u) << "Root, JPEG > .jpg, PNG > .png, GIF > .gif";
  ASSERT_TRUE(tree.Node(0).children.size() == 3u && tree.Node(0).files.size() == 4u);
  const std::size_t jpeg = tree.Node(0).children[0], jpg = tree.Node(jpeg).children[0];
  EXPECT_TRUE(tree.Node(jpg).label == u".jpg" && tree.Node(jpg).parent == jpeg);
  EXPECT_EQ(tree.Node(jpg).files, (Indices{0, 2}));
  EXPECT_EQ(tree.State(0), CheckState::kChecked) << "everything is checked after a scan";
  tree.SetFile(3, false);
  for (const std::size_t node : {jpg, jpeg, std::size_t{0}}) EXPECT_EQ(tree.State(node), CheckState::kPartial) << node;
  tree.SetNode(jpeg, false);
  EXPECT_TRUE(tree.State(jpg) == CheckState::kUnchecked && tree.Checked() == std::unordered_set<std::uint32_t>({2, 4}));
  tree.SetNode(0, true);
  EXPECT_EQ(tree.Checked().size(), 4u);
  EXPECT_EQ(TraceTree::Build({}).State(0), CheckState::kUnchecked) << "nothing found: nothing to check";
}

TEST(CarveWriterTest, CarvedFilesHaveTheCarveSizeAndZerosPastTheDisk) {
  std::vector<std::uint8_t> bytes(3000 * kSectorSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
  const MemorySource disk(bytes);
  const SectorReader reader(disk);
  const FsParams params;
  const RecoverySettings settings;
  const FilterList filter;
  SaveControl control;
  const std::vector<FoundFile> files = {{u".bin", u"1.bin", u"Bin", 1, 100}, {u".bin", u"2.bin", u"Bin", 2, 2500},
                                        {u".bin", u"3.bin", u"Bin", 3, 7}};
  test::TempDir dir;
  const SaveSummary summary =
      SaveCarvedFiles({reader, params, settings, filter, control}, files, {1, 2}, 1, dir.Path());
  EXPECT_TRUE(summary.saved == 2u && summary.Complete());
  const auto first = test::ReadFileBytes(dir / "1.bin"), last = test::ReadFileBytes(dir / "2.bin");
  ASSERT_TRUE(first.size() == 1048576u && last.size() == 1048576u);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), bytes.data() + 100 * kSectorSize));
  // 500 sectors of the disk, then zeros.
  EXPECT_TRUE(std::equal(last.data(), last.data() + 500 * kSectorSize, bytes.data() + 2500 * kSectorSize));
  EXPECT_TRUE(std::all_of(last.begin() + 500 * kSectorSize, last.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(std::filesystem::exists(dir / "3.bin")) << "not checked";
}

std::vector<std::uint8_t> Bytes8(std::initializer_list<int> list) { return {list.begin(), list.end()}; }

// Markers inside a JPEG's scan; a ZIP that holds another ZIP; ends beyond the carved bytes; sizes that wrap round (a
// 64-bit box size back to the walk's start, 7-Zip header fields whose sum wraps) give no end and no hang.
TEST(CarveEndTest, EndsAreFoundOnlyWhereTheFormatPutsThem) {
  // SOI, a 4-byte APP0, SOS of 4 bytes, scan data with a stuffed FF00 and a restart marker, EOI; then trailing bytes.
  const auto jpeg = Bytes8({0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 1, 2, 0xFF, 0xDA, 0, 4, 9, 9, 0x11, 0xFF, 0, 0x22, 0xFF,
                            0xD3, 0x33, 0xFF, 0xD9, 0xAA, 0xBB});
  EXPECT_EQ(CarvedFileEnd(u".JPG", jpeg), std::optional<std::uint64_t>(23));
  EXPECT_FALSE(CarvedFileEnd(u".jpg", Bytes(jpeg).first(21))) << "cut before its end";
  // An inner end-of-directory whose directory does not end where it stands, then the outer one (0 bytes at 30).
  std::vector<std::uint8_t> zip(30, 0);
  const auto inner = Bytes8({'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 3, 0, 0, 0, 0, 0});
  std::copy(inner.begin(), inner.end(), zip.begin() + 4);
  const auto outer = Bytes8({'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 52, 0, 0, 0, 2, 0, 'h', 'i', 7});
  zip.insert(zip.end(), 22, 0);
  zip.insert(zip.end(), outer.begin(), outer.end());
  EXPECT_EQ(CarvedFileEnd(u".zip", zip), std::optional<std::uint64_t>(52 + 24));
  EXPECT_FALSE(CarvedFileEnd(u".wav", Bytes8({'R', 'I', 'F', 'F', 0xFF, 0xFF, 0, 0, 'W', 'A', 'V', 'E'})));
  EXPECT_FALSE(HasEndRule(u".wmf"));
  for (auto [extension, head] :
       {std::pair{u".mp4", Bytes8({0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 0, 0, 0, 1, 'm',
                                   'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0})},
        std::pair{u".7z", Bytes8({'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4, 0, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0x30, 0, 0, 0, 0, 0, 0, 0})}}) {
    head.resize(4096, 0);
    EXPECT_FALSE(CarvedFileEnd(extension, head)) << ToUtf8(extension);
  }
}

// LibreOffice's files name no program: the kind comes from their streams; nokind.pub has none of those left.
TEST(CompoundFileTest, TellsOfficeFilesApartByAppNameOrStreams) {
  for (const auto& [name, kind] : std::vector<std::pair<std::string, std::u16string>>{
           {"report.doc", u".doc"}, {"sheet.xls", u".xls"}, {"slides.ppt", u".ppt"}, {"nokind.pub", u".pub"}}) {
    const auto bytes = test::ReadFileBytes(test::FixtureIn("trace", name));
    ASSERT_FALSE(bytes.empty()) << name;
    EXPECT_EQ(OfficeKindOfCompound(bytes), kind) << name;
    EXPECT_EQ(OfficeKindOfCompound(Bytes(bytes).first(700)), u".pub") << name << " cut: a compound file no longer";
  }
  for (const auto& [app, kind] : {std::pair{"Microsoft Office PowerPoint", u".ppt"}, {"Microsoft Excel", u".xls"},
                                  {"Microsoft Office Word", u".doc"}, {"word", u".pub"}})
    EXPECT_EQ(OfficeExtensionOfAppName(app), kind) << app << " (the search minds case)";
  EXPECT_EQ(OfficeKindOfCompound({}), u".pub");
}

}  // namespace
}  // namespace dravik
