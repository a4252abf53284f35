// The preview: which viewer a name and size choose, the viewers on files
// made by real tools (ImageMagick) and on damaged copies, text decoding, and
// the dispatch from the results list through the engine's writers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTreeView>
#include <fstream>

#include "FatFixtures.h"
#include "TestFiles.h"
#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/PreviewController.h"
#include "app/wizard/Wizard.h"
#include "app/wizard/ModeButton.h"
#include "preview/ArchiveViewer.h"
#include "preview/HtmlViewer.h"
#include "preview/PdfViewer.h"
#include "preview/PreviewPane.h"
#include "preview/Viewers.h"

#include <QLineEdit>
#include <QPushButton>

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

TEST(PreviewViewersTest, PicturesFromImageMagickAndTheirDamagedCopies) {
  test::TempDir dir;
  for (const char* format : {"png", "jpg", "bmp", "tif"}) {
    const auto file = dir.Path() / (std::string("picture.") + format);
    ASSERT_EQ(test::RunShell("convert -size 37x23 plasma:fractal " + test::Quote(file)).status, 0) << format;
    ImageViewer viewer;
    ASSERT_TRUE(viewer.Load(QString::fromStdString(file.string()))) << format;
    EXPECT_EQ(viewer.PictureSize(), QSize(37, 23)) << format;
    // The first 40 bytes only: the header is there, the picture is not.
    std::filesystem::resize_file(file, 40);
    ImageViewer damaged;
    EXPECT_FALSE(damaged.Load(QString::fromStdString(file.string()))) << format;
  }
  PreviewPane pane;
  pane.Show(ViewerKind::kImage, QString::fromStdString((dir.Path() / "picture.png").string()));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone) << "a picture that does not load shows the no-preview notice";
  ASSERT_NE(dynamic_cast<NoticeViewer*>(pane.Current()), nullptr);
  EXPECT_EQ(dynamic_cast<NoticeViewer*>(pane.Current())->Notice(), QString(kNoPreview));
  pane.Show(ViewerKind::kLargeFile);
  EXPECT_EQ(dynamic_cast<NoticeViewer*>(pane.Current())->Notice(), QString(kTooLarge));
}

TEST(PreviewViewersTest, ArchivesListTheirEntriesAsZipAndGzipSeeThemAndDamagedOnesSayWhy) {
  test::TempDir dir;
  const std::string d = test::Quote(dir.Path());
  ASSERT_EQ(test::RunShell("cd " + d + " && mkdir -p in/sub && head -c 5000 /dev/urandom > in/a.bin && "
                           "yes hello | head -c 20000 > in/sub/b.txt && zip -qr pack.zip in && gzip -k in/a.bin && "
                           "cp in/a.bin plain.gz").status, 0);
  // Python's zipfile, not minizip, tells the sizes and dates the listing must show.
  const test::CommandResult oracle = test::RunShell(
      "cd " + d + " && python3 -c \"import zipfile\nfor i in zipfile.ZipFile('pack.zip').infolist():\n"
      " print(i.filename, i.file_size, i.compress_size, '%02d-%02d-%04d %02d:%02d' % (i.date_time[2], i.date_time[1], "
      "i.date_time[0], i.date_time[3], i.date_time[4]))\"");
  ASSERT_EQ(oracle.status, 0);
  ArchiveViewer zip;
  ASSERT_TRUE(zip.Load(QString::fromStdString((dir.Path() / "pack.zip").string())));
  int listed = 0;
  for (const QString& line : QString::fromStdString(oracle.out).split('\n', Qt::SkipEmptyParts)) {
    const QStringList fields = line.split(' ');
    ASSERT_EQ(fields.size(), 5) << line.toStdString();
    EXPECT_TRUE(zip.Names().contains(fields[0])) << fields[0].toStdString();
    EXPECT_EQ(zip.Cell(fields[0], ArchiveViewer::kSize), fields[1]) << fields[0].toStdString();
    EXPECT_EQ(zip.Cell(fields[0], ArchiveViewer::kPacked), fields[2]) << fields[0].toStdString();
    EXPECT_EQ(zip.Cell(fields[0], ArchiveViewer::kDate), fields[3] + ' ' + fields[4]) << fields[0].toStdString();
    ++listed;
  }
  EXPECT_EQ(listed, zip.Names().size());
  EXPECT_LT(zip.Cell(QStringLiteral("in/sub/b.txt"), ArchiveViewer::kPacked).toInt(), 20000) << "text packs well";

  // 60 MB of zeros packed into some sixty kilobytes: listed from its headers, never unpacked.
  ASSERT_EQ(test::RunShell("cd " + d + " && head -c 60000000 /dev/zero | zip -q bomb.zip -").status, 0);
  ArchiveViewer bomb;
  ASSERT_TRUE(bomb.Load(QString::fromStdString((dir.Path() / "bomb.zip").string())));
  EXPECT_EQ(bomb.Cell(QStringLiteral("-"), ArchiveViewer::kSize), QStringLiteral("60000000"));

  ArchiveViewer gz;
  EXPECT_TRUE(gz.Load(QString::fromStdString((dir.Path() / "in/a.bin.gz").string())));
  EXPECT_EQ(gz.Names().size(), 1);

  ArchiveViewer plain;
  EXPECT_FALSE(plain.Load(QString::fromStdString((dir.Path() / "plain.gz").string()))) << "not gzip";
  EXPECT_EQ(plain.Problem(), QStringLiteral("Could not read data from gzip archive !"));
  std::filesystem::resize_file(dir.Path() / "pack.zip", 20);
  PreviewPane pane;
  pane.Show(ViewerKind::kArchive, QString::fromStdString((dir.Path() / "pack.zip").string()));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone);
  auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->Notice(), QString(kNoPreview));
  EXPECT_EQ(notice->Reason(), QStringLiteral("Archive not opened")) << "the archive's end record is cut off";
}

