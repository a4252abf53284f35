// The previews that run apart from the program: media (sox, ffmpeg; with the machine's audio output
// and without), Access databases against mdbtools and ones that break libmdb, office documents
// against LibreOffice's own PDF, and the converter kept in its run's folder and ended in time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "TestFiles.h"
#include "preview/MdbChildRead.h"
#include "preview/MdbRecordModel.h"
#include "preview/MdbViewer.h"
#include "preview/MediaViewer.h"
#include "preview/OfficeViewer.h"
#include "preview/PreviewPane.h"
#include "preview/PreviewWorkspace.h"

namespace dravik::preview {
namespace {

namespace fs = std::filesystem;
QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }
QString Notice(const PreviewPane& pane) {
  auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
  return notice ? notice->Notice() : QStringLiteral("(a viewer)");
}

constexpr int kWaitMs = 30000;

using Sound = MediaViewer::Sound;
// With the machine's own audio output, whatever it has, and with none at all.
constexpr Sound kBothWays[] = {Sound::kDetect, Sound::kNone};
const char* Named(Sound sound) { return sound == Sound::kNone ? " without sound" : " with the machine's sound"; }

// The viewer says when it cannot play sound, and offers to play only what it can.
void ExpectSoundNotice(const MediaViewer& viewer, bool playable, const std::string& what) {
  auto* play = viewer.findChild<QPushButton*>();
  ASSERT_NE(play, nullptr);
  EXPECT_EQ(viewer.SoundNotice().isEmpty(), viewer.PlaysSound()) << what;
  EXPECT_EQ(play->isEnabled(), viewer.PlaysSound() || playable) << what;
}

std::string Out(const std::string& command) {  // the output of a command that must succeed
  const test::CommandResult result = test::RunShell(command);
  EXPECT_EQ(result.status, 0) << command;
  return result.out;
}

QStringList Lines(const std::string& text) {  // sorted
  QStringList lines = QString::fromStdString(text).split(u'\n', Qt::SkipEmptyParts);
  return lines.sort(), lines;
}

void WriteRandom(const fs::path& path, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  test::WriteFileBytes(path, bytes);
}

// Opens the file and waits for the viewer to say it loaded or failed.
bool LoadAndWait(MediaViewer& viewer, const fs::path& file) {
  QSignalSpy failed(&viewer, &Viewer::Failed);
  if (!viewer.Load(Q(file))) return false;
  EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.IsLoaded() || failed.count() > 0; }, kWaitMs)) << file;
  return viewer.IsLoaded() && failed.isEmpty();
}

