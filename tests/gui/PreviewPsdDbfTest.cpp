// The Photoshop and dBASE viewers on files written by real tools (ImageMagick,
// python3-dbf), compared with other readers of the same files (ImageMagick's
// or Pillow's decoding of the merged picture, dbfread's records), and on
// damaged copies of them.

#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <sstream>

#include "TestFiles.h"
#include "preview/DbfViewer.h"
#include "preview/PreviewPane.h"
#include "preview/PsdViewer.h"

namespace dravik::preview {
namespace {

namespace fs = std::filesystem;

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

// The largest difference of a colour component between the viewer's picture
// and another reader's 8-bit RGB bytes of it.
int LargestDifference(const QImage& picture, const std::string& rgb) {
  if (rgb.size() != static_cast<std::size_t>(picture.width() * picture.height() * 3)) return 256;
  int largest = 0;
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const QRgb ours = picture.pixel(x, y);
      const auto at = static_cast<std::size_t>((y * picture.width() + x) * 3);
      for (const auto& [mine, theirs] : {std::pair{qRed(ours), rgb[at]}, {qGreen(ours), rgb[at + 1]}, {qBlue(ours), rgb[at + 2]}})
        largest = std::max(largest, std::abs(mine - static_cast<std::uint8_t>(theirs)));
    }
  return largest;
}

TEST(PreviewPsdDbfTest, PhotoshopPicturesMatchOtherReadersAndDamagedCopiesFail) {
  test::TempDir dir;
  // The tolerance: for 16-bit samples and CMYK ImageMagick rounds its own way to 8 bits.
  const struct { const char* name; const char* options; int tolerance; } kRows[] = {
      {"rle.psd", "-depth 8 -compress RLE", 0},
      {"raw.psd", "-depth 8 -compress none", 0},
      {"gray.psd", "-colorspace Gray -depth 8 -compress RLE", 0},
      {"deep.psd", "-depth 16 -compress RLE", 1},
      {"cmyk.psd", "-colorspace CMYK -depth 8 -compress RLE", 1},
      {"large.psb", "-depth 8 -compress RLE", 0},
      {"bitmap.psd", "-colorspace Gray -monochrome -compress RLE", 0},
      {"bitmap-raw.psd", "-colorspace Gray -monochrome -compress none", 0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const fs::path file = dir / row.name;
    ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal " + std::string(row.options) + " " + test::Quote(file)).status, 0);
    PsdViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(file)));
    EXPECT_EQ(viewer.PictureSize(), QSize(37, 23));
    const auto magick = test::RunShell("convert " + test::Quote(file.string() + "[0]") + " -colorspace sRGB -depth 8 rgb:-");
    EXPECT_LE(LargestDifference(viewer.Picture(), magick.out), row.tolerance);
    fs::resize_file(file, fs::file_size(file) / 2);
    EXPECT_FALSE(PsdViewer().Load(Q(file)));
  }
  // ImageMagick does not read back the indexed documents it writes; Pillow does.
  const fs::path indexed = dir / "indexed.psd";
  ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal -type Palette " + test::Quote(indexed)).status, 0);
  PsdViewer indexedViewer;
  ASSERT_TRUE(indexedViewer.Load(Q(indexed)));
  const auto pillow = test::RunShell("/usr/bin/python3 -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                                     "assert im.mode == \"P\"; sys.stdout.buffer.write(im.convert(\"RGB\").tobytes())' " +
                                     test::Quote(indexed));
  EXPECT_EQ(LargestDifference(indexedViewer.Picture(), pillow.out), 0);
  PreviewPane pane;
  pane.Show(ViewerKind::kPsd, Q(indexed));
  EXPECT_EQ(pane.Shown(), ViewerKind::kPsd);

