// The preview: which viewer a name and size choose, the viewers on files
// made by real tools (ImageMagick) and on damaged copies, text decoding, and
// the dispatch from the results list through the engine's writers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTreeView>

#include "FatFixtures.h"
#include "TestFiles.h"
#include "app/MainWindow.h"
#include "app/results/FileListModel.h"
#include "app/results/FolderTreeModel.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"
#include "app/wizard/ModeButton.h"
#include "preview/ArchiveViewer.h"
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

TEST(PreviewViewersTest, ArchivesFromZipAndGzipListTheirEntriesAndDamagedOnesDoNot) {
  test::TempDir dir;
  const std::string d = test::Quote(dir.Path());
  ASSERT_EQ(test::RunShell("cd " + d + " && mkdir -p in/sub && head -c 5000 /dev/urandom > in/a.bin && "
                           "printf hello > in/sub/b.txt && zip -qr pack.zip in && gzip -k in/a.bin").status, 0);
  ArchiveViewer zip;
  ASSERT_TRUE(zip.Load(QString::fromStdString((dir.Path() / "pack.zip").string())));
  EXPECT_TRUE(zip.Names().contains(QStringLiteral("in/a.bin"))) << zip.Names().join(',').toStdString();
  EXPECT_TRUE(zip.Names().contains(QStringLiteral("in/sub/b.txt")));
  EXPECT_EQ(zip.SizeOf(QStringLiteral("in/a.bin")), QStringLiteral("5000"));
  ArchiveViewer gz;
  EXPECT_TRUE(gz.Load(QString::fromStdString((dir.Path() / "in/a.bin.gz").string())));
  EXPECT_EQ(gz.Names().size(), 1);

  ArchiveViewer plain;
  EXPECT_FALSE(plain.Load(QString::fromStdString((dir.Path() / "in/a.bin").string()))) << "not an archive";
  std::filesystem::resize_file(dir.Path() / "pack.zip", 20);
  ArchiveViewer cut;
  EXPECT_FALSE(cut.Load(QString::fromStdString((dir.Path() / "pack.zip").string())));
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
  window.show();
  wizard->start->path->setText(QString::fromStdString(test::FatFixture("fat32.vhdx").string()));
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, 60000));
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->CurrentPage() == Wizard::kResults; }, 60000));

  ResultsPage* results = wizard->results;
  const ResultTree& tree = *wizard->session().tree;
  results->folders->setCurrentIndex(results->treeModel->IndexOf(*tree.FindFolder(u"Docs")));
  int report = -1;
  for (int r = 0; r < results->listModel->rowCount(); ++r)
    if (results->listModel->Row(r)->name == u"Report.txt") report = r;
  ASSERT_GE(report, 0);
  results->details->setCurrentIndex(results->listModel->index(report, 0));
  EXPECT_EQ(wizard->PreviewExtractions(), 1);
  EXPECT_EQ(results->preview->Shown(), preview::ViewerKind::kText);
  std::string sum;
  for (const test::ManifestFile& file : test::ReadManifest("fat32"))
    if (file.path == "Docs/Report.txt") sum = file.sha256;
  const std::filesystem::path written = QFile::encodeName(wizard->LastPreviewPath()).toStdString();
  EXPECT_EQ(written.filename().string().rfind("tmp", 0), 0u);
  EXPECT_EQ(test::HashTree(written.parent_path()).at(written.filename().string()), sum);

  // Away and back to the same file: not written again.
  results->details->setCurrentIndex(results->listModel->index(0, 0));
  results->details->setCurrentIndex(results->listModel->index(report, 0));
  EXPECT_EQ(wizard->PreviewExtractions(), 1);
  // Back frees the results and clears the pane.
  QTest::mouseClick(results->back, Qt::LeftButton);
  EXPECT_EQ(results->preview->Current(), nullptr);
}

}  // namespace
}  // namespace dravik::app