// Each opens paused with the duration and frame size it was made with; a sound shows no video area; a
// video plays on its button (silently without audio output). In the pane, as a person clicks down a
// folder, a video after a sound opens every time.
TEST(PreviewMediaTest, SoundAndVideoOpenPausedWithTheirDurationAndFrameSize) {
  test::TempDir dir;
  const bool registryChosen = qEnvironmentVariableIsSet("GST_REGISTRY") || qEnvironmentVariableIsSet("GST_REGISTRY_1_0");
  const std::string video = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=";
  const struct { const char* name; std::string make; int ms; QSize frame; } kRows[] = {
      {"tone.wav", "sox -n -r 44100 -c 2 tone.wav synth 1.5 sine 440", 1500, {}},
      {"tone.au", "sox -n -r 8000 tone.au synth 1.5 sine 440", 1500, {}},
      {"clip.avi", video + "64x48:rate=10 -t 2 -c:v mpeg4 clip.avi", 2000, {64, 48}},
      {"clip.mp4", video + "80x64:rate=25 -t 2 -pix_fmt yuv420p clip.mp4", 2000, {80, 64}},  // H.264
      {"clip2.avi", video + "96x32:rate=10 -t 2 -c:v mjpeg clip2.avi", 2000, {96, 32}},  // no size in its metadata
      {"sound.avi", video + "64x48:rate=10 -f lavfi -i sine=frequency=440 -t 2 -c:v mpeg4 sound.avi", 2000, {64, 48}},
  };
  const auto workspace = std::make_shared<PreviewWorkspace>();
  for (const auto& row : kRows) {
    ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && " + row.make).status, 0) << row.name;
    for (const Sound sound : kBothWays) {
      const std::string what = row.name + std::string(Named(sound));
      SCOPED_TRACE(what);
      MediaViewer viewer(workspace, sound);
      viewer.show();
      if (sound == Sound::kNone) EXPECT_FALSE(viewer.PlaysSound());
      ASSERT_TRUE(LoadAndWait(viewer, dir / row.name)) << viewer.Problem().toStdString();
      EXPECT_NEAR(viewer.DurationMs(), row.ms, 100);
      EXPECT_FALSE(viewer.IsPlaying()) << "a preview never starts by itself";
      const bool isVideo = !row.frame.isEmpty();
      EXPECT_EQ(viewer.HasVideo(), isVideo);
      EXPECT_EQ(viewer.ShowsVideoArea(), isVideo);
      ExpectSoundNotice(viewer, isVideo, what);
      auto* bar = viewer.findChild<QSlider*>();
      ASSERT_NE(bar, nullptr);
      EXPECT_EQ(bar->maximum(), viewer.DurationMs());
      if (!isVideo) {
        EXPECT_TRUE(viewer.SoundDurationText().endsWith(MediaTime(viewer.DurationMs())));
        continue;
      }
      EXPECT_TRUE(QTest::qWaitFor([&] { return !viewer.FrameSize().isEmpty(); }, kWaitMs));
      EXPECT_EQ(viewer.FrameSize(), row.frame);
      auto* play = viewer.findChild<QPushButton*>();
      QTest::mouseClick(play, Qt::LeftButton);
      EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.IsPlaying(); }, kWaitMs));
      QTest::mouseClick(play, Qt::LeftButton);
      EXPECT_TRUE(QTest::qWaitFor([&] { return !viewer.IsPlaying(); }, kWaitMs));
    }
  }
  PreviewPane pane;
  pane.resize(400, 300);
  pane.show();
  for (const char* name : {"tone.wav", "clip.mp4", "tone.wav", "clip.mp4"}) {
    SCOPED_TRACE(std::string("in the pane: ") + name);
    pane.Show(ViewerKind::kMedia, Q(dir / name));
    auto* media = qobject_cast<MediaViewer*>(pane.Current());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(media = qobject_cast<MediaViewer*>(pane.Current())) || media->IsLoaded(); }, kWaitMs));
    ASSERT_NE(media, nullptr) << "the pane shows the notice: " << (pane.Current() ? pane.Current()->Problem().toStdString() : "");
    EXPECT_NEAR(media->DurationMs(), name[0] == 't' ? 1500 : 2000, 100);
  }
  // The framework's plugin registry lies in the workspace, not under HOME, unless one was chosen.
  if (!registryChosen) {
    const QString registry = workspace->Path() + QStringLiteral("/gstreamer.registry");
    EXPECT_EQ(qEnvironmentVariable("GST_REGISTRY"), registry);
    EXPECT_TRUE(QFileInfo(registry).size() > 0) << "the framework wrote its registry there";
  }
}

TEST(PreviewMediaTest, DamagedAndForeignFilesFailAndThePaneShowsTheNotice) {
  test::TempDir dir;
  const std::string d = test::Quote(dir.Path());
  ASSERT_EQ(test::RunShell("cd " + d + " && sox -n -r 8000 tone.wav synth 1.5 sine 440 && "
                           "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 2 -c:v mpeg4 clip.avi && "
                           "cp clip.avi clip.mp4 && printf 'plain words, no sound' > words.mp3 && : > empty.wav").status, 0);
  for (const char* name : {"tone.wav", "clip.avi", "clip.mp4"}) fs::resize_file(dir / name, 100);
  WriteRandom(dir / "noise.mp4", 30000, 7);
  WriteRandom(dir / "noise.wav", 30000, 8);
  const auto workspace = std::make_shared<PreviewWorkspace>();
  for (const char* name : {"tone.wav", "clip.avi", "clip.mp4", "noise.mp4", "noise.wav", "words.mp3", "empty.wav", "missing.avi"}) {
    for (const Sound sound : kBothWays) {
      MediaViewer viewer(workspace, sound);
      EXPECT_FALSE(LoadAndWait(viewer, dir / name)) << name << Named(sound);
      EXPECT_FALSE(viewer.IsLoaded()) << name << Named(sound);
    }
  }
  PreviewPane pane;
  pane.Show(ViewerKind::kMedia, Q(dir / "noise.mp4"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return pane.Shown() == ViewerKind::kNone; }, kWaitMs));
  EXPECT_EQ(Notice(pane), QString(kNoPreview));
}

