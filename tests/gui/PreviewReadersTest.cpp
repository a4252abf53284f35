// The previews read in this process, on files made by real tools and on damaged copies of them; Photoshop
// and dBASE against ImageMagick, Pillow and dbfread, DXF against ezdxf, RTF against LibreOffice's text.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Bytes.h"
#include "TestFiles.h"
#include "preview/ArchiveViewer.h"
#include "preview/DbfViewer.h"
#include "preview/DxfViewer.h"
#include "preview/HtmlViewer.h"
#include "preview/MediaViewer.h"
#include "preview/PdfViewer.h"
#include "preview/PreviewPane.h"
#include "preview/PsdViewer.h"
#include "preview/RichTextViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {
namespace {

namespace fs = std::filesystem;
QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

// The viewer a pane shows for the file; the notice's text and reason when it shows none.
ViewerKind PaneShows(ViewerKind kind, const fs::path& file, QString* notice = nullptr) {
  PreviewPane pane;
  pane.Show(kind, Q(file));
  if (auto* shown = dynamic_cast<NoticeViewer*>(pane.Current()); shown && notice) *notice = shown->Notice() + u'|' + shown->Reason();
  return pane.Shown();
}

// Copies of a good file cut short, as a recovered file can be: the pane shows no viewer.
void ExpectCutCopiesRefused(const fs::path& good, ViewerKind kind) {
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  for (const double keep : {0.1, 0.5, 0.97}) {
    const fs::path cut = good.parent_path() / "cut";
    test::WriteFileBytes(cut, {bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * keep)});
    EXPECT_EQ(PaneShows(kind, cut), ViewerKind::kNone) << good << " cut to " << keep;
  }
}

TEST(PreviewRulesTest, ExtensionsSizesTextDecodingAndMediaTimes) {
  EXPECT_EQ(PreviewExtension(QStringLiteral("a.tar.GZ")), QStringLiteral(".gz"));
  EXPECT_EQ(ViewerForFile(QStringLiteral("README"), 10), ViewerKind::kNone);
  EXPECT_EQ(ViewerForFile(QStringLiteral("photo.JPG"), kPreviewLimit), ViewerKind::kImage) << "exactly the limit";
  EXPECT_EQ(ViewerForFile(QStringLiteral("photo.jpg"), kPreviewLimit + 1), ViewerKind::kLargeFile);
  EXPECT_EQ(ViewerForFile(QStringLiteral("huge.iso"), kPreviewLimit + 1), ViewerKind::kNone) << "unsupported is never too large";
  EXPECT_EQ(ViewerForFile(QStringLiteral("notes.Txt"), 0), ViewerKind::kText);
  EXPECT_EQ(DecodeText(QByteArray("\xFF\xFE" "C\0a\0f\0\xE9\0", 10)), QStringLiteral("Caf\u00e9"));
  EXPECT_EQ(DecodeText(QByteArray("\xFE\xFF" "\0C\0a", 6)), QStringLiteral("Ca"));
  EXPECT_EQ(DecodeText(QByteArray("\xEF\xBB\xBF" "Caf\xC3\xA9")), QStringLiteral("Caf\u00e9"));
  EXPECT_EQ(DecodeText(QByteArray("Caf\xE9")), QStringLiteral("Caf\u00e9")) << "not UTF-8: Latin-1";
  EXPECT_EQ(MediaTime(1500), QStringLiteral("00:01"));
  EXPECT_EQ(MediaTime(3599999), QStringLiteral("59:59"));
  EXPECT_EQ(MediaTime(3600000 + 62000), QStringLiteral("01:01:02"));
  EXPECT_EQ(MediaTime(-5), QStringLiteral("00:00"));
}