TEST(PreviewViewersTest, PdfPagesAndAnimatedGifFramesAsTheirMakersCountThem) {
  test::TempDir dir;
  const std::string d = test::Quote(dir.Path());
  // ImageMagick's policy forbids writing PDF; libtiff's converter makes one page per picture of a TIFF.
  ASSERT_EQ(test::RunShell("cd " + d + " && convert -size 60x40 xc:red xc:blue xc:green -depth 8 -compress lzw three.tif && "
                           "tiff2pdf -o three.pdf three.tif && "
                           "convert -delay 10 -size 30x20 xc:red xc:blue xc:green xc:white four.gif").status, 0);
  const test::CommandResult pages = test::RunShell("qpdf --show-npages " + test::Quote(dir.Path() / "three.pdf"));
  ASSERT_EQ(pages.status, 0);
  PdfViewer pdf;
  ASSERT_TRUE(pdf.Load(QString::fromStdString((dir.Path() / "three.pdf").string())));
  EXPECT_EQ(pdf.PageCount(), std::stoi(pages.out));
  const test::CommandResult frames = test::RunShell("identify " + test::Quote(dir.Path() / "four.gif") + " | wc -l");
  AnimationViewer gif;
  ASSERT_TRUE(gif.Load(QString::fromStdString((dir.Path() / "four.gif").string())));
  EXPECT_EQ(gif.FrameCount(), std::stoi(frames.out));
  EXPECT_EQ(gif.PictureSize(), QSize(30, 20));

  std::filesystem::resize_file(dir.Path() / "three.pdf", 300);
  std::filesystem::resize_file(dir.Path() / "four.gif", 20);
  PdfViewer cutPdf;
  EXPECT_FALSE(cutPdf.Load(QString::fromStdString((dir.Path() / "three.pdf").string())));
  EXPECT_EQ(cutPdf.Problem(), QStringLiteral("Unable to open."));
  AnimationViewer cutGif;
  EXPECT_FALSE(cutGif.Load(QString::fromStdString((dir.Path() / "four.gif").string())));
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

namespace dravik::app {
namespace {

TEST(PreviewDispatchTest, AFileRowIsWrittenOnceAndShownWithItsBytes) {
  MainWindow window;
  Wizard* wizard = window.wizard();
  wizard->messenger().SetFunction([](const QString&, MessageKind, bool yesNo) { return yesNo ? kNo : kYes; });
  wizard->askPartitionChoice = [](std::size_t) { return PartitionChoice::kUseExisting; };
  window.show();
  wizard->start->path->setText(QString::fromStdString(test::FatFixture("fat32.vhdx").string()));
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, 60000));
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kResults; }, 60000));

  ResultsPage* results = wizard->results;
  const ResultTree& tree = *wizard->session().Tree();
  results->folders->setCurrentIndex(results->treeModel->IndexOf(*tree.FindFolder(u"Docs")));
  int report = -1;
  for (int r = 0; r < results->listModel->rowCount(); ++r)
    if (results->listModel->Row(r)->name == u"Report.txt") report = r;
  ASSERT_GE(report, 0);
  results->details->setCurrentIndex(results->listModel->index(report, 0));
  EXPECT_EQ(wizard->preview().Extractions(), 1);
  EXPECT_EQ(results->preview->Shown(), preview::ViewerKind::kText);
  std::string sum;
  for (const test::ManifestFile& file : test::ReadManifest("fat32"))
    if (file.path == "Docs/Report.txt") sum = file.sha256;
  const std::filesystem::path written = QFile::encodeName(wizard->preview().LastPath()).toStdString();
  EXPECT_EQ(written.filename().string().rfind("tmp", 0), 0u);
  EXPECT_EQ(test::HashTree(written.parent_path()).at(written.filename().string()), sum);

  // Away and back to the same file: not written again.
  results->details->setCurrentIndex(results->listModel->index(0, 0));
  results->details->setCurrentIndex(results->listModel->index(report, 0));
  EXPECT_EQ(wizard->preview().Extractions(), 1);
  // Back frees the results and clears the pane.
  QTest::mouseClick(results->back, Qt::LeftButton);
  EXPECT_EQ(results->preview->Current(), nullptr);
}

}  // namespace
}  // namespace dravik::app
