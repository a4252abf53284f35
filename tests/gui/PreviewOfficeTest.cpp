// The office-document viewer on documents that LibreOffice itself wrote (Word,
// Excel and PowerPoint in both generations, EMF from Draw): the page count is
// pdfinfo's on LibreOffice's own PDF of the file, the shown first page is
// compared with pdftoppm's rendering of that PDF. Damaged copies, documents
// LibreOffice cannot read, no LibreOffice at all, and the converter ended (with
// the office it started) by the viewer's end, its time limit or the next file.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStyle>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "TestFiles.h"
#include "preview/OfficeViewer.h"
#include "preview/PreviewPane.h"
#include "preview/PreviewWorkspace.h"

namespace dravik::preview {
namespace {

namespace fs = std::filesystem;

// The documents of make-office-fixtures.sh and LibreOffice's PDF of each.
const std::vector<std::string> kExtensions = {"docx", "doc", "xlsx", "xls", "pptx", "ppt", "emf"};
fs::path Document(const std::string& extension) { return test::FixtureIn("office", "document." + extension); }
fs::path Reference(const std::string& extension) { return test::FixtureIn("office", "pdf/" + extension + ".pdf"); }

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

// pdfinfo's "Pages:" and "Page size:" of a PDF.
struct PdfFacts {
  int pages = 0;
  double width = 0;
  double height = 0;
};

PdfFacts Pdfinfo(const fs::path& pdf) {
  PdfFacts facts;
  const std::string out = test::RunShell("pdfinfo " + test::Quote(pdf)).out;
  if (const auto at = out.find("Pages:"); at != std::string::npos)
    std::sscanf(out.c_str() + at, "Pages: %d", &facts.pages);
  if (const auto at = out.find("Page size:"); at != std::string::npos)
    std::sscanf(out.c_str() + at, "Page size: %lf x %lf", &facts.width, &facts.height);
  return facts;
}

// Poppler's rendering of one page at exactly this size.
QImage Pdftoppm(const fs::path& pdf, int page, QSize size, const fs::path& dir) {
  const fs::path out = dir / ("page" + std::to_string(page));
  test::RunShell("pdftoppm -png -singlefile -f " + std::to_string(page) + " -l " + std::to_string(page) +
                 " -scale-to-x " + std::to_string(size.width()) + " -scale-to-y " + std::to_string(size.height()) +
                 " " + test::Quote(pdf) + " " + test::Quote(out));
  return QImage(Q(out) + ".png");
}

// Mean difference of the grey levels (0..255) of two pictures of one size,
// both reduced eightfold first so that the renderers' smoothing of glyph edges
// averages out and what is on the page remains.
double MeanDifference(const QImage& a, const QImage& b) {
  const QSize coarse = (a.size() / 8).expandedTo({1, 1});
  const QImage x =
      a.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_Grayscale8);
  const QImage y =
      b.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_Grayscale8);
  if (x.size() != y.size() || x.isNull()) return 255;
  double sum = 0;
  for (int row = 0; row < x.height(); ++row)
    for (int col = 0; col < x.width(); ++col)
      sum += std::abs(int(x.constScanLine(row)[col]) - int(y.constScanLine(row)[col]));
  return sum / (double(x.width()) * x.height());
}

// Waits for the viewer's end; true when it converted, false when it failed.
bool WaitForEnd(OfficeViewer& viewer) {
  QSignalSpy converted(&viewer, &OfficeViewer::Converted);
  QSignalSpy failed(&viewer, &Viewer::Failed);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !converted.isEmpty() || !failed.isEmpty(); }, 2 * OfficeViewer::kTimeoutMs));
  EXPECT_FALSE(viewer.Converting());
  return !converted.isEmpty();
}

// As wide as the pane, less a scroll bar when the page is taller than the pane.
void ExpectFits(QSize image, QSize bound, const PdfFacts& page, const std::string& what) {
  const int bar = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const bool tall = bound.width() * page.height / page.width > bound.height();
  EXPECT_NEAR(image.width(), bound.width() - (tall ? bar : 0), 1) << what << " fills the width";
  EXPECT_NEAR(double(image.width()) / image.height(), page.width / page.height, 0.02) << what << " keeps the aspect";
}

