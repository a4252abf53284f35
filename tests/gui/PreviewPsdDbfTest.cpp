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

// ImageMagick's own decoding of the merged picture (the first image of a
// PSD), as 8-bit sRGB bytes.
std::string MagickPixels(const fs::path& file) {
  const auto read =
      test::RunShell("convert " + test::Quote(file.string() + "[0]") + " -colorspace sRGB -depth 8 rgb:-");
  return read.status == 0 ? read.out : std::string();
}

// The largest difference of a colour component between the viewer's picture and
// ImageMagick's.
int LargestDifference(const QImage& picture, const std::string& magick) {
  int largest = 0;
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const QRgb ours = picture.pixel(x, y);
      const auto at = static_cast<std::size_t>((y * picture.width() + x) * 3);
      const int theirs[] = {static_cast<std::uint8_t>(magick[at]), static_cast<std::uint8_t>(magick[at + 1]),
                            static_cast<std::uint8_t>(magick[at + 2])};
      largest = std::max({largest, std::abs(qRed(ours) - theirs[0]), std::abs(qGreen(ours) - theirs[1]),
                          std::abs(qBlue(ours) - theirs[2])});
    }
  return largest;
}

TEST(PreviewPsdDbfTest, PhotoshopPicturesMatchOtherReadersAndHalvedCopiesFail) {
  test::TempDir dir;
  struct Case {
    const char* name;
    const char* options;
    const char* compression;  // as ImageMagick names it
    int tolerance;            // 16-bit samples and CMYK: ImageMagick rounds its own way to
                              // 8 bits
  };
  const Case cases[] = {
      {"rle.psd", "-depth 8 -compress RLE", "RLE", 0},
      {"raw.psd", "-depth 8 -compress none", "None", 0},
      {"gray.psd", "-colorspace Gray -depth 8 -compress RLE", "RLE", 0},
      {"deep.psd", "-depth 16 -compress RLE", "RLE", 1},
      {"cmyk.psd", "-colorspace CMYK -depth 8 -compress RLE", "RLE", 1},
      {"large.psb", "-depth 8 -compress RLE", "RLE", 0},
      {"bitmap.psd", "-colorspace Gray -monochrome -compress RLE", "RLE", 0},
      {"bitmap-raw.psd", "-colorspace Gray -monochrome -compress none", "None", 0},
  };
  for (const Case& c : cases) {
    const fs::path file = dir / c.name;
    ASSERT_EQ(
        test::RunShell("convert -size 37x23 plasma:fractal " + std::string(c.options) + " " + test::Quote(file)).status,
        0)
        << c.name;
    EXPECT_EQ(test::RunShell("identify -format %C " + test::Quote(file.string() + "[0]")).out, c.compression) << c.name;
    PsdViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(file))) << c.name;
    EXPECT_EQ(viewer.PictureSize(), QSize(37, 23)) << c.name;
    const std::string magick = MagickPixels(file);
    ASSERT_EQ(magick.size(), std::size_t{37 * 23 * 3}) << c.name;
    EXPECT_LE(LargestDifference(viewer.Picture(), magick), c.tolerance) << c.name;
    fs::resize_file(file, fs::file_size(file) / 2);
    PsdViewer halved;
    EXPECT_FALSE(halved.Load(Q(file))) << c.name;
  }
  // ImageMagick does not read back the indexed documents it writes; Pillow
  // does.
  const fs::path indexed = dir / "indexed.psd";
  ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal -type Palette " + test::Quote(indexed)).status, 0);
  PsdViewer indexedViewer;
  ASSERT_TRUE(indexedViewer.Load(Q(indexed)));
  const auto pillow = test::RunShell(
      "/usr/bin/python3 -c 'import sys; from PIL import Image; "
      "im = Image.open(sys.argv[1]); assert im.mode == \"P\"; "
      "sys.stdout.buffer.write(im.convert(\"RGB\").tobytes())' " +
      test::Quote(indexed));
  ASSERT_EQ(pillow.out.size(), std::size_t{37 * 23 * 3});
  EXPECT_EQ(LargestDifference(indexedViewer.Picture(), pillow.out), 0);

  PreviewPane pane;
  pane.Show(ViewerKind::kPsd, Q(indexed));
  EXPECT_EQ(pane.Shown(), ViewerKind::kPsd);
  ASSERT_NE(dynamic_cast<PsdViewer*>(pane.Current()), nullptr);
}