// ImageMagick's and libtiff's picture, animation and PDF; cut short, none loads.
TEST(PreviewViewersTest, PicturesAnimationsAndPdfPagesAndTheirCutCopies) {
  test::TempDir dir;
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && convert -size 37x23 plasma:fractal picture.png && "
                           "convert -size 60x40 xc:red xc:blue xc:green -depth 8 -compress lzw three.tif && "
                           "tiff2pdf -o three.pdf three.tif && "
                           "convert -delay 10 -size 30x20 xc:red xc:blue xc:green xc:white four.gif").status, 0);
  ImageViewer image;
  ASSERT_TRUE(image.Load(Q(dir / "picture.png")));
  EXPECT_EQ(image.PictureSize(), QSize(37, 23));
  PdfViewer pdf;
  ASSERT_TRUE(pdf.Load(Q(dir / "three.pdf")));
  EXPECT_EQ(pdf.PageCount(), 3);
  AnimationViewer gif;
  ASSERT_TRUE(gif.Load(Q(dir / "four.gif")));
  EXPECT_EQ(gif.FrameCount(), 4);
  EXPECT_EQ(gif.PictureSize(), QSize(30, 20));
  fs::resize_file(dir / "picture.png", 40);  // the header is there, the picture is not
  fs::resize_file(dir / "three.pdf", 300);
  fs::resize_file(dir / "four.gif", 20);
  EXPECT_FALSE(ImageViewer().Load(Q(dir / "picture.png")));
  EXPECT_FALSE(PdfViewer().Load(Q(dir / "three.pdf")));
  EXPECT_FALSE(AnimationViewer().Load(Q(dir / "four.gif")));
  QString notice;
  EXPECT_EQ(PaneShows(ViewerKind::kImage, dir / "picture.png", &notice), ViewerKind::kNone);
  EXPECT_TRUE(notice.startsWith(QString(kNoPreview) + u'|')) << notice.toStdString();
  PreviewPane pane;
  pane.Show(ViewerKind::kLargeFile);
  EXPECT_EQ(dynamic_cast<NoticeViewer*>(pane.Current())->Notice(), QString(kTooLarge));
}

// Info-ZIP's zip lists its entries (a.bin dated on an even second, which a zip's time keeps exactly);
// 60 MB of zeros are listed from the headers, never unpacked; gzip shows its one member; no gzip and
// a cut zip say why not.
TEST(PreviewViewersTest, ArchivesListTheirEntriesAndDamagedOnesSayWhy) {
  test::TempDir dir;
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && mkdir -p in/sub && head -c 5000 /dev/urandom > in/a.bin && "
                           "touch -d '2020-02-29 13:37:42' in/a.bin && yes hello | head -c 20000 > in/sub/b.txt && zip -qr pack.zip in && gzip -k in/a.bin && "
                           "cp in/a.bin plain.gz && head -c 60000000 /dev/zero | zip -q bomb.zip -").status, 0);
  ArchiveViewer zip;
  ASSERT_TRUE(zip.Load(Q(dir / "pack.zip")));
  EXPECT_EQ(zip.Names().size(), 4) << "two folders, two files";
  EXPECT_EQ(zip.Cell(QStringLiteral("in/a.bin"), ArchiveViewer::kSize), QStringLiteral("5000"));
  EXPECT_EQ(zip.Cell(QStringLiteral("in/sub/b.txt"), ArchiveViewer::kSize), QStringLiteral("20000"));
  EXPECT_LT(zip.Cell(QStringLiteral("in/sub/b.txt"), ArchiveViewer::kPacked).toInt(), 20000) << "text packs well";
  EXPECT_EQ(zip.Cell(QStringLiteral("in/a.bin"), ArchiveViewer::kDate),
            QFileInfo(Q(dir / "in/a.bin")).lastModified().toString(QStringLiteral("dd-MM-yyyy hh:mm")));
  ArchiveViewer bomb, gz, plain;
  ASSERT_TRUE(bomb.Load(Q(dir / "bomb.zip")));
  EXPECT_EQ(bomb.Cell(QStringLiteral("-"), ArchiveViewer::kSize), QStringLiteral("60000000"));
  EXPECT_TRUE(gz.Load(Q(dir / "in/a.bin.gz")));
  EXPECT_EQ(gz.Names().size(), 1);
  EXPECT_FALSE(plain.Load(Q(dir / "plain.gz")));
  EXPECT_FALSE(plain.Problem().isEmpty());
  fs::resize_file(dir / "pack.zip", 20);
  QString notice;
  EXPECT_EQ(PaneShows(ViewerKind::kArchive, dir / "pack.zip", &notice), ViewerKind::kNone);
  EXPECT_TRUE(notice.contains(u'|') && !notice.endsWith(u'|')) << "the end record is cut off: " << notice.toStdString();
}

