// The DXF and RTF viewers with our own readers: drawings written by ezdxf and
// compared with ezdxf's own reading of them (entity counts, extents);
// documents written by pandoc and LibreOffice compared with LibreOffice's text
// of the same files; damaged copies of each.

#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <fstream>

#include "TestFiles.h"
#include "preview/DxfViewer.h"
#include "preview/PreviewPane.h"
#include "preview/RichTextViewer.h"

namespace dravik::preview {
namespace {

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// ezdxf is Debian's package, for Debian's interpreter.
test::CommandResult Python(const std::string& script, const std::string& args) {
  return test::RunShell("/usr/bin/python3 - " + args + " <<'PY'\n" + script + "\nPY");
}

// Writes the drawing with ezdxf, reads it back with ezdxf and prints what it
// found: the model-space entities by type and the box around them.
const char* const kEzdxfOracle = R"(
import sys, json, ezdxf
from ezdxf import bbox
def report(path):
    msp = ezdxf.readfile(path).modelspace()
    kinds = ['LINE', 'CIRCLE', 'ARC', 'LWPOLYLINE', 'POLYLINE', 'POINT', 'TEXT', 'MTEXT', 'ELLIPSE', 'INSERT']
    counts = {t: len(msp.query(t)) for t in kinds}
    # Text boxes depend on fonts; the drawings keep their texts inside the other entities.
    box = bbox.extents(e for e in msp if e.dxftype() not in ('TEXT', 'MTEXT'))
    print(json.dumps({'counts': counts, 'min': list(box.extmin)[:2], 'max': list(box.extmax)[:2]}))
)";

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
with open(sys.argv[1], 'rb') as f:
    lf = f.read()
with open(sys.argv[3], 'wb') as f:
    f.write(lf.replace(b'\r\n', b'\n').replace(b'\n', b'\r\n'))
report(sys.argv[1])
)";

// An R12 drawing: POLYLINE with VERTEX entities, a line along the bottom and a
// circle at the top left.
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

// The viewer's counts by type and extents against ezdxf's report; ezdxf
// measures arcs on their flattened points.
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

// Copies of a good file that are damaged in ways a recovered file can be.
void ExpectDamagedCopiesRefused(const std::filesystem::path& good, const test::TempDir& dir, ViewerKind kind) {
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  for (const double keep : {0.1, 0.5, 0.97}) {
    const auto cut = dir / "cut";
    test::WriteFileBytes(cut, {bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * keep)});
    PreviewPane pane;
    pane.Show(kind, Q(cut));
    EXPECT_EQ(pane.Shown(), ViewerKind::kNone) << good << " cut to " << keep;
  }
}

TEST(PreviewDxfRtfTest, DrawingsFromEzdxfCountAndMeasureAsEzdxfReadsThem) {
  test::TempDir dir;
  const auto made = Python(
      std::string(kEzdxfOracle) + kModernDrawing,
      test::Quote(dir / "modern.dxf") + " " + test::Quote(dir / "binary.dxf") + " " + test::Quote(dir / "crlf.dxf"));
  ASSERT_EQ(made.status, 0);
  const QJsonObject modern = QJsonDocument::fromJson(QByteArray::fromStdString(made.out)).object()["counts"].toObject();
  for (const char* name : {"modern.dxf", "crlf.dxf"}) {
    DxfViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / name))) << name;
    ExpectSameAsEzdxf(viewer, made.out, name);
    // What ezdxf counts of the drawn kinds, the circle and line of MARK at two inserts, the arc of BOW at one.
    std::size_t drawn = 2 * 2 + 1;
    for (const char* kind : {"LINE", "CIRCLE", "ARC", "LWPOLYLINE", "POINT", "TEXT", "MTEXT"})
      drawn += static_cast<std::size_t>(modern[kind].toInt());
    EXPECT_EQ(viewer.Drawn(), drawn) << name;
  }
  EXPECT_FALSE(DxfViewer().Load(Q(dir / "binary.dxf"))) << "binary DXF is refused";

  const auto r12 = Python(std::string(kEzdxfOracle) + kR12Drawing, test::Quote(dir / "r12.dxf"));
  ASSERT_EQ(r12.status, 0);
  DxfViewer old;
  ASSERT_TRUE(old.Load(Q(dir / "r12.dxf")));
  ExpectSameAsEzdxf(old, r12.out, "r12.dxf");

  // Y up: the circle at the top left is drawn in the top left quarter, the
  // bottom line along the bottom.
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

  PreviewPane pane;
  pane.Show(ViewerKind::kDxf, Q(dir / "modern.dxf"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kDxf);
  ExpectDamagedCopiesRefused(dir / "modern.dxf", dir, ViewerKind::kDxf);
  ExpectDamagedCopiesRefused(dir / "r12.dxf", dir, ViewerKind::kDxf);
  // A group code that is no number, in the middle of the entities.
  const std::vector<std::uint8_t> modernBytes = test::ReadFileBytes(dir / "modern.dxf");
  std::string text(modernBytes.begin(), modernBytes.end());
  const auto circle = text.find("CIRCLE\n", text.find("ENTITIES"));
  ASSERT_NE(circle, std::string::npos);
  text.replace(text.find("\n 10\n", circle), 5, "\n1O\n");
  std::ofstream(dir / "garbled.dxf", std::ios::binary) << text;
  EXPECT_FALSE(DxfViewer().Load(Q(dir / "garbled.dxf")));
}