TEST(PreviewPsdDbfTest, DamagedPhotoshopDocumentsAreRefused) {
  test::TempDir dir;
  const fs::path good = dir / "good.psd";
  ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal -depth 8 -compress RLE " + test::Quote(good)).status, 0);
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  const auto damaged = [&](const std::string& name, std::size_t offset, std::vector<std::uint8_t> patch,
                           std::size_t keep) {
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    std::copy(patch.begin(), patch.end(), copy.begin() + static_cast<std::ptrdiff_t>(offset));
    const fs::path file = dir / name;
    test::WriteFileBytes(file, copy);
    PsdViewer viewer;
    EXPECT_FALSE(viewer.Load(Q(file))) << name;
  };
  damaged("cut-in-the-rows.psd", 0, {}, bytes.size() - 100);
  damaged("cut-in-the-header.psd", 0, {}, 20);
  damaged("vast.psd", 14, {0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, bytes.size());
  damaged("just-too-wide.psd", 18, {0x00, 0x00, 0x75, 0x31},
          bytes.size());  // 30001
  damaged("resources-past-the-end.psd", 30, {0x7F, 0xFF, 0xFF, 0xFF}, bytes.size());
  damaged("lab.psd", 24, {0x00, 0x09}, bytes.size());
  // Every PackBits row count doubled: the rows run past the end of the file.
  const std::size_t resources =
      30 + (std::size_t{bytes[26]} << 24 | std::size_t{bytes[27]} << 16 | std::size_t{bytes[28]} << 8 | bytes[29]);
  const std::size_t layers = resources + 4 +
                             (std::size_t{bytes[resources]} << 24 | std::size_t{bytes[resources + 1]} << 16 |
                              std::size_t{bytes[resources + 2]} << 8 | bytes[resources + 3]);
  const std::size_t data = layers + 4 +
                           (std::size_t{bytes[layers]} << 24 | std::size_t{bytes[layers + 1]} << 16 |
                            std::size_t{bytes[layers + 2]} << 8 | bytes[layers + 3]);
  ASSERT_EQ(bytes[data + 1], 1) << "PackBits";
  damaged("rows-too-long.psd", data + 2, {0x7F, 0xFF}, bytes.size());
}

// dbfread's records of a table: one line per record, "live" or "deleted"
// then the values separated by tabs, numbers as Python floats, logicals as
// True/False/None, dates in ISO form.
std::vector<std::vector<std::string>> DbfreadRecords(const fs::path& file, std::vector<std::string>& names) {
  const std::string script =
      "import dbfread, sys\n"
      "t = dbfread.DBF(sys.argv[1], load=True, char_decode_errors='replace')\n"
      "print('\\t'.join(t.field_names))\n"
      "for kind, rows in (('live', t.records), ('deleted', t.deleted)):\n"
      "    for r in rows:\n"
      "        print('\\t'.join([kind] + ['' if v is None and f.type != 'L' "
      "else v.isoformat() if hasattr(v, 'isoformat') "
      "else str(v) for f, v in zip(t.fields, r.values())]))\n";
  const auto run = test::RunShell("/usr/bin/python3 -c " + test::Quote(script) + " " + test::Quote(file));
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(run.out);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream split(line);
    std::string cell;
    while (std::getline(split, cell, '\t')) cells.push_back(cell);
    if (line.ends_with('\t')) cells.emplace_back();
    if (first)
      names = cells;
    else
      records.push_back(cells);
    first = false;
  }
  return records;
}

// The viewer's text of a cell in dbfread's terms.
void ExpectSameValue(char type, const QString& ours, const std::string& theirs, const std::string& where) {
  switch (type) {
    case 'N':
      if (theirs.empty())
        EXPECT_TRUE(ours.isEmpty()) << where;
      else
        EXPECT_DOUBLE_EQ(ours.toDouble(), std::stod(theirs)) << where;
      break;
    case 'L': EXPECT_EQ(ours, theirs == "True" ? "TRUE" : theirs == "False" ? "FALSE" : "") << where; break;
    case 'M': EXPECT_EQ(ours, "Memo") << where; break;
    default: EXPECT_EQ(ours.toStdString(), theirs) << where;
  }
}

void ExpectSameTable(const DbfViewer& viewer, const fs::path& file, const char* types) {
  std::vector<std::string> names;
  const auto records = DbfreadRecords(file, names);
  ASSERT_FALSE(names.empty()) << file;
  QStringList expected;
  for (const auto& n : names) expected << QString::fromStdString(n);
  EXPECT_EQ(viewer.FieldNames(), expected);
  ASSERT_EQ(static_cast<std::size_t>(viewer.RecordCount()), records.size());
  // dbfread lists the live records, then the deleted ones, each in file order.
  std::vector<int> order;
  for (const bool deleted : {false, true})
    for (int r = 0; r < viewer.RecordCount(); ++r)
      if (viewer.Deleted(r) == deleted) order.push_back(r);
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].size(), names.size() + 1);
    EXPECT_EQ(viewer.Deleted(order[i]), records[i][0] == "deleted") << i;
    for (std::size_t f = 0; f < names.size(); ++f)
      ExpectSameValue(types[f], viewer.CellText(order[i], static_cast<int>(f)), records[i][f + 1],
                      "record " + std::to_string(i) + " field " + names[f]);
  }
}