TEST(PreviewViewersTest, WebPagesShowTheirTextAndOnlyThePicturesTheyCarry) {
  test::TempDir dir;
  const auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return Q(dir / name);
  };
  ASSERT_EQ(test::RunShell("convert -size 8x8 xc:red " + test::Quote(dir / "beside.png")).status, 0);
  // A picture on the network and one beside the page on disk: neither may be fetched.
  HtmlViewer page;
  ASSERT_TRUE(page.Load(write("page.html", "<html><head><meta charset=\"utf-8\"></head><body><p><b>Caf\xC3\xA9</b> "
                                           "menu</p><img src=\"http://example.com/a.png\"><img src=\"beside.png\">"
                                           "<link rel=stylesheet href=\"file:///etc/passwd\"></body></html>")));
  page.resize(400, 300);
  page.grab();  // pictures are asked for when the page is laid out
  EXPECT_TRUE(page.Text().contains(QStringLiteral("Caf\u00e9 menu"))) << page.Text().toStdString();
  EXPECT_GE(page.RefusedResources(), 2);
  EXPECT_FALSE(page.HasImage(QStringLiteral("beside.png")));
  // A web archive by Python's email package: the page quoted-printable, its picture in base64.
  const fs::path mht = dir / "saved.mht";
  write("make.py", "from email.mime.multipart import MIMEMultipart\nfrom email.mime.text import MIMEText\n"
                   "from email.mime.image import MIMEImage\nimport email.charset\n"
                   "cs = email.charset.Charset('utf-8'); cs.body_encoding = email.charset.QP\nm = MIMEMultipart('related')\n"
                   "h = MIMEText('', 'html', 'utf-8'); h.set_payload('<p>Na\u00efve <i>archive</i></p><img "
                   "src=\"http://example.com/pic.png\">', charset=cs)\nm.attach(h)\n"
                   "i = MIMEImage(open('" + (dir / "beside.png").string() + "','rb').read(), 'png')\n"
                   "i['Content-Location'] = 'http://example.com/pic.png'\nm.attach(i)\n"
                   "open('" + mht.string() + "','w').write(m.as_string())\n");
  ASSERT_EQ(test::RunShell("python3 " + test::Quote(dir / "make.py")).status, 0);
  HtmlViewer archive;
  ASSERT_TRUE(archive.Load(Q(mht)));
  EXPECT_TRUE(archive.Text().contains(QStringLiteral("Na\u00efve archive"))) << archive.Text().toStdString();
  archive.resize(400, 300);
  archive.grab();
  EXPECT_EQ(archive.RefusedResources(), 0);
  EXPECT_TRUE(archive.HasImage(QStringLiteral("http://example.com/pic.png")));
  // Cut before the page's part: the message has no page left.
  std::string bytes;
  std::getline(std::ifstream(mht, std::ios::binary), bytes, '\0');
  fs::resize_file(mht, bytes.find("text/html") - 20);
  EXPECT_FALSE(HtmlViewer().Load(Q(mht))) << "the page part is cut off";
  EXPECT_FALSE(HtmlViewer().Load(write("empty.htm", "")));
}

// The largest difference of a colour component between the viewer's picture and another reader's RGB bytes.
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
  EXPECT_EQ(PaneShows(ViewerKind::kPsd, indexed), ViewerKind::kPsd);
  // Damaged copies of an RLE document: each edit is a header or section a reader must not trust.
  const fs::path good = dir / "good.psd";
  ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal -depth 8 -compress RLE " + test::Quote(good)).status, 0);
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  const auto be32 = [&](std::size_t at) { return static_cast<std::size_t>(test::GetInt(bytes, at, 4, true)); };
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

