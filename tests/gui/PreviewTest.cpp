// The preview: which viewer a name and size choose, the picture, archive,
// PDF and web viewers on files made by real tools and on damaged copies, and
// text decoding. (A file row of the results shown through the engine's
// writer: WizardTest's Quick Scan road.)

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QTest>
#include <fstream>

#include "TestFiles.h"
#include "preview/ArchiveViewer.h"
#include "preview/HtmlViewer.h"
#include "preview/PdfViewer.h"
#include "preview/PreviewPane.h"
#include "preview/Viewers.h"


namespace dravik::preview {
namespace {

TEST(PreviewRulesTest, ExtensionsSizesAndTheTable) {
  EXPECT_EQ(PreviewExtension(QStringLiteral("Archive.ZIP")), QStringLiteral(".zip"));
  EXPECT_EQ(PreviewExtension(QStringLiteral("a.tar.GZ")), QStringLiteral(".gz"));
  EXPECT_EQ(PreviewExtension(QStringLiteral("README")), QStringLiteral(".readme")) << "no dot: the whole name";
  EXPECT_EQ(ViewerForFile(QStringLiteral("README"), 10), ViewerKind::kNone);
  EXPECT_EQ(ViewerForFile(QStringLiteral("photo.JPG"), kPreviewLimit), ViewerKind::kImage) << "exactly the limit";
  EXPECT_EQ(ViewerForFile(QStringLiteral("photo.jpg"), kPreviewLimit + 1), ViewerKind::kLargeFile);
  EXPECT_EQ(ViewerForFile(QStringLiteral("huge.iso"), kPreviewLimit + 1), ViewerKind::kNone)
      << "an unsupported type is never called too large";
  EXPECT_EQ(ViewerForFile(QStringLiteral("notes.Txt"), 0), ViewerKind::kText);
}

// A picture, an animation and a PDF made by ImageMagick and libtiff show
// their size, frames and pages; cut short, none of them loads, and the pane
// shows the no-preview notice instead.
TEST(PreviewViewersTest, PicturesAnimationsAndPdfPagesAndTheirCutCopies) {
  test::TempDir dir;
  const auto at = [&](const char* name) { return QString::fromStdString((dir.Path() / name).string()); };
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && convert -size 37x23 plasma:fractal picture.png && "
                           "convert -size 60x40 xc:red xc:blue xc:green -depth 8 -compress lzw three.tif && "
                           "tiff2pdf -o three.pdf three.tif && "
                           "convert -delay 10 -size 30x20 xc:red xc:blue xc:green xc:white four.gif").status, 0);
  ImageViewer image;
  ASSERT_TRUE(image.Load(at("picture.png")));
  EXPECT_EQ(image.PictureSize(), QSize(37, 23));
  PdfViewer pdf;
  ASSERT_TRUE(pdf.Load(at("three.pdf")));
  EXPECT_EQ(pdf.PageCount(), 3);
  AnimationViewer gif;
  ASSERT_TRUE(gif.Load(at("four.gif")));
  EXPECT_EQ(gif.FrameCount(), 4);
  EXPECT_EQ(gif.PictureSize(), QSize(30, 20));

  std::filesystem::resize_file(dir.Path() / "picture.png", 40);  // the header is there, the picture is not
  std::filesystem::resize_file(dir.Path() / "three.pdf", 300);
  std::filesystem::resize_file(dir.Path() / "four.gif", 20);
  EXPECT_FALSE(ImageViewer().Load(at("picture.png")));
  EXPECT_FALSE(PdfViewer().Load(at("three.pdf")));
  EXPECT_FALSE(AnimationViewer().Load(at("four.gif")));
  PreviewPane pane;
  pane.Show(ViewerKind::kImage, at("picture.png"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone);
  ASSERT_NE(dynamic_cast<NoticeViewer*>(pane.Current()), nullptr);
  EXPECT_EQ(dynamic_cast<NoticeViewer*>(pane.Current())->Notice(), QString(kNoPreview));
  pane.Show(ViewerKind::kLargeFile);
  EXPECT_EQ(dynamic_cast<NoticeViewer*>(pane.Current())->Notice(), QString(kTooLarge));
}

// A zip made by Info-ZIP lists its entries with their sizes; 60 MB of zeros
// packed small are listed from the headers, never unpacked; gzip shows its
// one member; a file that is no gzip, and a zip cut short, say why not.
TEST(PreviewViewersTest, ArchivesListTheirEntriesAndDamagedOnesSayWhy) {
  test::TempDir dir;
  const auto at = [&](const char* name) { return QString::fromStdString((dir.Path() / name).string()); };
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && mkdir -p in/sub && head -c 5000 /dev/urandom > in/a.bin && "
                           "yes hello | head -c 20000 > in/sub/b.txt && zip -qr pack.zip in && gzip -k in/a.bin && "
                           "cp in/a.bin plain.gz && head -c 60000000 /dev/zero | zip -q bomb.zip -").status, 0);
  ArchiveViewer zip;
  ASSERT_TRUE(zip.Load(at("pack.zip")));
  EXPECT_EQ(zip.Names().size(), 4) << "two folders, two files";
  EXPECT_EQ(zip.Cell(QStringLiteral("in/a.bin"), ArchiveViewer::kSize), QStringLiteral("5000"));
  EXPECT_EQ(zip.Cell(QStringLiteral("in/sub/b.txt"), ArchiveViewer::kSize), QStringLiteral("20000"));
  EXPECT_LT(zip.Cell(QStringLiteral("in/sub/b.txt"), ArchiveViewer::kPacked).toInt(), 20000) << "text packs well";
  EXPECT_EQ(zip.Cell(QStringLiteral("in/a.bin"), ArchiveViewer::kDate),
            QFileInfo(at("in/a.bin")).lastModified().toString(QStringLiteral("dd-MM-yyyy hh:mm")));
  ArchiveViewer bomb;
  ASSERT_TRUE(bomb.Load(at("bomb.zip")));
  EXPECT_EQ(bomb.Cell(QStringLiteral("-"), ArchiveViewer::kSize), QStringLiteral("60000000"));
  ArchiveViewer gz;
  EXPECT_TRUE(gz.Load(at("in/a.bin.gz")));
  EXPECT_EQ(gz.Names().size(), 1);
  ArchiveViewer plain;
  EXPECT_FALSE(plain.Load(at("plain.gz")));
  EXPECT_FALSE(plain.Problem().isEmpty());
  std::filesystem::resize_file(dir.Path() / "pack.zip", 20);
  PreviewPane pane;
  pane.Show(ViewerKind::kArchive, at("pack.zip"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone);
  auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
  ASSERT_NE(notice, nullptr);
  EXPECT_FALSE(notice->Reason().isEmpty()) << "the archive's end record is cut off";
}