fs::path Fruit() { return fs::path(DRAVIK_TEST_DATA) / "mdb" / "fruit.mdb"; }

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& text) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == text) return parent->child(i);
  return nullptr;
}

QStringList Children(QTreeWidgetItem* parent) {
  QStringList names;
  for (int i = 0; i < parent->childCount(); ++i) names << parent->child(i)->text(0);
  names.sort();
  return names;
}

// mdb-json writes numbers bare and text quoted; both become the text a cell shows.
QString JsonText(const QJsonValue& value) {
  if (value.isNull() || value.isUndefined()) return {};
  if (value.isBool()) return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
  if (value.isDouble()) return QString::number(value.toDouble(), 'g', 15);
  return value.toString();
}

TEST(PreviewMdbTest, TheTreeAndEveryTableOfAnAccessDatabaseMatchMdbtools) {
  const std::string db = test::Quote(Fruit());
  MdbViewer viewer;
  viewer.resize(800, 600);
  viewer.show();
  ASSERT_TRUE(viewer.Load(Q(Fruit())));
  ASSERT_EQ(viewer.Tree()->topLevelItemCount(), 1);
  QTreeWidgetItem* root = viewer.Tree()->topLevelItem(0);
  ASSERT_EQ(root->childCount(), 3) << "Tables, Relations, QueryDefs";
  const QStringList tables = Lines(Out("mdb-tables -1 " + db));
  ASSERT_FALSE(tables.isEmpty());
  EXPECT_EQ(Children(root->child(0)), tables) << "the user tables, none of the MSys ones";
  // Access keeps a relation's name in the first field of MSysRelationships, one row per joined column.
  QStringList relations = Lines(Out("mdb-export -H -Q " + db + " MSysRelationships | cut -d, -f1"));
  relations.removeDuplicates();
  EXPECT_EQ(Children(root->child(1)), relations);
  EXPECT_EQ(Children(root->child(2)), Lines(Out("mdb-queries -1 " + db)));
  for (const QString& table : tables) {
    QTreeWidgetItem* item = Child(root->child(0), table);
    ASSERT_NE(item, nullptr);
    viewer.Tree()->scrollToItem(item);
    QTest::mouseClick(viewer.Tree()->viewport(), Qt::LeftButton, {}, viewer.Tree()->visualItemRect(item).center());
    const std::string name = test::Quote(fs::path(table.toStdString()));
    EXPECT_TRUE(viewer.Status().contains(QString::fromStdString(Out("mdb-count " + db + " " + name)).trimmed()));
    const MdbRecords& records = viewer.Records()->Records();
    const QStringList json = QString::fromStdString(Out("mdb-json " + db + " " + name)).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(records.rows.size(), json.size()) << table.toStdString();
    for (int r = 0; r < json.size(); ++r) {
      const QJsonObject row = QJsonDocument::fromJson(json[r].toUtf8()).object();
      for (int c = 0; c < records.columns.size(); ++c)
        EXPECT_EQ(records.rows[r][c], JsonText(row.value(records.columns[c])))
            << table.toStdString() << " row " << r << " " << records.columns[c].toStdString();
    }
    EXPECT_EQ(viewer.Records()->headerData(0, Qt::Horizontal).toString(), records.columns.value(0));
  }
}