// dbfread's records, live then deleted: numbers as Python floats, logicals True/False/None, dates ISO.
std::vector<std::vector<std::string>> DbfreadRecords(const fs::path& file) {
  const std::string script = "import dbfread, sys\n"
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
  const fs::path file = make("people.dbf", "t = dbf.Table(sys.argv[1], 'name C(12); qty N(8,2); ok L; born D; note M', dbf_type='db3')\n"
                                           "t.open(dbf.READ_WRITE)\n"
                                           "t.append(('Alpha', 3.5, True, datetime.date(2020, 2, 29), 'first memo'))\n"
                                           "t.append(('Beta', -12.25, False, datetime.date(1999, 12, 31), 'second'))\n"
                                           "t.append(('Gamma', 0, None, None, ''))\n"
                                           "t.append(('Delta', 12345.67, True, datetime.date(1970, 1, 1), 'x'))\n"
                                           "dbf.delete(t[1])\n");
  // Visual FoxPro: a longer header (the database container's path after the descriptors) and binary integers.
  const fs::path fox = make("fox.dbf", "t = dbf.Table(sys.argv[1], 'code C(5); n N(4,0); ok L; day D; count I', dbf_type='vfp')\n"
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
  EXPECT_EQ(PaneShows(ViewerKind::kDbf, file), ViewerKind::kDbf);
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
  const std::size_t header = test::GetInt(bytes, 8, 2), record = test::GetInt(bytes, 10, 2);
  const auto copy = [&](const char* name, std::vector<std::uint8_t> edited) {
    test::WriteFileBytes(dir / name, edited);
    return Q(dir / name);
  };
  // A header claiming four billion records: only the records in the file are read.
  std::vector<std::uint8_t> claim = bytes, longHeader = bytes, shortRecord = bytes;
  std::fill_n(claim.begin() + 4, 4, 0xFF);
  DbfViewer vast, cut;
  ASSERT_TRUE(vast.Load(copy("vast.dbf", claim)));
  ExpectSameTable(vast, file, "CNLDM");
  // Cut in the middle of the second record: the first one is all there is.
  ASSERT_TRUE(cut.Load(copy("cut.dbf", {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header + record * 3 / 2)})));
  ASSERT_EQ(cut.RecordCount(), 1);
  for (int f = 0; f < 5; ++f) EXPECT_EQ(cut.CellText(0, f), viewer.CellText(0, f)) << f;
  // Headers that cannot be: cut in the descriptors, longer than the file, fields longer than the record.
  test::PutInt(longHeader, 8, 0xFFFF, 2);
  test::PutInt(shortRecord, 10, 4, 2);
  EXPECT_FALSE(DbfViewer().Load(copy("descriptors-cut.dbf", {bytes.begin(), bytes.begin() + 40})));
  EXPECT_FALSE(DbfViewer().Load(copy("long-header.dbf", longHeader)));
  EXPECT_FALSE(DbfViewer().Load(copy("short-record.dbf", shortRecord)));
}

// ezdxf is Debian's package, for Debian's interpreter.
test::CommandResult Python(const std::string& script, const std::string& args) {
  return test::RunShell("/usr/bin/python3 - " + args + " <<'PY'\n" + script + "\nPY");
}

// Prints what ezdxf reads of a drawing: the model-space entities by type and the
// box around them (texts left out: their boxes depend on fonts).
const char* const kEzdxfOracle = R"(
import sys, json, ezdxf
from ezdxf import bbox
def report(path):
    msp = ezdxf.readfile(path).modelspace()
    kinds = ['LINE', 'CIRCLE', 'ARC', 'LWPOLYLINE', 'POLYLINE', 'POINT', 'TEXT', 'MTEXT', 'ELLIPSE', 'INSERT']
    box = bbox.extents(e for e in msp if e.dxftype() not in ('TEXT', 'MTEXT'))
    print(json.dumps({'counts': {t: len(msp.query(t)) for t in kinds}, 'min': list(box.extmin)[:2], 'max': list(box.extmax)[:2]}))
)";

// Written as text, as binary, and as text with CRLF line ends.
const char* const kModernDrawing = R"(
doc = ezdxf.new('R2010')
msp = doc.modelspace()
msp.add_line((0, 0), (100, 20))
msp.add_line((-30, 5), (40, 80))
msp.add_circle((50, 50), 12)
msp.add_arc((10, 60), 25, 30, 200)
msp.add_arc((80, -10), 30, 200, 340)
msp.add_arc((60, 40), 6, 300, 45)
msp.add_lwpolyline([(0, 0), (20, -25), (60, -5), (90, 10)], close=True)
msp.add_lwpolyline([(5, 5), (15, 30), (25, 5)])
msp.add_point((110, 40))
msp.add_text('Caf\u00e9 \u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac', dxfattribs={'height': 3, 'insert': (10, 10)})
msp.add_mtext('two\\Plines', dxfattribs={'char_height': 2, 'insert': (30, 30)})
msp.add_ellipse((50, 20), major_axis=(5, 0), ratio=0.5)
mark = doc.blocks.new('MARK', base_point=(1, 1))
mark.add_circle((1, 1), 2)
mark.add_line((1, 1), (6, 1))
msp.add_blockref('MARK', (120, 70), dxfattribs={'xscale': 2, 'yscale': 2, 'rotation': 90})
msp.add_blockref('MARK', (-40, -30))
bow = doc.blocks.new('BOW', base_point=(0, 0))
bow.add_arc((0, 0), 10, 20, 100)
msp.add_blockref('BOW', (60, 95), dxfattribs={'xscale': -1.5, 'yscale': 1.5, 'rotation': 30})
doc.saveas(sys.argv[1])
doc.saveas(sys.argv[2], fmt='bin')
lf = open(sys.argv[1], 'rb').read()
open(sys.argv[3], 'wb').write(lf.replace(b'\r\n', b'\n').replace(b'\n', b'\r\n'))
report(sys.argv[1])
)";