TEST(PreviewViewersTest, WebPagesShowTheirTextAndOnlyThePicturesTheyCarry) {
  test::TempDir dir;
  const auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir.Path() / name, std::ios::binary) << bytes;
    return QString::fromStdString((dir.Path() / name).string());
  };
  ASSERT_EQ(test::RunShell("convert -size 8x8 xc:red " + test::Quote(dir.Path() / "beside.png")).status, 0);
  // A page that names a picture on the network and one beside it on disk: neither may be fetched.
  HtmlViewer page;
  ASSERT_TRUE(page.Load(write("page.html", "<html><head><meta charset=\"utf-8\"></head><body><p><b>Caf\xC3\xA9</b> "
                                           "menu</p><img src=\"http://example.com/a.png\"><img src=\"beside.png\">"
                                           "<link rel=stylesheet href=\"file:///etc/passwd\"></body></html>")));
  page.resize(400, 300);
  page.grab();  // pictures are asked for when the page is laid out
  EXPECT_TRUE(page.Text().contains(QStringLiteral("Caf\u00e9 menu"))) << page.Text().toStdString();
  EXPECT_GE(page.RefusedResources(), 2);
  EXPECT_FALSE(page.HasImage(QStringLiteral("beside.png")));

  // A web archive built by Python's email package: the page quoted-printable, its picture in base64.
  const std::string mht = (dir.Path() / "saved.mht").string();
  const std::string script =
      "from email.mime.multipart import MIMEMultipart\n"
      "from email.mime.text import MIMEText\n"
      "from email.mime.image import MIMEImage\n"
      "import email.charset\n"
      "cs = email.charset.Charset('utf-8'); cs.body_encoding = email.charset.QP\n"
      "m = MIMEMultipart('related')\n"
      "h = MIMEText('', 'html', 'utf-8'); h.set_payload('<p>Na\u00efve <i>archive</i></p><img "
      "src=\"http://example.com/pic.png\">', charset=cs)\n"
      "m.attach(h)\n"
      "i = MIMEImage(open('" + (dir.Path() / "beside.png").string() + "','rb').read(), 'png')\n"
      "i['Content-Location'] = 'http://example.com/pic.png'\n"
      "m.attach(i)\n"
      "open('" + mht + "','w').write(m.as_string())\n";
  write("make.py", script);
  ASSERT_EQ(test::RunShell("python3 " + test::Quote(dir.Path() / "make.py")).status, 0);
  HtmlViewer archive;
  ASSERT_TRUE(archive.Load(QString::fromStdString(mht)));
  EXPECT_TRUE(archive.Text().contains(QStringLiteral("Na\u00efve archive"))) << archive.Text().toStdString();
  archive.resize(400, 300);
  archive.grab();
  EXPECT_EQ(archive.RefusedResources(), 0);
  EXPECT_TRUE(archive.HasImage(QStringLiteral("http://example.com/pic.png")));

  // Cut before the page's part: the message has no page left.
  std::string bytes;
  std::getline(std::ifstream(mht, std::ios::binary), bytes, '\0');
  std::filesystem::resize_file(mht, bytes.find("text/html") - 20);
  HtmlViewer cut;
  EXPECT_FALSE(cut.Load(QString::fromStdString(mht))) << "the page part is cut off";
  HtmlViewer empty;
  EXPECT_FALSE(empty.Load(write("empty.htm", "")));
}

TEST(PreviewViewersTest, TextIsDecodedByItsMarkOrAsUtf8OrLatin1) {
  EXPECT_EQ(DecodeText(QByteArray("\xFF\xFE" "C\0a\0f\0\xE9\0", 10)), QStringLiteral("Caf\u00e9"));
  EXPECT_EQ(DecodeText(QByteArray("\xFE\xFF" "\0C\0a", 6)), QStringLiteral("Ca"));
  EXPECT_EQ(DecodeText(QByteArray("\xEF\xBB\xBF" "Caf\xC3\xA9")), QStringLiteral("Caf\u00e9"));
  EXPECT_EQ(DecodeText(QByteArray("Caf\xE9")), QStringLiteral("Caf\u00e9")) << "not UTF-8: Latin-1";
}

}  // namespace
}  // namespace dravik::preview