// Blocks that insert each other, and a block of many lines inserted many
// times: what is drawn stays within the budget and loading ends.
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
)",
                   test::Quote(dir / "recursive.dxf") + " " + test::Quote(dir / "many.dxf"))
                .status,
            0);
  DxfViewer recursive;
  ASSERT_TRUE(recursive.Load(Q(dir / "recursive.dxf")));
  EXPECT_EQ(recursive.Count("INSERT"), 1u);
  EXPECT_GT(recursive.Drawn(), 1u) << "the first levels are drawn";
  EXPECT_LE(recursive.Drawn(), static_cast<std::size_t>(2 * kDxfMaxInsertDepth));
  DxfViewer many;
  ASSERT_TRUE(many.Load(Q(dir / "many.dxf")));
  EXPECT_EQ(many.Count("INSERT"), 301u);
  EXPECT_LE(many.Drawn(), kDxfMaxExpanded) << "300,000 lines asked for";
  EXPECT_GE(many.Drawn(), kDxfMaxExpanded - 1000);
}

// Text as a person reads it: the words in order, whatever spaces or line breaks lie between them.
std::string Words(QString text) { return text.remove(QChar(0xFEFF)).simplified().toStdString(); }
std::string WordsOf(const std::filesystem::path& file) {
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

TEST(PreviewDxfRtfTest, DocumentsFromPandocAndLibreOfficeReadAsLibreOfficeReadsThem) {
  test::TempDir dir;
  const std::string d = test::Quote(dir.Path());
  {
    std::ofstream md(dir / "source.md");
    md << "# Heading one\n\nSome **bold words** and *italic words* and ~~struck~~ text, Caf\u00e9 and "
          "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac, \u0420\u0443\u0441\u0441\u043a\u0438\u0439, "
          "\U0001F600 emoji.\n\n- first item\n- second item\n\nA [link](http://example.org) and `code`.\n";
  }
  // pandoc writes one RTF; LibreOffice writes the other from pandoc's ODT; LibreOffice reads both back as text.
  const std::string office = "soffice -env:UserInstallation=file://" + (dir / "profile").string() + " --headless ";
  ASSERT_EQ(test::RunShell("cd " + d + " && pandoc -s source.md -o pandoc.rtf && pandoc -s source.md -o lo.odt && " +
                           office + "--convert-to rtf lo.odt >/dev/null 2>&1 && " + office +
                           "--convert-to 'txt:Text (encoded):UTF8' --outdir txt pandoc.rtf lo.rtf >/dev/null 2>&1")
                .status,
            0);
  for (const char* name : {"pandoc", "lo"}) {
    RichTextViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / (std::string(name) + ".rtf")))) << name;
    EXPECT_EQ(Words(viewer.PlainText()), WordsOf(dir / "txt" / (std::string(name) + ".txt"))) << name;
    const QTextDocument& document = *viewer.Document();
    EXPECT_EQ(FormatAt(document, QStringLiteral("bold words")).fontWeight(), QFont::Bold) << name;
    EXPECT_TRUE(FormatAt(document, QStringLiteral("italic words")).fontItalic()) << name;
    EXPECT_TRUE(FormatAt(document, QStringLiteral("struck")).fontStrikeOut()) << name;
    EXPECT_NE(FormatAt(document, QStringLiteral("emoji")).fontWeight(), QFont::Bold) << name;
    EXPECT_GT(FormatAt(document, QStringLiteral("Heading one")).fontPointSize(),
              FormatAt(document, QStringLiteral("emoji")).fontPointSize())
        << name;
    ExpectDamagedCopiesRefused(dir / (std::string(name) + ".rtf"), dir, ViewerKind::kRichText);
  }
  PreviewPane pane;
  pane.Show(ViewerKind::kRichText, Q(dir / "lo.rtf"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kRichText);
  for (const char* other : {"source.md", "lo.odt"}) EXPECT_FALSE(RichTextViewer().Load(Q(dir / other))) << other << " is no RTF";
}