TEST(PreviewOfficeTest, EveryTypeConvertsAndShowsItsFirstPageAndDamagedCopiesDoNot) {
  test::TempDir dir;
  const auto workspace = std::make_shared<PreviewWorkspace>();
  for (const std::string& extension : kExtensions) {
    const PdfFacts facts = Pdfinfo(Reference(extension));
    ASSERT_GT(facts.pages, 0) << "LibreOffice made no " << extension;
    OfficeViewer viewer(workspace);
    viewer.resize(400, 300);
    viewer.show();
    ASSERT_TRUE(viewer.Load(Q(Document(extension)))) << extension;
    EXPECT_TRUE(viewer.Converting()) << "Load returns while the converter runs";
    ASSERT_TRUE(WaitForEnd(viewer)) << extension << ": " << viewer.Problem().toStdString();
    EXPECT_EQ(viewer.PageCount(), facts.pages) << extension;
    const QImage page = viewer.PageImage();
    ExpectFits(page.size(), {400, 300}, facts, extension);
    const double first = MeanDifference(page, Pdftoppm(Reference(extension), 1, page.size(), dir.Path()));
    EXPECT_LT(first, 2) << extension << ": the first page as poppler renders it";
    if (facts.pages > 1)
      EXPECT_LT(first * 2, MeanDifference(page, Pdftoppm(Reference(extension), 2, page.size(), dir.Path())))
          << extension << ": not the second page";
    viewer.resize(300, 500);
    QTest::qWait(0);
    ExpectFits(viewer.PageImage().size(), {300, 500}, facts, extension + " after a resize");

    // Cut in half, short of its last 512 bytes (the headers and tables whole, a sector they list
    // gone), and random bytes under the same name: refused before any converter starts.
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(Document(extension));
    std::vector<std::uint8_t> noise(4096);
    std::mt19937 random(7);
    for (auto& byte : noise) byte = std::uint8_t(random());
    for (const auto& damaged : {std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2),
                                std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 512), noise}) {
      test::WriteFileBytes(dir / ("damaged." + extension), damaged);
      OfficeViewer refused(workspace);
      EXPECT_FALSE(refused.Load(Q(dir / ("damaged." + extension)))) << extension << " of " << damaged.size();
      EXPECT_FALSE(refused.Converting());
    }
  }
}

TEST(PreviewOfficeTest, DocumentsLibreOfficeCannotReadEndInTheNoPreviewNotice) {
  test::TempDir dir;
  // Whole zips that are no Word document: one without its body, one of a text file.
  fs::copy_file(Document("docx"), dir / "gutted.docx");
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) +
                           " && zip -qd gutted.docx word/document.xml && "
                           "printf 'plain words' > words.txt && zip -q words.docx words.txt")
                .status,
            0);
  const auto workspace = std::make_shared<PreviewWorkspace>();
  for (const char* name : {"gutted.docx", "words.docx"}) {
    OfficeViewer viewer(workspace);
    ASSERT_TRUE(viewer.Load(Q(dir / name))) << name;
    EXPECT_FALSE(WaitForEnd(viewer)) << name;
    EXPECT_EQ(viewer.PageCount(), 0) << name;
  }
  PreviewPane pane;
  pane.Show(ViewerKind::kOffice, Q(dir / "gutted.docx"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kOffice) << "converting";
  ASSERT_TRUE(QTest::qWaitFor([&] { return pane.Shown() == ViewerKind::kNone; }, 2 * OfficeViewer::kTimeoutMs));
  auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->Notice(), QString(kNoPreview));
}