TEST(PreviewPsdDbfTest, DbaseTablesMatchDbfreadAndSurviveDamage) {
  test::TempDir dir;
  const fs::path file = dir / "people.dbf";
  const std::string script =
      "import dbf, datetime, sys\n"
      "t = dbf.Table(sys.argv[1], 'name C(12); qty N(8,2); ok L; born D; note "
      "M', dbf_type='db3')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('Alpha', 3.5, True, datetime.date(2020, 2, 29), 'first "
      "memo'))\n"
      "t.append(('Beta', -12.25, False, datetime.date(1999, 12, 31), "
      "'second'))\n"
      "t.append(('Gamma', 0, None, None, ''))\n"
      "t.append(('Delta', 12345.67, True, datetime.date(1970, 1, 1), 'x'))\n"
      "dbf.delete(t[1])\n"
      "t.close()\n";
  ASSERT_EQ(test::RunShell("/usr/bin/python3 -c " + test::Quote(script) + " " + test::Quote(file)).status, 0);
  const char* types = "CNLDM";
  DbfViewer viewer;
  ASSERT_TRUE(viewer.Load(Q(file)));
  ExpectSameTable(viewer, file, types);
  // Visual FoxPro: a longer header (the database container's path after the
  // descriptors) and binary integers.
  const fs::path fox = dir / "fox.dbf";
  const std::string foxScript =
      "import dbf, datetime, sys\n"
      "t = dbf.Table(sys.argv[1], 'code C(5); n N(4,0); ok L; day D; count I', "
      "dbf_type='vfp')\n"
      "t.open(dbf.READ_WRITE)\n"
      "t.append(('x', 12, True, datetime.date(2001, 9, 8), 7))\n"
      "t.append(('yy', -3, False, None, -90000))\n"
      "dbf.delete(t[0])\n"
      "t.close()\n";
  ASSERT_EQ(test::RunShell("/usr/bin/python3 -c " + test::Quote(foxScript) + " " + test::Quote(fox)).status, 0);
  DbfViewer foxViewer;
  ASSERT_TRUE(foxViewer.Load(Q(fox)));
  ExpectSameTable(foxViewer, fox, "CNLDI");
  PreviewPane pane;
  pane.Show(ViewerKind::kDbf, Q(file));
  EXPECT_EQ(pane.Shown(), ViewerKind::kDbf);

  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
  const std::size_t header = bytes[8] | std::size_t{bytes[9]} << 8;
  const std::size_t record = bytes[10] | std::size_t{bytes[11]} << 8;
  // A header claiming four billion records: only the records in the file are
  // read, as dbfread reads them.
  const fs::path vast = dir / "vast.dbf";
  std::vector<std::uint8_t> claim = bytes;
  std::fill_n(claim.begin() + 4, 4, 0xFF);
  test::WriteFileBytes(vast, claim);
  DbfViewer vastViewer;
  ASSERT_TRUE(vastViewer.Load(Q(vast)));
  ExpectSameTable(vastViewer, file, types);
  // Cut in the middle of the second record: the first one is all there is.
  const fs::path cut = dir / "cut.dbf";
  test::WriteFileBytes(
      cut, std::vector<std::uint8_t>(bytes.begin(),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(header + record + record / 2)));
  DbfViewer cutViewer;
  ASSERT_TRUE(cutViewer.Load(Q(cut)));
  ASSERT_EQ(cutViewer.RecordCount(), 1);
  for (int f = 0; f < 5; ++f) EXPECT_EQ(cutViewer.CellText(0, f), viewer.CellText(0, f)) << f;
  // Headers that cannot be: cut in the field descriptors, a header longer
  // than the file, fields longer than the record.
  const auto refused = [&](const std::string& name, std::vector<std::uint8_t> copy) {
    test::WriteFileBytes(dir / name, copy);
    DbfViewer damaged;
    EXPECT_FALSE(damaged.Load(Q(dir / name))) << name;
  };
  refused("descriptors-cut.dbf", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 40));
  std::vector<std::uint8_t> longHeader = bytes;
  longHeader[8] = longHeader[9] = 0xFF;
  refused("long-header.dbf", longHeader);
  std::vector<std::uint8_t> shortRecord = bytes;
  shortRecord[10] = 4;
  shortRecord[11] = 0;
  refused("short-record.dbf", shortRecord);
}

}  // namespace
}  // namespace dravik::preview
