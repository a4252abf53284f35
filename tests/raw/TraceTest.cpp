// File Trace on hand-made bytes and on the files the tools made (the trace fixture's files/): the catalogue, the choice
// of types, the signature scan, the tree of types, carving and where formats end (TraceCliTest: on a disk).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "raw/CarveEnd.h"
#include "raw/CarveWriter.h"
#include "raw/Catalogue.h"
#include "raw/CompoundFile.h"
#include "raw/FormatEnds.h"
#include "raw/SignatureFamily.h"
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
    const std::vector<std::string> f = test::Split(line, '\t');
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

// A compound file's kind from its streams, on each kind the tools made: TraceCliTest. Cut short, it is none.
TEST(CompoundFileTest, TellsOfficeFilesApartByAppNameAndCutOnesAreNone) {
  const auto doc = test::ReadFileBytes(test::FixtureIn("trace", "report.doc"));
  ASSERT_FALSE(doc.empty());
  EXPECT_EQ(OfficeKindOfCompound(doc), u".doc");
  EXPECT_EQ(OfficeKindOfCompound(Bytes(doc).first(700)), u".pub");
  EXPECT_EQ(OfficeKindOfCompound({}), u".pub");
  for (const auto& [app, kind] : {std::pair{"Microsoft Office PowerPoint", u".ppt"}, {"Microsoft Excel", u".xls"},
                                  {"Microsoft Office Word", u".doc"}, {"word", u".pub"}})
    EXPECT_EQ(OfficeExtensionOfAppName(app), kind) << app << " (the search minds case)";
}

using ByteVector = std::vector<std::uint8_t>;

