// What File Trace reads from the bytes of files the tools made (the trace fixture's files/): the family member the
// content names, weak signatures needing a plausible header, where each format that records its end ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "raw/CarveEnd.h"
#include "raw/CarveWriter.h"
#include "raw/FormatEnds.h"
#include "raw/SignatureFamily.h"
#include "raw/SignatureScan.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ByteSource.h"

namespace dravik {
namespace {

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
    ASSERT_TRUE(HasEndRule(extension)) << name;
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