// The most memory this process has held at once, in KiB (VmHWM).
long PeakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Damaged copies and other formats are refused; on the databases of
// mdb-faults libmdb crashes, allocates gigabytes or never returns: each ends in
// the notice within the child's time limit, and this process keeps its memory.
TEST(PreviewMdbTest, DamagedForeignAndLibmdbBreakingDatabasesEndInTheNotice) {
  test::TempDir dir;
  const std::vector<std::uint8_t> good = test::ReadFileBytes(Fruit());
  auto damaged = [&](const std::string& name, std::vector<std::uint8_t> bytes) {
    test::WriteFileBytes(dir / name, bytes);
    return dir / name;
  };
  std::vector<std::uint8_t> blank = good, resigned = good;
  std::fill(blank.begin() + 4096, blank.end(), 0);
  resigned[4] = 'X';  // another format's signature
  WriteRandom(dir / "noise.mdb", 16 * 4096, 3);
  // catalog-loop.mdb, found by fuzz/FuzzMdb.cpp: a mutated catalog on which libmdb allocates without end.
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && sqlite3 other.mdb 'create table t(a); insert into t values(1)'"
                           " && : > empty.mdb && gzip -dc " + test::Quote(Fruit().parent_path() / "catalog-loop.mdb.gz") +
                           " > catalog-loop.mdb").status, 0);
  for (const fs::path& file : {damaged("cut100.mdb", {good.begin(), good.begin() + 100}),
                               damaged("cut-in-page.mdb", {good.begin(), good.begin() + 3 * 4096 + 1000}),
                               damaged("header-only.mdb", {good.begin(), good.begin() + 4096}), damaged("blank-pages.mdb", blank),
                               damaged("other-format.mdb", resigned), dir / "noise.mdb", dir / "other.mdb", dir / "empty.mdb",
                               dir / "catalog-loop.mdb"})
    EXPECT_FALSE(MdbViewer().Load(Q(file))) << file.filename();
  const long peakBefore = PeakMemoryKiB();
  ASSERT_GT(peakBefore, 0);
  PreviewPane pane;
  pane.Show(ViewerKind::kMdb, Q(dir / "other.mdb"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone);
  for (const char* name : {"crash-1", "crash-2", "loop-1", "loop-2", "loop-3", "oom-1", "oom-2", "oom-3"}) {
    const fs::path file = test::SharedTestData("mdb-faults/" + std::string(name) + ".mdb");
    ASSERT_TRUE(fs::is_regular_file(file)) << "the databases that break libmdb are missing: " << file;
    const auto start = std::chrono::steady_clock::now();
    pane.Show(ViewerKind::kMdb, Q(file));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Notice(pane), QString(kNoPreview)) << name;
    // Not a measure of speed: the margin covers ending the child on a busy machine.
    EXPECT_LT(took, std::chrono::milliseconds(kMdbChildMs + 5000)) << name << " was not cut off";
  }
  EXPECT_LT(PeakMemoryKiB() - peakBefore, 128 * 1024) << "libmdb's allocations reached this process";
  pane.Show(ViewerKind::kMdb, Q(Fruit()));
  EXPECT_EQ(pane.Shown(), ViewerKind::kMdb) << "a sound database afterwards";
}

// The documents of make-office-fixtures.sh and LibreOffice's PDF of each.
const std::vector<std::string> kExtensions = {"docx", "doc", "xlsx", "xls", "pptx", "ppt", "emf"};
fs::path Document(const std::string& extension) { return test::FixtureIn("office", "document." + extension); }
fs::path Reference(const std::string& extension) { return test::FixtureIn("office", "pdf/" + extension + ".pdf"); }

// pdfinfo's "Pages:" and "Page size:" of a PDF.
struct PdfFacts { int pages = 0; double width = 0, height = 0; };
PdfFacts Pdfinfo(const fs::path& pdf) {
  PdfFacts facts;
  const std::string out = test::RunShell("pdfinfo " + test::Quote(pdf)).out;
  if (const auto at = out.find("Pages:"); at != std::string::npos) std::sscanf(out.c_str() + at, "Pages: %d", &facts.pages);
  if (const auto at = out.find("Page size:"); at != std::string::npos)
    std::sscanf(out.c_str() + at, "Page size: %lf x %lf", &facts.width, &facts.height);
  return facts;
}

// Poppler's rendering of one page at exactly this size.
QImage Pdftoppm(const fs::path& pdf, int page, QSize size, const fs::path& dir) {
  const std::string n = std::to_string(page);
  test::RunShell("pdftoppm -png -singlefile -f " + n + " -l " + n + " -scale-to-x " + std::to_string(size.width()) +
                 " -scale-to-y " + std::to_string(size.height()) + " " + test::Quote(pdf) + " " + test::Quote(dir / ("page" + n)));
  return QImage(Q(dir / ("page" + n + ".png")));
}