ByteVector MadeFile(const std::string& name) {
  auto bytes = test::ReadFileBytes(test::FixtureIn("trace", "files/" + name));
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

std::u16string ExtensionOf(const std::string& name) { return FromUtf8(name.substr(name.rfind('.'))); }

// Appends bytes at the next sector boundary of a disk; returns their first sector.
std::uint64_t Place(ByteVector& disk, const ByteVector& bytes) {
  disk.resize((disk.size() + kSectorSize - 1) / kSectorSize * kSectorSize);
  const std::uint64_t sector = disk.size() / kSectorSize;
  disk.insert(disk.end(), bytes.begin(), bytes.end());
  return sector;
}

// Trailing bytes that no format would take for more of itself.
ByteVector WithJunk(ByteVector bytes) {
  for (std::uint32_t i = 0, x = 2463534242u; i < 8192; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    bytes.push_back(static_cast<std::uint8_t>(x));
  }
  return bytes;
}

ByteVector Cut(const ByteVector& file, std::size_t kept) { return {file.begin(), file.begin() + std::ptrdiff_t(kept)}; }

// The groups the catalogue gives for the extensions, as a confirmed choice does.
std::vector<SignatureGroup> CatalogueGroups(const std::vector<std::string>& extensions) {
  const auto catalogue = LoadCatalogue(DRAVIK_RAW_DAT);
  EXPECT_TRUE(catalogue);
  std::vector<std::size_t> items;
  for (const std::string& extension : extensions)
    for (const CatalogueCategory& category : catalogue->categories)
      for (const std::size_t index : category.items)
        if (catalogue->entries[index].extension == extension && std::count(items.begin(), items.end(), index) == 0)
          items.push_back(index);
  TraceChoice choice;
  ConfirmTypes(*catalogue, items, 1, choice);
  return choice.groups;
}

// A disk scanned whole for the catalogue's groups of the extensions.
struct Scanned {
  Scanned(ByteVector bytes, const std::vector<std::string>& extensions)
      : source(std::move(bytes)),
        reader(source),
        groups(CatalogueGroups(extensions)),
        found(ScanSignatures(reader, 0, reader.SectorCount() - 1, groups, nullptr, control)) {}
  MemorySource source;
  SectorReader reader;
  ScanControl control;
  std::vector<SignatureGroup> groups;
  std::vector<FoundFile> found;
};

// Family members one after another, only .zip, .wav and .mkv sought: the others keep the group their signature
// matched, and its type name (each named by its content when its type is sought: TraceCliTest).
TEST(SignatureFamilyTest, MembersWhoseTypeIsNotSoughtKeepTheGroupTheirSignatureMatched) {
  ByteVector disk;
  std::map<std::uint64_t, std::string> files;  // by first sector
  for (const std::string name : {"report.docx", "clip.avi", "clip.webm", "clip.mp4"})
    files[Place(disk, MadeFile(name))] = name;
  disk.resize(disk.size() + 64 * kSectorSize);
  const Scanned few(disk, {".zip", ".wav", ".mkv"});
  std::map<std::string, std::u16string> got;
  for (const FoundFile& file : few.found)
    if (files.count(file.firstSector)) got[files[file.firstSector]] = file.extension + u" " + file.typeName;
  EXPECT_EQ(got["report.docx"] + u"|" + got["clip.avi"] + u"|" + got["clip.webm"],
            u".zip ZIP Archive|.wav WAVE Audio|.mkv Matroska Video");
  EXPECT_EQ(got.count("clip.mp4"), 0u) << "no group of its signature";
  for (const std::string name : {"picture.png", "text.gz", "report.doc"})
    EXPECT_TRUE(FamilyBytesWanted(MadeFile(name)) == 0 && FamilyMemberExtension(MadeFile(name)).empty()) << name;
}

TEST(CarveEndTest, FilesMadeByTheirToolsEndWhereTheyEndAndNotWhenCutShort) {
  for (const std::string name :
       {"text.gz", "text.bz2", "text.xz", "text.zst", "tone.ogg", "tone.opus", "tone.oga", "clip.ogv", "clip.mkv",
        "clip.webm", "hello.elf", "Hello.class", "font.ttf", "report.docx", "sheet.xlsx", "slides.pptx",
        "report.odt", "sheet.ods", "slides.odp", "hello.jar", "clip.avi", "picture.webp", "tone.m4a", "clip.3gp",
        "picture.avif", "picture.heic", "tone.wma", "clip.wmv", "tone.mp3", "small.psd", "hello.exe", "report.rtf",
        "report.html", "report.xml", "table.dbf", "text.tar", "tone.flac", "clip.mpg", "clip.flv", "picture.jp2",
        "bare.mp3", "small.pbm", "small.pgm", "small.ppm", "small.pcx", "small.ico", "small.xpm", "tone.aif",
        "tone.au", "tone.voc", "loose.sgi", "loose.ras", "loose.pam", "picture.tif", "loose.y4m", "loose.lz4",
        "loose.ar", "loose.ac3", "loose.miff", "picture.tga", "packed.tga", "paper.pdf", "early.ico"}) {
    const auto file = MadeFile(name);
    const std::u16string extension = ExtensionOf(name);
    EXPECT_EQ(CarvedFileEnd(extension, WithJunk(file)), std::optional<std::uint64_t>(file.size())) << name;
    EXPECT_EQ(CarvedFileEnd(extension, file), std::optional<std::uint64_t>(file.size())) << name << " exactly";
    // Cut one byte short of its end (a text's last line end is no part of it) and in half: no end, or all the bytes
    // where the cut falls between whole packets of a stream.
    std::size_t end = file.size();
    while (end > 0 && (file[end - 1] == '\n' || file[end - 1] == '\r')) --end;
    for (const std::size_t kept : {end - 1, file.size() / 2})
      EXPECT_EQ(CarvedFileEnd(extension, Cut(file, kept)).value_or(kept), kept) << name << " cut to " << kept;
  }
}

// Marks that close a stream, appended to the tools' files: a PDF ends at its own last "%%EOF", not a later PDF's; an
// MPEG program stream at the end code ffmpeg leaves out, though a pack header follows; an MP3 after its 128-byte tag
// (cut within the tag: no end); a TGA 2.0 at a footer right after the pixels or after the extension area it points
// to, not at a later footer pointing to nothing of this image.
TEST(CarveEndTest, StreamsEndAfterTheMarkThatClosesThem) {
  const auto endOf = [](const char16_t* extension, const ByteVector& bytes) {
    return CarvedFileEnd(extension, WithJunk(bytes)).value_or(0);
  };
  const auto pdf = MadeFile("report.pdf");
  auto twoPdfs = pdf;
  Place(twoPdfs, pdf);
  EXPECT_EQ(endOf(u".pdf", twoPdfs), pdf.size());
  auto mpg = MadeFile("clip.mpg");
  mpg.insert(mpg.end(), {0x00, 0x00, 0x01, 0xB9});
  auto more = mpg;
  more.insert(more.end(), {0x00, 0x00, 0x01, 0xBA, 0x44});
  EXPECT_EQ(endOf(u".mpg", more), mpg.size());
  auto mp3 = MadeFile("tone.mp3");
  const std::size_t frames = mp3.size();
  for (const char c : std::string("TAGtone")) mp3.push_back(static_cast<std::uint8_t>(c));
  mp3.resize(frames + 128, ' ');
  EXPECT_EQ(endOf(u".mp3", mp3), mp3.size());
  EXPECT_FALSE(CarvedFileEnd(u".mp3", Cut(mp3, frames + 64)));
  const auto footer = [](ByteVector image, std::uint32_t extension) {
    image.insert(image.end(), {std::uint8_t(extension), std::uint8_t(extension >> 8), 0, 0, 0, 0, 0, 0});
    for (const char c : std::string("TRUEVISION-XFILE.")) image.push_back(static_cast<std::uint8_t>(c));
    image.push_back(0);
    return image;
  };
  for (const std::string name : {"picture.tga", "packed.tga"}) {
    const auto tga = MadeFile(name);
    const auto plain = footer(tga, 0);
    EXPECT_EQ(endOf(u".tga", plain), plain.size()) << name;
    auto withArea = tga;
    withArea.resize(tga.size() + 495);
    withArea[tga.size()] = 495 & 0xFF, withArea[tga.size() + 1] = 495 >> 8;
    withArea = footer(withArea, static_cast<std::uint32_t>(tga.size()));
    EXPECT_EQ(endOf(u".tga", withArea), withArea.size()) << name;
    auto stranger = tga;
    stranger.resize(tga.size() + 600, 0x55);
    EXPECT_EQ(endOf(u".tga", footer(stranger, 40)), tga.size()) << name;
  }
}

// End marks that also stand where they do not end the document: an escaped brace in RTF; a closing tag in an XML
// comment, CDATA section or attribute value; an HTML closing tag in capitals.
TEST(CarveEndTest, TextDocumentsEndAtTheMarkThatClosesThem) {
  const auto endsAtItsEnd = [](const char16_t* extension, std::string_view text) {
    ByteVector bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), {'x', '}', '>', '<', '/', 'a', '>'});
    return CarvedFileEnd(extension, bytes) == std::optional<std::uint64_t>(text.size());
  };
  EXPECT_TRUE(endsAtItsEnd(u".rtf", "{\\rtf1{\\fonttbl}\\{ \\} text\\\\}\r\n"));
  EXPECT_TRUE(endsAtItsEnd(u".rtf", "{\\rtf1{\\pict\\bin3 }}}}}"));
  EXPECT_FALSE(CarvedFileEnd(u".rtf", ByteVector{'{', '\\', 'r', 't', 'f', '1', '\\', '}'}));
  EXPECT_TRUE(endsAtItsEnd(u".xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"</a>\">]>\n"
                                    "<a><!-- </a> --><![CDATA[</a>]]><a x='</a>'/><b>t</b></a>\n"));
  EXPECT_TRUE(endsAtItsEnd(u".xml", "<?xml version=\"1.0\"?><a/>"));
  const std::string otherEnd = "<?xml ?><a></b>";
  EXPECT_FALSE(CarvedFileEnd(u".xml", ByteVector(otherEnd.begin(), otherEnd.end()))) << "an end tag not the root's";
  EXPECT_TRUE(endsAtItsEnd(u".html", "<!DOCTYPE html><HTML><body>x</body></HTML>  \n"));
}