  // Damaged copies of rle.psd, made again: each edit is a header or section a reader must not trust.
  const fs::path good = dir / "good.psd";
  ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal -depth 8 -compress RLE " + test::Quote(good)).status, 0);
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  const auto be32 = [&](std::size_t at) {
    return std::size_t{bytes[at]} << 24 | std::size_t{bytes[at + 1]} << 16 | std::size_t{bytes[at + 2]} << 8 | bytes[at + 3];
  };
  const std::size_t resources = 30 + be32(26), layers = resources + 4 + be32(resources), data = layers + 4 + be32(layers);
  ASSERT_EQ(bytes[data + 1], 1) << "PackBits";
  const struct { const char* name; std::size_t at; std::vector<std::uint8_t> patch; std::size_t keep; } kDamage[] = {
      {"cut in the rows", 0, {}, bytes.size() - 100},
      {"cut in the header", 0, {}, 20},
      {"vast", 14, {0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, bytes.size()},
      {"30001 wide", 18, {0x00, 0x00, 0x75, 0x31}, bytes.size()},
      {"resources past the end", 30, {0x7F, 0xFF, 0xFF, 0xFF}, bytes.size()},
      {"Lab colour", 24, {0x00, 0x09}, bytes.size()},
      {"row counts past the end", data + 2, {0x7F, 0xFF}, bytes.size()},
  };
  for (const auto& row : kDamage) {
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(row.keep));
    std::copy(row.patch.begin(), row.patch.end(), copy.begin() + static_cast<std::ptrdiff_t>(row.at));
    test::WriteFileBytes(dir / "damaged.psd", copy);
    EXPECT_FALSE(PsdViewer().Load(Q(dir / "damaged.psd"))) << row.name;
  }
}

// dbfread's records of a table, live then deleted, each as "live"/"deleted"
// and its values: numbers as Python floats, logicals True/False/None, dates ISO.
std::vector<std::vector<std::string>> DbfreadRecords(const fs::path& file) {
  const std::string script =
      "import dbfread, sys\n"
      "t = dbfread.DBF(sys.argv[1], load=True, char_decode_errors='replace')\n"
      "for kind, rows in (('live', t.records), ('deleted', t.deleted)):\n"
      "    for r in rows:\n"
      "        print('\\t'.join([kind] + ['' if v is None and f.type != 'L' else v.isoformat() "
      "if hasattr(v, 'isoformat') else str(v) for f, v in zip(t.fields, r.values())]))\n";
  std::istringstream lines(test::RunShell("/usr/bin/python3 -c " + test::Quote(script) + " " + test::Quote(file)).out);
  std::vector<std::vector<std::string>> records;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream split(line);
    records.emplace_back();
    for (std::string cell; std::getline(split, cell, '\t');) records.back().push_back(cell);
    if (line.ends_with('\t')) records.back().emplace_back();
  }
  return records;
}

void ExpectSameTable(const DbfViewer& viewer, const fs::path& file, const std::string& types) {
  const auto records = DbfreadRecords(file);
  ASSERT_EQ(static_cast<std::size_t>(viewer.RecordCount()), records.size());
  std::vector<int> order;  // dbfread's order: live records, then deleted ones
  for (const bool deleted : {false, true})
    for (int r = 0; r < viewer.RecordCount(); ++r)
      if (viewer.Deleted(r) == deleted) order.push_back(r);
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].size(), types.size() + 1);
    EXPECT_EQ(viewer.Deleted(order[i]), records[i][0] == "deleted") << i;
    for (std::size_t f = 0; f < types.size(); ++f) {
      const QString ours = viewer.CellText(order[i], static_cast<int>(f));
      const std::string& theirs = records[i][f + 1];
      SCOPED_TRACE("record " + std::to_string(i) + " field " + std::to_string(f));
      if (types[f] == 'N' && !theirs.empty()) EXPECT_DOUBLE_EQ(ours.toDouble(), std::stod(theirs));
      else if (types[f] == 'L') EXPECT_EQ(ours, theirs == "True" ? "TRUE" : theirs == "False" ? "FALSE" : "");
      else if (types[f] == 'M') EXPECT_EQ(ours, "Memo");
      else EXPECT_EQ(ours.toStdString(), theirs);
    }
  }
}

