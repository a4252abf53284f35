// What File Trace reads from a found file's own bytes, on files made by the
// tools that write them (the trace fixture's files/): the member of a
// signature family that the content names, both alone and in a scan that
// has to choose among the catalogue's groups; and where a file ends, for
// each format that records it, also when the carved bytes cut it short.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "raw/CarveEnd.h"
#include "raw/CarveWriter.h"
#include "raw/FormatEnds.h"
#include "raw/SignatureCheck.h"
#include "raw/SignatureFamily.h"
#include "raw/SignatureScan.h"
#include "util/ScanControl.h"
#include "vdisk/ByteSource.h"

namespace dravik {
namespace {

std::vector<std::uint8_t> MadeFile(const std::string& name) {
  auto bytes = test::ReadFileBytes(test::FixtureIn("trace", "files/" + name));
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

std::u16string ExtensionOf(const std::string& name) {
  const std::string extension = name.substr(name.rfind('.'));
  return {extension.begin(), extension.end()};
}

// Files whose family names them, each with the extension it was made with.
const std::vector<std::string> kFamilyFiles = {
    "text.zip",   "report.docx", "sheet.xlsx", "slides.pptx", "report.odt",  "sheet.ods",   "slides.odp",
    "hello.jar",  "tone.wav",    "clip.avi",   "picture.webp", "clip.mp4",   "clip.mov",    "tone.m4a",
    "clip.3gp",   "picture.avif", "picture.heic", "clip.mkv",  "clip.webm",   "tone.wma",    "clip.wmv",
    "tone.ogg",   "tone.opus",   "tone.oga",   "clip.ogv"};

TEST(SignatureFamilyTest, TheContentNamesTheMemberOfItsFamily) {
  for (const std::string& name : kFamilyFiles) {
    const auto bytes = MadeFile(name);
    const Bytes sector = Bytes(bytes).first(std::min<std::size_t>(bytes.size(), kSectorSize));
    const std::size_t wanted = FamilyBytesWanted(sector);
    ASSERT_GT(wanted, 0u) << name;
    EXPECT_EQ(FamilyMemberExtension(Bytes(bytes).first(std::min(bytes.size(), wanted))), ExtensionOf(name)) << name;
  }
  for (const std::string name : {"picture.png", "text.gz", "report.doc"}) {
    const auto bytes = MadeFile(name);
    EXPECT_EQ(FamilyBytesWanted(bytes), 0u) << name << " begins no family";
    EXPECT_EQ(FamilyMemberExtension(bytes), u"") << name;
  }
}

// A disk holding the family files one after another, each at a sector
// boundary; the OpenDocument text stands at the last sector of the scan's
// first read, so the entries that name it lie beyond the read.
struct FamilyDisk {
  std::vector<std::uint8_t> bytes;
  std::vector<std::pair<std::uint64_t, std::string>> files;  // first sector, name

  FamilyDisk() {
    bytes.resize(63 * kSectorSize);
    for (const std::string& name : {std::string("report.odt")}) Add(name);
    for (const std::string& name : kFamilyFiles)
      if (name != "report.odt") Add(name);
    bytes.resize(bytes.size() + 128 * kSectorSize);
  }
  void Add(const std::string& name) {
    files.emplace_back(bytes.size() / kSectorSize, name);
    const auto file = MadeFile(name);
    bytes.insert(bytes.end(), file.begin(), file.end());
    bytes.resize((bytes.size() + kSectorSize - 1) / kSectorSize * kSectorSize);
  }
};

std::vector<SignatureGroup> CatalogueGroups(const std::vector<std::string>& extensions) {
  const auto catalogue = LoadCatalogue(DRAVIK_RAW_DAT);
  EXPECT_TRUE(catalogue);
  std::vector<std::size_t> items;
  for (const std::string& extension : extensions)
    for (const CatalogueCategory& category : catalogue->categories)
      for (const std::size_t index : category.items)
        if (catalogue->entries[index].extension == extension &&
            std::find(items.begin(), items.end(), index) == items.end())
          items.push_back(index);
  TraceChoice choice;
  ConfirmTypes(*catalogue, items, 1, choice);
  return choice.groups;
}

TEST(SignatureFamilyTest, AScanNamesEachFileByItsContentWhenItsTypeIsSought) {
  const FamilyDisk family;
  const MemorySource source(family.bytes);
  const SectorReader reader(source);
  std::vector<std::string> every;
  for (const auto& [sector, name] : family.files) {
    const std::u16string extension = ExtensionOf(name);
    every.emplace_back(extension.begin(), extension.end());
  }
  ScanControl control;
  const auto groups = CatalogueGroups(every);
  const auto found = ScanSignatures(reader, 0, reader.SectorCount() - 1, groups, nullptr, control);
  std::map<std::uint64_t, const FoundFile*> at;
  for (const FoundFile& file : found) at[file.firstSector] = &file;
  for (const auto& [sector, name] : family.files) {
    ASSERT_TRUE(at.count(sector)) << name << " at " << sector;
    const FoundFile& file = *at[sector];
    EXPECT_EQ(file.extension, ExtensionOf(name)) << name;
    // The type name is the one of the group of that extension.
    const auto group = std::find_if(groups.begin(), groups.end(),
                                    [&](const SignatureGroup& g) { return g.extension == file.extension; });
    ASSERT_NE(group, groups.end());
    EXPECT_EQ(file.typeName, group->typeName) << name;
  }

  // Only .zip, .wav and .mkv sought: the other members keep the group their
  // signature matched, and its type name.
  const auto few = ScanSignatures(reader, 0, reader.SectorCount() - 1, CatalogueGroups({".zip", ".wav", ".mkv"}),
                                  nullptr, control);
  std::map<std::string, std::u16string> named;
  for (const FoundFile& file : few)
    for (const auto& [sector, name] : family.files)
      if (sector == file.firstSector) named[name] = file.extension + u" " + file.typeName;
  EXPECT_EQ(named["report.docx"], u".zip ZIP Archive");
  EXPECT_EQ(named["clip.avi"], u".wav WAVE Audio");
  EXPECT_EQ(named["clip.webm"], u".mkv Matroska Video");
  EXPECT_EQ(named.count("clip.mp4"), 0u) << "no group of its signature";
}

// Trailing bytes that no format would take for more of itself.
std::vector<std::uint8_t> WithJunk(std::vector<std::uint8_t> bytes) {
  std::uint32_t x = 2463534242u;
  for (int i = 0; i < 8192; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes.push_back(static_cast<std::uint8_t>(x));
  }
  return bytes;
}

// Cut points that leave a file without its end: one byte short and half. A
// text's last line end is not part of what marks its end, so a text loses
// the byte before it.
std::vector<std::size_t> CutsOf(const std::vector<std::uint8_t>& file) {
  std::size_t end = file.size();
  while (end > 0 && (file[end - 1] == '\n' || file[end - 1] == '\r')) --end;
  return {end - 1, file.size() / 2};
}

std::vector<std::uint8_t> Cut(const std::vector<std::uint8_t>& file, std::size_t kept) {
  return {file.begin(), file.begin() + static_cast<std::ptrdiff_t>(kept)};
}

TEST(CarveEndTest, FilesMadeByTheirToolsEndWhereTheyEndAndNotWhenCutShort) {
  const std::vector<std::string> names = {
      "text.gz",    "text.bz2",   "text.xz",    "text.zst",   "tone.ogg",    "tone.opus",   "tone.oga",
      "clip.ogv",   "clip.mkv",   "clip.webm",  "hello.elf",  "Hello.class", "font.ttf",    "report.docx",
      "sheet.xlsx", "slides.pptx", "report.odt", "sheet.ods", "slides.odp",  "hello.jar",   "clip.avi",
      "picture.webp", "tone.m4a", "clip.3gp",   "picture.avif", "picture.heic", "tone.wma", "clip.wmv",
      "tone.mp3",   "small.psd",  "hello.exe",  "report.rtf", "report.html", "report.xml", "table.dbf",
      "text.tar",   "tone.flac",  "clip.mpg",   "clip.flv",   "picture.jp2", "bare.mp3",    "small.pbm",
      "small.pgm",  "small.ppm",  "small.pcx",  "small.ico",  "small.xpm",   "tone.aif",    "tone.au",
      "tone.voc",   "loose.sgi",  "loose.ras",  "loose.pam",  "picture.tif", "loose.y4m",
      "loose.lz4",  "loose.ar",   "loose.ac3",  "loose.miff", "picture.tga", "packed.tga", "paper.pdf",
      "early.ico"};
  for (const std::string& name : names) {
    const auto file = MadeFile(name);
    const std::u16string extension = ExtensionOf(name);
    ASSERT_TRUE(HasEndRule(extension)) << name;
    EXPECT_EQ(CarvedFileEnd(extension, WithJunk(file)), std::optional<std::uint64_t>(file.size())) << name;
    EXPECT_EQ(CarvedFileEnd(extension, file), std::optional<std::uint64_t>(file.size())) << name << " exactly";
    // Cut short, the bytes keep their size: no end, or (where the cut falls
    // between two whole packets of a stream) all of them.
    for (const std::size_t kept : CutsOf(file))
      EXPECT_EQ(CarvedFileEnd(extension, Cut(file, kept)).value_or(kept), kept) << name << " cut to " << kept;
  }
}

// Marks that may follow a stream's last frame or packet, appended to the
// files the tools made: an MP3 with the 128-byte tag ends after the tag
// (cut within the tag it keeps the carve size); an MPEG program stream
// with the end code that ffmpeg leaves out ends after the code, even when
// a pack header follows.
TEST(CarveEndTest, StreamsEndAfterTheMarkThatClosesThem) {
  // A PDF ends at its own last "%%EOF", not at that of a PDF written in the
  // sectors after it.
  const auto pdf = MadeFile("report.pdf");
  auto twoPdfs = pdf;
  twoPdfs.resize((pdf.size() + 511) / 512 * 512, 0);
  twoPdfs.insert(twoPdfs.end(), pdf.begin(), pdf.end());
  EXPECT_EQ(CarvedFileEnd(u".pdf", WithJunk(twoPdfs)), std::optional<std::uint64_t>(pdf.size()));

  auto mpg = MadeFile("clip.mpg");
  mpg.insert(mpg.end(), {0x00, 0x00, 0x01, 0xB9});
  auto more = mpg;
  more.insert(more.end(), {0x00, 0x00, 0x01, 0xBA, 0x44});
  EXPECT_EQ(CarvedFileEnd(u".mpg", WithJunk(more)), std::optional<std::uint64_t>(mpg.size()));

  auto file = MadeFile("tone.mp3");
  const std::size_t frames = file.size();
  const std::string tag = "TAGtone";
  file.insert(file.end(), tag.begin(), tag.end());
  file.resize(frames + 128, ' ');
  EXPECT_EQ(CarvedFileEnd(u".mp3", WithJunk(file)), std::optional<std::uint64_t>(file.size()));
  EXPECT_FALSE(CarvedFileEnd(u".mp3", Cut(file, frames + 64)));

  // A TGA 2.0 footer right after the pixels, or after an extension area it
  // points to, ends the image; a footer further on that points to nothing
  // of this image belongs to another one.
  const auto footer = [](std::vector<std::uint8_t> image, std::uint32_t extension) {
    const std::uint8_t offsets[8] = {static_cast<std::uint8_t>(extension), static_cast<std::uint8_t>(extension >> 8)};
    image.insert(image.end(), std::begin(offsets), std::end(offsets));
    const std::string mark = "TRUEVISION-XFILE.";
    image.insert(image.end(), mark.begin(), mark.end());
    image.push_back(0);
    return image;
  };
  for (const std::string name : {"picture.tga", "packed.tga"}) {
    const auto tga = MadeFile(name);
    const auto plain = footer(tga, 0);
    EXPECT_EQ(CarvedFileEnd(u".tga", WithJunk(plain)), std::optional<std::uint64_t>(plain.size())) << name;
    auto withArea = tga;
    withArea.resize(tga.size() + 495);
    withArea[tga.size()] = 495 & 0xFF;
    withArea[tga.size() + 1] = 495 >> 8;
    withArea = footer(withArea, static_cast<std::uint32_t>(tga.size()));
    EXPECT_EQ(CarvedFileEnd(u".tga", WithJunk(withArea)), std::optional<std::uint64_t>(withArea.size())) << name;
    auto stranger = tga;
    stranger.resize(tga.size() + 600, 0x55);
    stranger = footer(stranger, 40);
    EXPECT_EQ(CarvedFileEnd(u".tga", WithJunk(stranger)), std::optional<std::uint64_t>(tga.size())) << name;
  }
}

// Text documents whose end mark also stands where it does not end them: an
// escaped brace in RTF, a closing tag inside an XML comment or CDATA section
// or an attribute value, an HTML closing tag in capitals.
TEST(CarveEndTest, TextDocumentsEndAtTheMarkThatClosesThem) {
  const auto endOf = [](const char16_t* extension, std::string_view text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    const std::size_t length = bytes.size();
    bytes.insert(bytes.end(), {'x', '}', '>', '<', '/', 'a', '>'});
    const auto end = CarvedFileEnd(extension, bytes);
    return end == std::optional<std::uint64_t>(length);
  };
  EXPECT_TRUE(endOf(u".rtf", "{\\rtf1{\\fonttbl}\\{ \\} text\\\\}\r\n"));
  EXPECT_TRUE(endOf(u".rtf", "{\\rtf1{\\pict\\bin3 }}}}}"));
  EXPECT_FALSE(CarvedFileEnd(u".rtf", std::vector<std::uint8_t>{'{', '\\', 'r', 't', 'f', '1', '\\', '}'}));
  EXPECT_TRUE(endOf(u".xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"</a>\">]>\n"
                             "<a><!-- </a> --><![CDATA[</a>]]><a x='</a>'/><b>t</b></a>\n"));
  EXPECT_TRUE(endOf(u".xml", "<?xml version=\"1.0\"?><a/>"));
  EXPECT_FALSE(CarvedFileEnd(u".xml", std::vector<std::uint8_t>{'<', '?', 'x', 'm', 'l', ' ', '?', '>', '<', 'a',
                                                                  '>', '<', '/', 'b', '>'}))
      << "an end tag that is not the root's";
  EXPECT_TRUE(endOf(u".html", "<!DOCTYPE html><HTML><body>x</body></HTML>  \n"));
}

// A disk of files made by their tools, each at a sector boundary, and
// sectors that hold the same signatures without the files' structure: a
// tar header's magic at the start of a sector rather than at 257, icon
// directories with no images or with an image before the directory, a
// dBASE version byte before bytes that are no header, and MP3 frames too
// few in a row. A TGA image of true colour begins with a cursor's signature
// and fails its check: the hit falls through to the TGA type after it, while
// a cursor stays a cursor.
TEST(SignatureScanTest, SignaturesWithinTheSectorAndWeakOnesThatNeedAPlausibleHeader) {
  std::vector<std::uint8_t> disk(8 * kSectorSize, 0);
  std::map<std::uint64_t, std::u16string> wanted;
  const auto add = [&](const std::vector<std::uint8_t>& bytes, const char16_t* extension) {
    if (extension) wanted[disk.size() / kSectorSize] = extension;
    disk.insert(disk.end(), bytes.begin(), bytes.end());
    disk.resize((disk.size() + kSectorSize - 1) / kSectorSize * kSectorSize + kSectorSize);
  };
  for (const char* name : {"text.tar", "small.ico", "table.dbf", "small.pcx", "picture.tga", "packed.tga"})
    add(MadeFile(name), ExtensionOf(name).c_str());
  // Each member of the tar has a header of its own, with its magic: a hit too.
  const auto tar = MadeFile("text.tar");
  for (std::size_t block = 1; (block + 1) * kSectorSize <= tar.size(); ++block)
    if (HasAscii(tar, block * kSectorSize + 257, "ustar")) wanted[8 + block] = u".tar";
  ASSERT_EQ(wanted.size(), 7u) << "the tar's two members, the icon, the table, three images";
  const auto tga = MadeFile("picture.tga");
  ASSERT_TRUE(HasAscii(tga, 0, std::string_view("\0\0\2\0", 4))) << "a cursor's signature";
  EXPECT_FALSE(IconDirectoryPlausible(tga));
  ASSERT_TRUE(TgaHeaderPlausible(tga));
  ASSERT_TRUE(TgaHeaderPlausible(MadeFile("packed.tga")));
  auto icon = MadeFile("small.ico");
  ASSERT_TRUE(IconDirectoryPlausible(icon));
  icon[4] = 0;  // no images
  add(icon, nullptr);
  icon[4] = 1;
  icon[6 + 12] = 4;  // the image's offset inside the directory
  add(icon, nullptr);
  auto table = MadeFile("table.dbf");
  ASSERT_TRUE(DbaseHeaderPlausible(table));
  table[2] = 13;  // a thirteenth month
  add(table, nullptr);
  table[2] = 5;
  table[10] += 1;  // a record longer than its fields
  add(table, nullptr);
  auto image = MadeFile("small.pcx");
  ASSERT_TRUE(PcxHeaderPlausible(image));
  image[4] = 0xFF;  // the window starts after it ends
  add(image, nullptr);
  auto cursor = MadeFile("small.ico");
  cursor[2] = 2;
  EXPECT_FALSE(TgaHeaderPlausible(cursor));
  add(cursor, u".cur");
  for (const auto& [at, value] : {std::pair<std::size_t, std::uint8_t>{16, 7}, {17, 0x40}, {12, 0}, {1, 1}}) {
    auto broken = tga;
    broken[at] = value;  // a depth of 7 bits, a reserved bit, no width, a colour map without its fields
    EXPECT_FALSE(TgaHeaderPlausible(broken)) << at;
    add(broken, nullptr);
  }
  std::vector<std::uint8_t> junk = WithJunk({0x03});
  add(junk, nullptr);
  const std::string magic = "ustar  ";
  add(std::vector<std::uint8_t>(magic.begin(), magic.end()), nullptr);
  // An MP3 without a tag begins at the last sector of a read, so its four
  // frames lie mostly beyond the read. Frame sync bytes before junk, and the
  // MP3's first three frames alone, are no hit.
  const auto mp3 = MadeFile("bare.mp3");
  ASSERT_EQ(mp3[0], 0xFF);
  const std::uint64_t mp3Start = (disk.size() / kSectorSize / 64 + 1) * 64 - 1;
  disk.resize(mp3Start * kSectorSize);
  add(mp3, u".mp3");
  const std::uint64_t mp3End = disk.size() / kSectorSize;
  add(WithJunk({0xFF, 0xFB, mp3[2], mp3[3]}), nullptr);
  std::size_t fourFrames = 1;
  while (fourFrames < mp3.size() && MpegFramesInARow(Bytes(mp3).first(fourFrames), 4) < 4) ++fourFrames;
  const std::size_t threeFrames = fourFrames - 4;  // up to the fourth frame's header
  ASSERT_GT(threeFrames, kSectorSize) << "three frames run past a sector";
  add(std::vector<std::uint8_t>(mp3.begin(), mp3.begin() + static_cast<std::ptrdiff_t>(threeFrames)), nullptr);
  disk.resize(disk.size() + 64 * kSectorSize);

  const MemorySource source(disk);
  const SectorReader reader(source);
  ScanControl control;
  const auto found = ScanSignatures(reader, 0, reader.SectorCount() - 1,
                                    CatalogueGroups({".ico", ".cur", ".dbf", ".pcx", ".tar", ".mp3", ".tga"}), nullptr, control);
  std::map<std::uint64_t, std::u16string> hits;
  // A frame inside the MP3 that begins a sector is a hit of its own (left
  // out later, as a hit inside a found file).
  for (const FoundFile& file : found)
    if (file.firstSector <= mp3Start || file.firstSector >= mp3End) hits[file.firstSector] = file.extension;
  EXPECT_EQ(hits, wanted);
  EXPECT_EQ(control.Counts().files, found.size()) << "the count a progress line shows";
}

// The tar holds picture.png at one of its blocks, behind the member's own
// header; the same picture follows the tar on its own. The hits inside the
// tar are left out, and the files kept are numbered again; on a disk that
// ends inside the tar, whose end is then unknown, nothing is left out. A
// PDF ends at its last "%%EOF", however far in.
TEST(SignatureScanTest, HitsInsideAFileWhoseEndIsKnownAreLeftOut) {
  std::vector<std::uint8_t> disk(4 * kSectorSize, 0);
  const auto tar = MadeFile("text.tar");
  const auto png = MadeFile("picture.png");
  disk.insert(disk.end(), tar.begin(), tar.end());
  const std::uint64_t alone = disk.size() / kSectorSize;
  disk.insert(disk.end(), png.begin(), png.end());
  disk.resize((disk.size() / kSectorSize + 64) * kSectorSize);
  const MemorySource source(disk);
  const SectorReader reader(source);
  ScanControl control;
  const auto scan = [&] {
    return ScanSignatures(reader, 0, reader.SectorCount() - 1, CatalogueGroups({".tar", ".png"}), nullptr, control);
  };
  auto files = scan();
  ASSERT_EQ(files.size(), 4u) << "the tar, its second member's header, the picture inside it, the picture alone";
  EXPECT_EQ(DropHitsInsideFoundFiles(reader, files, 1), 2u);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].firstSector, 4u);
  EXPECT_EQ(files[1].firstSector, alone);
  EXPECT_EQ(files[1].fileNumber, 2u);
  EXPECT_EQ(files[1].name, u"2.png");