// Files made by their tools (each a hit), and sectors with their signatures but not their structure (no hit): a tar's
// magic at the sector's start not 257, edited headers, MP3 frame sync before junk, too few MP3 frames in a row. A
// true-colour TGA begins with a cursor's signature: its hit falls through to the TGA type; a cursor stays a cursor.
TEST(SignatureScanTest, SignaturesWithinTheSectorAndWeakOnesThatNeedAPlausibleHeader) {
  ByteVector disk(8 * kSectorSize, 0);
  std::map<std::uint64_t, std::u16string> wanted;
  const auto add = [&](const ByteVector& bytes, const char16_t* extension) {
    const std::uint64_t sector = Place(disk, bytes);
    if (extension) wanted[sector] = extension;
    disk.resize((disk.size() + kSectorSize - 1) / kSectorSize * kSectorSize + kSectorSize);
  };
  for (const std::string name : {"text.tar", "small.ico", "table.dbf", "small.pcx", "picture.tga", "packed.tga"})
    add(MadeFile(name), ExtensionOf(name).c_str());
  const auto tar = MadeFile("text.tar");
  for (std::size_t block = 1; (block + 1) * kSectorSize <= tar.size(); ++block)
    if (HasAscii(tar, block * kSectorSize + 257, "ustar")) wanted[8 + block] = u".tar";  // each member's header
  ASSERT_EQ(wanted.size(), 7u) << "the tar's two members, the icon, the table, three images";
  ASSERT_TRUE(HasAscii(MadeFile("picture.tga"), 0, std::string_view("\0\0\2\0", 4))) << "a cursor's signature";
  // Edits: no images; the image inside the directory; a thirteenth month; a record longer than its fields; a window
  // that starts after it ends; a cursor; a depth of 7 bits; a reserved bit; no width; a colour map unsaid.
  const struct { const char* file; void (*edit)(ByteVector&); const char16_t* hit = nullptr; } edited[] = {
      {"small.ico", [](ByteVector& b) { b[4] = 0; }}, {"small.ico", [](ByteVector& b) { b[6 + 12] = 4; }},
      {"table.dbf", [](ByteVector& b) { b[2] = 13; }}, {"table.dbf", [](ByteVector& b) { b[10] += 1; }},
      {"small.pcx", [](ByteVector& b) { b[4] = 0xFF; }}, {"small.ico", [](ByteVector& b) { b[2] = 2; }, u".cur"},
      {"picture.tga", [](ByteVector& b) { b[16] = 7; }}, {"picture.tga", [](ByteVector& b) { b[17] = 0x40; }},
      {"picture.tga", [](ByteVector& b) { b[12] = 0; }}, {"picture.tga", [](ByteVector& b) { b[1] = 1; }}};
  for (const auto& row : edited) {
    auto bytes = MadeFile(row.file);
    row.edit(bytes);
    add(bytes, row.hit);
  }
  add(WithJunk({0x03}), nullptr);
  add({'u', 's', 't', 'a', 'r', ' ', ' '}, nullptr);
  // An MP3 without a tag at the last sector of a read: its four frames lie mostly beyond the read.
  const auto mp3 = MadeFile("bare.mp3");
  ASSERT_EQ(mp3[0], 0xFF);
  const std::uint64_t mp3Start = (disk.size() / kSectorSize / 64 + 1) * 64 - 1;
  disk.resize(mp3Start * kSectorSize);
  add(mp3, u".mp3");
  const std::uint64_t mp3End = disk.size() / kSectorSize;
  add(WithJunk({0xFF, 0xFB, mp3[2], mp3[3]}), nullptr);
  std::size_t fourFrames = 1;
  while (fourFrames < mp3.size() && MpegFramesInARow(Bytes(mp3).first(fourFrames), 4) < 4) ++fourFrames;
  ASSERT_GT(fourFrames - 4, kSectorSize) << "three frames run past a sector";
  add(Cut(mp3, fourFrames - 4), nullptr);
  disk.resize(disk.size() + 64 * kSectorSize);
  const Scanned scanned(disk, {".ico", ".cur", ".dbf", ".pcx", ".tar", ".mp3", ".tga"});
  std::map<std::uint64_t, std::u16string> hits;
  for (const FoundFile& file : scanned.found)  // frames inside the MP3 are left out later, as hits inside a file
    if (file.firstSector <= mp3Start || file.firstSector >= mp3End) hits[file.firstSector] = file.extension;
  EXPECT_EQ(hits, wanted);
  EXPECT_EQ(scanned.control.Counts().files, scanned.found.size()) << "the count a progress line shows";
}