TEST(PreviewPsdDbfTest, DbaseTablesMatchDbfreadAndSurviveDamage) {
  test::TempDir dir;
  const auto make = [&](const char* name, const std::string& body) {
    const std::string script = "import dbf, datetime, sys\n" + body + "t.close()\n";
    EXPECT_EQ(test::RunShell("/usr/bin/python3 -c " + test::Quote(script) + " " + test::Quote(dir / name)).status, 0);
    return dir / name;
  };
  const fs::path file = make("people.dbf",
      "t = dbf.Table(sys.argv[1], 'name C(12); qty N(8,2); ok L; born D; note M', dbf_type='db3')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('Alpha', 3.5, True, datetime.date(2020, 2, 29), 'first memo'))\n"
      "t.append(('Beta', -12.25, False, datetime.date(1999, 12, 31), 'second'))\n"
      "t.append(('Gamma', 0, None, None, ''))\n"
      "t.append(('Delta', 12345.67, True, datetime.date(1970, 1, 1), 'x'))\n"
      "dbf.delete(t[1])\n");
  // Visual FoxPro: a longer header (the database container's path after the descriptors) and binary integers.
  const fs::path fox = make("fox.dbf",
      "t = dbf.Table(sys.argv[1], 'code C(5); n N(4,0); ok L; day D; count I', dbf_type='vfp')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('x', 12, True, datetime.date(2001, 9, 8), 7))\n"
      "t.append(('yy', -3, False, None, -90000))\n"
      "dbf.delete(t[0])\n");
  DbfViewer viewer, foxViewer;
  ASSERT_TRUE(viewer.Load(Q(file)));
  EXPECT_EQ(viewer.FieldNames().join(u',').toUpper(), QStringLiteral("NAME,QTY,OK,BORN,NOTE"));
  ExpectSameTable(viewer, file, "CNLDM");
  ASSERT_TRUE(foxViewer.Load(Q(fox)));
  ExpectSameTable(foxViewer, fox, "CNLDI");
  PreviewPane pane;
  pane.Show(ViewerKind::kDbf, Q(file));
  EXPECT_EQ(pane.Shown(), ViewerKind::kDbf);

  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
  const std::size_t header = bytes[8] | std::size_t{bytes[9]} << 8, record = bytes[10] | std::size_t{bytes[11]} << 8;
  const auto copy = [&](const char* name, std::vector<std::uint8_t> edited) {
    test::WriteFileBytes(dir / name, edited);
    return Q(dir / name);
  };
  // A header claiming four billion records: only the records in the file are read.
  std::vector<std::uint8_t> claim = bytes;
  std::fill_n(claim.begin() + 4, 4, 0xFF);
  DbfViewer vast;
  ASSERT_TRUE(vast.Load(copy("vast.dbf", claim)));
  ExpectSameTable(vast, file, "CNLDM");
  // Cut in the middle of the second record: the first one is all there is.
  DbfViewer cut;
  ASSERT_TRUE(cut.Load(copy("cut.dbf", {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header + record * 3 / 2)})));
  ASSERT_EQ(cut.RecordCount(), 1);
  for (int f = 0; f < 5; ++f) EXPECT_EQ(cut.CellText(0, f), viewer.CellText(0, f)) << f;
  // Headers that cannot be: cut in the descriptors, longer than the file, fields longer than the record.
  std::vector<std::uint8_t> longHeader = bytes, shortRecord = bytes;
  longHeader[8] = longHeader[9] = 0xFF;
  shortRecord[10] = 4;
  shortRecord[11] = 0;
  EXPECT_FALSE(DbfViewer().Load(copy("descriptors-cut.dbf", {bytes.begin(), bytes.begin() + 40})));
  EXPECT_FALSE(DbfViewer().Load(copy("long-header.dbf", longHeader)));
  EXPECT_FALSE(DbfViewer().Load(copy("short-record.dbf", shortRecord)));
}

}  // namespace
}  // namespace dravik::preview