  // A disk that ends inside the tar: its end is not known, and the hit in
  // it stays.
  std::vector<std::uint8_t> cut(disk.begin(), disk.begin() + static_cast<std::ptrdiff_t>((alone - 1) * kSectorSize));
  const MemorySource cutSource(cut);
  const SectorReader cutReader(cutSource);
  auto inCut = ScanSignatures(cutReader, 0, cutReader.SectorCount() - 1, CatalogueGroups({".tar", ".png"}), nullptr,
                              control);
  ASSERT_EQ(inCut.size(), 3u);
  EXPECT_EQ(DropHitsInsideFoundFiles(cutReader, inCut, 1), 0u);
  EXPECT_EQ(inCut.size(), 3u);

  // A PDF updated in place ends at its last "%%EOF", here past the first
  // bytes its end is looked for in, with the picture between the two: the
  // picture lies inside it.
  std::vector<std::uint8_t> updated(4 * kSectorSize, 0);
  const auto pdf = MadeFile("report.pdf");
  updated.insert(updated.end(), pdf.begin(), pdf.end());
  updated.resize((updated.size() / kSectorSize + 1) * kSectorSize);
  updated.insert(updated.end(), png.begin(), png.end());
  updated.resize(updated.size() + 80 * 1024, ' ');
  const std::string update = "\nxref\n0 0\ntrailer\n<< >>\nstartxref\n0\n%%EOF\n";
  updated.insert(updated.end(), update.begin(), update.end());
  updated.resize((updated.size() / kSectorSize + 64) * kSectorSize);
  const MemorySource updatedSource(updated);
  const SectorReader updatedReader(updatedSource);
  auto inPdf = ScanSignatures(updatedReader, 0, updatedReader.SectorCount() - 1, CatalogueGroups({".pdf", ".png"}),
                              nullptr, control);
  ASSERT_EQ(inPdf.size(), 2u);
  EXPECT_EQ(DropHitsInsideFoundFiles(updatedReader, inPdf, 1), 1u);
}

}  // namespace
}  // namespace dravik