// Mean difference of the grey levels (0..255) of two pictures of one size, both
// reduced eightfold first so that the renderers' smoothing of glyph edges averages out.
double MeanDifference(const QImage& a, const QImage& b) {
  const QSize coarse = (a.size() / 8).expandedTo({1, 1});
  const auto reduce = [&](const QImage& i) {
    return i.scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_Grayscale8);
  };
  const QImage x = reduce(a), y = reduce(b);
  if (x.size() != y.size() || x.isNull()) return 255;
  double sum = 0;
  for (int row = 0; row < x.height(); ++row)
    for (int col = 0; col < x.width(); ++col) sum += std::abs(int(x.constScanLine(row)[col]) - int(y.constScanLine(row)[col]));
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
  WriteRandom(dir / "noise", 4096, 7);
  const std::vector<std::uint8_t> noise = test::ReadFileBytes(dir / "noise");
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
    // Cut in half, short of its last 512 bytes (a sector its tables list gone), and random bytes:
    // refused before any converter starts.
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(Document(extension));
    for (const auto& damaged : {std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2),
                                std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 512), noise}) {
      test::WriteFileBytes(dir / ("damaged." + extension), damaged);
      OfficeViewer refused(workspace);
      EXPECT_FALSE(refused.Load(Q(dir / ("damaged." + extension)))) << extension << " of " << damaged.size();
      EXPECT_FALSE(refused.Converting());
    }
  }
}

// Whole zips that are no Word document (one without its body, one of a text
// file) end in the no-preview notice; no LibreOffice at all says what to
// install; a converter named but not there fails rather than staying busy.
TEST(PreviewOfficeTest, DocumentsLibreOfficeCannotReadOrNoLibreOfficeEndInANotice) {
  test::TempDir dir;
  fs::copy_file(Document("docx"), dir / "gutted.docx");
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) + " && zip -qd gutted.docx word/document.xml && "
                           "printf 'plain words' > words.txt && zip -q words.docx words.txt").status, 0);
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
  EXPECT_EQ(Notice(pane), QString(kNoPreview));
  OfficeViewer absent(workspace, QString());
  ASSERT_TRUE(absent.Load(Q(Document("pptx"))));
  EXPECT_FALSE(absent.Converting());
  EXPECT_TRUE(absent.Notice().contains(QStringLiteral("LibreOffice")));
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
    what = std::to_string(entry.file_size()) + " " + std::to_string(entry.last_write_time().time_since_epoch().count()) + " " +
           std::string(std::istreambuf_iterator<char>(in), {});
  }
  return entries;
}

// The temporary folder and the program's name as the real program has them, both with blanks, for one test.
class BlankTemporaryFolder {
 public:
  explicit BlankTemporaryFolder(const fs::path& folder) {
    qputenv("TMPDIR", QFile::encodeName(Q(folder)));
    QApplication::setApplicationName(QStringLiteral("Dravik for VHD"));
  }
  ~BlankTemporaryFolder() {
    had_tmpdir_ ? qputenv("TMPDIR", tmpdir_) : qunsetenv("TMPDIR");
    QApplication::setApplicationName(name_);
  }
 private:
  QByteArray tmpdir_ = qgetenv("TMPDIR");
  bool had_tmpdir_ = qEnvironmentVariableIsSet("TMPDIR");
  QString name_ = QApplication::applicationName();
};

TEST(PreviewOfficeTest, TwoDocumentsInARowTouchNothingOutsideTheRunsFolder) {
  test::TempDir dir;
  // Other programs' files in the temporary folder and beside it: given a profile URL with raw blanks,
  // LibreOffice's second start moved every entry of the folder where the URL was cut into "SafeMode".
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
      return std::distance(path.begin(), path.end()) >= 2 && *path.begin() == *run.begin() && *std::next(path.begin()) == run.filename();
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
    int parent = 0, pgrp = 0;
    if (std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d %d", &state, &parent, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z') names.push_back(line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1));
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
  const bool office = QTest::qWaitFor([&] {
    const std::vector<std::string> names = RunningInGroup(launcher);
    return std::find(names.begin(), names.end(), "soffice.bin") != names.end() || !viewer->Converting();
  }, 30000);
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
  // Whether its converter got going or already ended, the next file must take over.
  [[maybe_unused]] const bool settled =
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