// The tar holds picture.png behind a member's header; the same picture follows the tar alone. Hits inside a file
// whose end is known are left out and the rest numbered again; on a disk that ends inside the tar nothing is left
// out. A PDF updated in place ends at its last "%%EOF", far in.
TEST(SignatureScanTest, HitsInsideAFileWhoseEndIsKnownAreLeftOut) {
  ByteVector disk(4 * kSectorSize, 0);
  const auto png = MadeFile("picture.png");
  Place(disk, MadeFile("text.tar"));
  const std::uint64_t alone = Place(disk, png);
  disk.resize((disk.size() / kSectorSize + 64) * kSectorSize);
  Scanned whole(disk, {".tar", ".png"});
  ASSERT_EQ(whole.found.size(), 4u) << "the tar, its second member's header, the picture in it and alone";
  EXPECT_EQ(DropHitsInsideFoundFiles(whole.reader, whole.found, 1), 2u);
  ASSERT_EQ(whole.found.size(), 2u);
  EXPECT_TRUE(whole.found[0].firstSector == 4u && whole.found[1].firstSector == alone);
  EXPECT_TRUE(whole.found[1].fileNumber == 2u && whole.found[1].name == u"2.png");
  Scanned cut(Cut(disk, (alone - 1) * kSectorSize), {".tar", ".png"});
  ASSERT_EQ(cut.found.size(), 3u);
  EXPECT_EQ(DropHitsInsideFoundFiles(cut.reader, cut.found, 1), 0u);
  ByteVector updated(4 * kSectorSize, 0);
  Place(updated, MadeFile("report.pdf"));
  Place(updated, png);
  updated.resize(updated.size() + 80 * 1024, ' ');
  const std::string update = "\nxref\n0 0\ntrailer\n<< >>\nstartxref\n0\n%%EOF\n";
  updated.insert(updated.end(), update.begin(), update.end());
  updated.resize((updated.size() / kSectorSize + 64) * kSectorSize);
  Scanned inPdf(updated, {".pdf", ".png"});
  ASSERT_EQ(inPdf.found.size(), 2u);
  EXPECT_EQ(DropHitsInsideFoundFiles(inPdf.reader, inPdf.found, 1), 1u);
}

}  // namespace
}  // namespace dravik