// R12: POLYLINE with VERTEX entities, a line along the bottom, a circle at the top left.
const char* const kR12Drawing = R"(
doc = ezdxf.new('R12')
msp = doc.modelspace()
msp.add_line((0, 0), (100, 0))
msp.add_circle((10, 90), 5)
msp.add_polyline2d([(30, 10), (60, 40), (90, 10)], close=True)
msp.add_polyline3d([(40, 50, 0), (105, 60, 5), (80, 30, 1)])
msp.add_text('R12', dxfattribs={'height': 4, 'insert': (45, 20)})
doc.saveas(sys.argv[1])
report(sys.argv[1])
)";

// The viewer's counts by type and extents against ezdxf's (which measures arcs on their flattened points).
void ExpectSameAsEzdxf(const DxfViewer& viewer, const std::string& json, const std::string& what) {
  const QJsonObject ezdxf = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
  const QJsonObject counts = ezdxf["counts"].toObject();
  for (auto it = counts.begin(); it != counts.end(); ++it)
    EXPECT_EQ(viewer.Count(it.key().toStdString()), static_cast<std::size_t>(it.value().toInt())) << what << ": " << it.key().toStdString();
  ASSERT_TRUE(viewer.Extents().has_value()) << what;
  const DxfExtents e = *viewer.Extents();
  const double shown[] = {e.min_x, e.min_y, e.max_x, e.max_y};
  const QJsonArray min = ezdxf["min"].toArray(), max = ezdxf["max"].toArray();
  const double expected[] = {min[0].toDouble(), min[1].toDouble(), max[0].toDouble(), max[1].toDouble()};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(shown[i], expected[i], 0.05) << what << " extent " << i;
}

TEST(PreviewDxfRtfTest, DrawingsFromEzdxfCountAndMeasureAsEzdxfReadsThem) {
  test::TempDir dir;
  const auto made = Python(std::string(kEzdxfOracle) + kModernDrawing,
                           test::Quote(dir / "modern.dxf") + " " + test::Quote(dir / "binary.dxf") + " " + test::Quote(dir / "crlf.dxf"));
  ASSERT_EQ(made.status, 0);
  for (const char* name : {"modern.dxf", "crlf.dxf"}) {
    DxfViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / name))) << name;
    ExpectSameAsEzdxf(viewer, made.out, name);
    // 11 entities of the drawn kinds, MARK's circle and line at two inserts, BOW's arc at one.
    EXPECT_EQ(viewer.Drawn(), 11u + 2 * 2 + 1) << name;
  }
  EXPECT_FALSE(DxfViewer().Load(Q(dir / "binary.dxf"))) << "binary DXF is refused";
  const auto r12 = Python(std::string(kEzdxfOracle) + kR12Drawing, test::Quote(dir / "r12.dxf"));
  ASSERT_EQ(r12.status, 0);
  DxfViewer old;
  ASSERT_TRUE(old.Load(Q(dir / "r12.dxf")));
  ExpectSameAsEzdxf(old, r12.out, "r12.dxf");
  // Y up: the circle at the top left is drawn in the top left quarter, the bottom line along the bottom.
  old.resize(400, 400);
  const QImage shot = old.grab().toImage();
  auto dark_in = [&](QRect area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        if (qGray(shot.pixel(x, y)) < 128) return true;
    return false;
  };
  EXPECT_TRUE(dark_in({0, 0, 80, 80}));
  EXPECT_FALSE(dark_in({150, 0, 100, 30})) << "nothing at the top but the circle";
  EXPECT_TRUE(dark_in({150, 370, 100, 30})) << "the line at the bottom";
  EXPECT_EQ(qGray(shot.pixel(399, 0)), 255) << "white background";
  EXPECT_EQ(PaneShows(ViewerKind::kDxf, dir / "modern.dxf"), ViewerKind::kDxf);
  ExpectCutCopiesRefused(dir / "modern.dxf", ViewerKind::kDxf);
  // A group code that is no number, in the middle of the entities.
  const std::vector<std::uint8_t> modernBytes = test::ReadFileBytes(dir / "modern.dxf");
  std::string text(modernBytes.begin(), modernBytes.end());
  const auto circle = text.find("CIRCLE\n", text.find("ENTITIES"));
  ASSERT_NE(circle, std::string::npos);
  text.replace(text.find("\n 10\n", circle), 5, "\n1O\n");
  std::ofstream(dir / "garbled.dxf", std::ios::binary) << text;
  EXPECT_FALSE(DxfViewer().Load(Q(dir / "garbled.dxf")));
}