TEST(PreviewOfficeTest, WithoutLibreOfficeTheNoticeSaysWhatToInstall) {
  const auto workspace = std::make_shared<PreviewWorkspace>();
  OfficeViewer absent(workspace, QString());
  ASSERT_TRUE(absent.Load(Q(Document("pptx"))));
  EXPECT_FALSE(absent.Converting());
  EXPECT_TRUE(absent.Notice().contains(QStringLiteral("LibreOffice")));
  // A converter that is named but cannot be run fails rather than staying busy.
  test::TempDir dir;
  OfficeViewer missing(workspace, Q(dir / "no-such-soffice"));
  QSignalSpy failed(&missing, &Viewer::Failed);
  if (missing.Load(Q(Document("pptx")))) EXPECT_TRUE(QTest::qWaitFor([&] { return !failed.isEmpty(); }, 10000));
  EXPECT_FALSE(missing.Converting());
}

// Every entry under root by its relative path: "folder", or a file's size, time and contents.
std::map<std::string, std::string> Listing(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string& what = entries[fs::relative(entry.path(), root).string()];
    if (!entry.is_regular_file()) {
      what = entry.is_directory() ? "folder" : "other";
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    what = std::to_string(entry.file_size()) + " " +
           std::to_string(entry.last_write_time().time_since_epoch().count()) + " " + contents.str();
  }
  return entries;
}

// The temporary folder and the program's name as the real program has them,
// both with blanks, for one test; the previous ones come back after it.
class BlankTemporaryFolder {
 public:
  explicit BlankTemporaryFolder(const fs::path& folder)
      : tmpdir_(qgetenv("TMPDIR")), had_tmpdir_(qEnvironmentVariableIsSet("TMPDIR")), name_(QApplication::applicationName()) {
    qputenv("TMPDIR", QFile::encodeName(Q(folder)));
    QApplication::setApplicationName(QStringLiteral("Dravik for VHD"));
  }
  ~BlankTemporaryFolder() {
    if (had_tmpdir_)
      qputenv("TMPDIR", tmpdir_);
    else
      qunsetenv("TMPDIR");
    QApplication::setApplicationName(name_);
  }

 private:
  QByteArray tmpdir_;
  bool had_tmpdir_;
  QString name_;
};

TEST(PreviewOfficeTest, TwoDocumentsInARowTouchNothingOutsideTheRunsFolder) {
  test::TempDir dir;
  // Other programs' files in the temporary folder and beside it. Given a
  // profile URL with raw blanks, LibreOffice cut it at the first blank and, on
  // its second start, moved every entry of the folder where the cut ended
  // into a "SafeMode" folder: the temporary folder, or the one holding it.
  const fs::path temp = dir / "temporary files";
  fs::create_directories(temp / "another program");
  std::ofstream(dir / "sentinel.txt") << "left beside the temporary folder";
  std::ofstream(temp / "sentinel.txt") << "left here by another program";
  std::ofstream(temp / "another program" / "work.dat") << "still being written";
  const std::map<std::string, std::string> before = Listing(dir.Path());
  {
    BlankTemporaryFolder blanks(temp);
    PreviewPane pane;
    QString runFolder;
    for (const std::string& extension : {"docx", "xlsx"}) {
      pane.Show(ViewerKind::kOffice, Q(Document(extension)));
      auto* viewer = dynamic_cast<OfficeViewer*>(pane.Current());
      ASSERT_NE(viewer, nullptr) << extension;
      // The converter as it runs: its profile an encoded URL, its home and temporary folders in the run's folder.
      const auto proc = [pid = viewer->ConverterId()](const char* file) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
      };
      std::string arguments;
      EXPECT_TRUE(QTest::qWaitFor([&] { return (arguments = proc("cmdline")).find("--convert-to") != std::string::npos; }, 10000));
      const std::string environment = std::string(1, '\0') + proc("environ");
      if (runFolder.isEmpty())
        for (const auto& entry : fs::directory_iterator(temp))
          if (entry.path().filename().string().rfind("Dravik for VHD-", 0) == 0) runFolder = Q(entry.path());
      ASSERT_FALSE(runFolder.isEmpty()) << "the run's folder lies in TMPDIR, named after the program";
      const std::size_t at = arguments.find("UserInstallation=file://");
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(arguments.substr(at, arguments.find('\0', at) - at).find(' '), std::string::npos) << "a raw blank";
      for (const char* name : {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        EXPECT_NE(environment.find(std::string(1, '\0') + name + "=" + runFolder.toStdString() + "/"), std::string::npos) << name;
      ASSERT_TRUE(WaitForEnd(*viewer)) << extension << ": " << viewer->Problem().toStdString();
      EXPECT_EQ(pane.Shown(), ViewerKind::kOffice) << extension;
    }
    // Meanwhile the run's folder is the only thing that is new.
    const fs::path run = fs::path("temporary files") / QFileInfo(runFolder).fileName().toStdString();
    std::map<std::string, std::string> during = Listing(dir.Path());
    EXPECT_EQ(during[run.string()], "folder");
    std::erase_if(during, [&](const auto& entry) {
      const fs::path path(entry.first);
      return std::distance(path.begin(), path.end()) >= 2 && *path.begin() == *run.begin() &&
             *std::next(path.begin()) == run.filename();
    });
    EXPECT_EQ(during, before);
  }
  // The pane and its viewers are gone, and with them the run's folder.
  EXPECT_EQ(Listing(dir.Path()), before);
}

// The processes of a group that still run (zombies aside), by name.
std::vector<std::string> RunningInGroup(pid_t group) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    int pgrp = 0;
    if (std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d %d", &state, &parent, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z')
      names.push_back(line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1));
  }
  return names;
}