// LibreOffice's RTF of a web page: colour from the colour table, underline,
// size, a line break inside a paragraph, a table's cells, characters outside
// the Basic Multilingual Plane.
TEST(PreviewDxfRtfTest, AWebPageThroughLibreOfficeKeepsColourUnderlineAndLineBreaks) {
  test::TempDir dir;
  {
    std::ofstream html(dir / "page.html");
    html << "<html><body><p>Plain <u>underlined</u> and <span style=\"color:#ff0000\">red words</span> and "
            "<span style=\"font-size:20pt\">large</span>.<br>After a break, na&iuml;ve &#x1F600; &#x4E2D;&#x6587;.</p>"
            "<table border=\"1\"><tr><td>cell one</td><td>cell two</td></tr></table></body></html>\n";
  }
  const std::string office = "soffice -env:UserInstallation=file://" + (dir / "profile").string() + " --headless ";
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && " + office +
                           "--infilter='HTML (StarWriter)' --convert-to rtf page.html >/dev/null 2>&1 && " + office +
                           "--convert-to 'txt:Text (encoded):UTF8' --outdir txt page.rtf >/dev/null 2>&1")
                .status,
            0);
  RichTextViewer viewer;
  ASSERT_TRUE(viewer.Load(Q(dir / "page.rtf")));
  EXPECT_EQ(Words(viewer.PlainText()), WordsOf(dir / "txt" / "page.txt"));
  const QTextDocument& document = *viewer.Document();
  EXPECT_EQ(FormatAt(document, QStringLiteral("red words")).foreground().color(), QColor(255, 0, 0));
  EXPECT_NE(FormatAt(document, QStringLiteral("underlined")).foreground().color(), QColor(255, 0, 0));
  EXPECT_TRUE(FormatAt(document, QStringLiteral("underlined")).fontUnderline());
  EXPECT_FALSE(FormatAt(document, QStringLiteral("red words")).fontUnderline());
  EXPECT_DOUBLE_EQ(FormatAt(document, QStringLiteral("large")).fontPointSize(), 20);
  const QTextBlock first = document.begin();
  EXPECT_TRUE(first.text().contains(QStringLiteral("After a break"))) << "a line break, not a new paragraph";
}

// Bytes of a Windows code page in \'hh escapes, as older writers put text
// outside ASCII: iconv's encoding of the text must read back as the text.
TEST(PreviewDxfRtfTest, EscapedBytesReadInTheDocumentsCodePage) {
  test::TempDir dir;
  const std::string text = "\u0420\u0443\u0441\u0441\u043a\u0438\u0439 \u0442\u0435\u043a\u0441\u0442 \u2116 1";
  { std::ofstream(dir / "utf8.txt", std::ios::binary) << text; }
  ASSERT_EQ(test::RunShell("iconv -f UTF-8 -t CP1251 " + test::Quote(dir / "utf8.txt") + " > " + test::Quote(dir / "cp1251.txt")).status, 0);
  std::string escaped;
  for (const std::uint8_t byte : test::ReadFileBytes(dir / "cp1251.txt")) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), "\\'%02x", byte);
    escaped += byte < 0x80 ? std::string(1, static_cast<char>(byte)) : std::string(hex);
  }
  // Once by the document's code page, once by the charset of its font.
  const std::string by_page = "{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 " + escaped + "\\par}";
  const std::string by_font =
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f1\\fcharset204 Arial;}}\\f1 " + escaped + "\\par}";
  for (const std::string& rtf : {by_page, by_font}) {
    std::ofstream(dir / "cp.rtf", std::ios::binary) << rtf;
    RichTextViewer viewer;
    ASSERT_TRUE(viewer.Load(Q(dir / "cp.rtf")));
    EXPECT_EQ(viewer.PlainText().toStdString(), text) << rtf;
  }
}

}  // namespace
}  // namespace dravik::preview