// Blocks that insert each other, and a block of many lines inserted many times: what is drawn stays within the budget.
TEST(PreviewDxfRtfTest, InsertsThatMultiplyOrRecurseStopAtTheBudget) {
  test::TempDir dir;
  ASSERT_EQ(Python(R"(
import sys, ezdxf
doc = ezdxf.new('R2010')
msp = doc.modelspace()
ping = doc.blocks.new('PING')
pong = doc.blocks.new('PONG')
ping.add_line((0, 0), (1, 0))
ping.add_blockref('PONG', (1, 1))
pong.add_circle((0, 0), 1)
pong.add_blockref('PING', (2, 2))
msp.add_blockref('PING', (0, 0))
doc.saveas(sys.argv[1])
many = doc.blocks.new('MANY')
for i in range(1000):
    many.add_line((0, i), (10, i))
for i in range(300):
    msp.add_blockref('MANY', (20 * i, 0))
doc.saveas(sys.argv[2])
)", test::Quote(dir / "recursive.dxf") + " " + test::Quote(dir / "many.dxf")).status, 0);
  DxfViewer recursive, many;
  ASSERT_TRUE(recursive.Load(Q(dir / "recursive.dxf")));
  EXPECT_EQ(recursive.Count("INSERT"), 1u);
  EXPECT_GT(recursive.Drawn(), 1u) << "the first levels are drawn";
  EXPECT_LE(recursive.Drawn(), static_cast<std::size_t>(2 * kDxfMaxInsertDepth));
  ASSERT_TRUE(many.Load(Q(dir / "many.dxf")));
  EXPECT_EQ(many.Count("INSERT"), 301u);
  EXPECT_LE(many.Drawn(), kDxfMaxExpanded) << "300,000 lines asked for";
  EXPECT_GE(many.Drawn(), kDxfMaxExpanded - 1000);
}

// Text as a person reads it: the words in order, whatever spaces or line breaks lie between them.
std::string Words(QString text) { return text.remove(QChar(0xFEFF)).simplified().toStdString(); }
std::string WordsOf(const fs::path& file) {
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
  return Words(QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
}

QTextCharFormat FormatAt(const QTextDocument& document, const QString& words) {
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)
      if (it.fragment().text().contains(words)) return it.fragment().charFormat();
  ADD_FAILURE() << "no fragment holds " << words.toStdString();
  return {};
}

// pandoc writes one RTF and LibreOffice (from pandoc's ODT) another, and
// LibreOffice one of a web page; LibreOffice's text of each is the oracle.
TEST(PreviewDxfRtfTest, DocumentsFromPandocAndLibreOfficeReadAsLibreOfficeReadsThem) {
  test::TempDir dir;
  std::ofstream(dir / "source.md") << "# Heading one\n\nSome **bold words** and *italic words* and ~~struck~~ text, Caf\u00e9 and "
                                      "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac, \u0420\u0443\u0441\u0441\u043a\u0438\u0439, "
                                      "\U0001F600 emoji.\n\n- first item\n- second item\n\nA [link](http://example.org) and `code`.\n";
  std::ofstream(dir / "page.html") << "<html><body><p>Plain <u>underlined</u> and <span style=\"color:#ff0000\">red words</span> and "
                                      "<span style=\"font-size:20pt\">large</span>.<br>After a break, na&iuml;ve &#x1F600; &#x4E2D;&#x6587;.</p>"
                                      "<table border=\"1\"><tr><td>cell one</td><td>cell two</td></tr></table></body></html>\n";
  const std::string office = "soffice -env:UserInstallation=file://" + (dir / "profile").string() + " --headless ";
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && pandoc -s source.md -o pandoc.rtf && pandoc -s source.md -o lo.odt && " +
                           office + "--convert-to rtf lo.odt >/dev/null 2>&1 && " + office +
                           "--infilter='HTML (StarWriter)' --convert-to rtf page.html >/dev/null 2>&1 && " + office +
                           "--convert-to 'txt:Text (encoded):UTF8' --outdir txt pandoc.rtf lo.rtf page.rtf >/dev/null 2>&1").status, 0);
  for (const char* name : {"pandoc", "lo", "page"}) {
    RichTextViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / (std::string(name) + ".rtf")))) << name;
    EXPECT_EQ(Words(viewer.PlainText()), WordsOf(dir / "txt" / (std::string(name) + ".txt"))) << name;
    const QTextDocument& document = *viewer.Document();
    if (name == std::string("page")) {  // colour from the colour table, underline, size, a line break inside a paragraph
      EXPECT_EQ(FormatAt(document, QStringLiteral("red words")).foreground().color(), QColor(255, 0, 0));
      EXPECT_NE(FormatAt(document, QStringLiteral("underlined")).foreground().color(), QColor(255, 0, 0));
      EXPECT_TRUE(FormatAt(document, QStringLiteral("underlined")).fontUnderline());
      EXPECT_FALSE(FormatAt(document, QStringLiteral("red words")).fontUnderline());
      EXPECT_DOUBLE_EQ(FormatAt(document, QStringLiteral("large")).fontPointSize(), 20);
      EXPECT_TRUE(document.begin().text().contains(QStringLiteral("After a break"))) << "a line break, not a new paragraph";
      continue;
    }
    EXPECT_EQ(FormatAt(document, QStringLiteral("bold words")).fontWeight(), QFont::Bold) << name;
    EXPECT_TRUE(FormatAt(document, QStringLiteral("italic words")).fontItalic()) << name;
    EXPECT_TRUE(FormatAt(document, QStringLiteral("struck")).fontStrikeOut()) << name;
    EXPECT_NE(FormatAt(document, QStringLiteral("emoji")).fontWeight(), QFont::Bold) << name;
    EXPECT_GT(FormatAt(document, QStringLiteral("Heading one")).fontPointSize(),
              FormatAt(document, QStringLiteral("emoji")).fontPointSize()) << name;
    ExpectCutCopiesRefused(dir / (std::string(name) + ".rtf"), ViewerKind::kRichText);
  }
  EXPECT_EQ(PaneShows(ViewerKind::kRichText, dir / "lo.rtf"), ViewerKind::kRichText);
  for (const char* other : {"source.md", "lo.odt"}) EXPECT_FALSE(RichTextViewer().Load(Q(dir / other))) << other << " is no RTF";
}

// Code page 1251 bytes in \'hh escapes, as older writers put text outside
// ASCII: once by the document's code page, once by the charset of its font.
TEST(PreviewDxfRtfTest, EscapedBytesReadInTheDocumentsCodePage) {
  const std::string escaped = "\\'d0\\'f3\\'f1\\'f1\\'ea\\'e8\\'e9 \\'f2\\'e5\\'ea\\'f1\\'f2 \\'b9 1";
  test::TempDir dir;
  for (const std::string& rtf : {"{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 " + escaped + "\\par}",
                                 "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f1\\fcharset204 Arial;}}\\f1 " + escaped + "\\par}"}) {
    std::ofstream(dir / "cp.rtf", std::ios::binary) << rtf;
    RichTextViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / "cp.rtf")));
    EXPECT_EQ(viewer.PlainText().toStdString(), "\u0420\u0443\u0441\u0441\u043a\u0438\u0439 \u0442\u0435\u043a\u0441\u0442 \u2116 1") << rtf;
  }
}

}  // namespace
}  // namespace dravik::preview