TEST(PreviewOfficeTest, TheConverterAndTheOfficeItStartedEndWithTheViewerTheirTimeOrTheNextFile) {
  const auto workspace = std::make_shared<PreviewWorkspace>();
  auto viewer = std::make_unique<OfficeViewer>(workspace);
  ASSERT_TRUE(viewer->Load(Q(Document("docx"))));
  const auto launcher = pid_t(viewer->ConverterId());
  ASSERT_GT(launcher, 0);
  // The launcher starts the office as a child of its own: wait until it runs, then end the viewer.
  const bool office = QTest::qWaitFor(
      [&] {
        const std::vector<std::string> names = RunningInGroup(launcher);
        return std::find(names.begin(), names.end(), "soffice.bin") != names.end() || !viewer->Converting();
      },
      30000);
  EXPECT_TRUE(office && viewer->Converting()) << "the office ran in the converter's group";
  viewer.reset();
  EXPECT_TRUE(QTest::qWaitFor([&] { return RunningInGroup(launcher).empty(); }, 10000));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(launcher))) << "the launcher was waited for: no zombie";

  // A converter that outlives its time is ended the same way, and the viewer fails.
  OfficeViewer slow(workspace);
  slow.SetTimeout(1);
  ASSERT_TRUE(slow.Load(Q(Document("docx"))));
  const auto slowLauncher = pid_t(slow.ConverterId());
  EXPECT_FALSE(WaitForEnd(slow));
  EXPECT_EQ(slow.Problem(), QStringLiteral("The document took too long to convert."));
  EXPECT_TRUE(QTest::qWaitFor([&] { return RunningInGroup(slowLauncher).empty(); }, 10000));

  // Another file clicked while the first converts: the first converter ends, the second file shows.
  PreviewPane pane;
  pane.Show(ViewerKind::kOffice, Q(Document("docx")));
  auto* first = dynamic_cast<OfficeViewer*>(pane.Current());
  ASSERT_NE(first, nullptr);
  const auto firstLauncher = pid_t(first->ConverterId());
  QTest::qWaitFor([&] { return RunningInGroup(firstLauncher).size() > 1 || !first->Converting(); }, 30000);
  pane.Show(ViewerKind::kOffice, Q(Document("pptx")));
  auto* second = dynamic_cast<OfficeViewer*>(pane.Current());
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return RunningInGroup(firstLauncher).empty(); }, 10000));
  EXPECT_TRUE(WaitForEnd(*second)) << second->Problem().toStdString();
  EXPECT_EQ(second->PageCount(), Pdfinfo(Reference("pptx")).pages);
}

}  // namespace
}  // namespace dravik::preview
