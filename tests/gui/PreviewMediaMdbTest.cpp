// The media viewer on sound made by sox and video made by ffmpeg, with the
// machine's audio output (when it has one) and without any; the database viewer
// on a database written by Access, compared with mdbtools' command-line
// tools; damaged copies of both refused, and databases on which libmdb
// itself crashes, exhausts memory or loops end in the no-preview notice.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSlider>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "TestFiles.h"
#include "preview/MdbChildRead.h"
#include "preview/MdbRecordModel.h"
#include "preview/MdbViewer.h"
#include "preview/MediaViewer.h"
#include "preview/PreviewPane.h"
#include "preview/PreviewWorkspace.h"

namespace dravik::preview {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 30000;

using Sound = MediaViewer::Sound;
// With the machine's own audio output, whatever it has, and with none at all.
constexpr Sound kBothWays[] = {Sound::kDetect, Sound::kNone};
const char* Named(Sound sound) { return sound == Sound::kNone ? " without sound" : " with the machine's sound"; }

// What the viewer says about sound, and that it offers to play only what it can.
void ExpectSoundNotice(const MediaViewer& viewer, bool playable, const std::string& what) {
  auto* play = viewer.findChild<QPushButton*>();
  ASSERT_NE(play, nullptr);
  if (viewer.PlaysSound()) {
    EXPECT_EQ(viewer.SoundNotice(), QString()) << what;
    EXPECT_TRUE(play->isEnabled()) << what;
  } else {
    EXPECT_EQ(viewer.SoundNotice(), QStringLiteral("Sound cannot be played on this computer.")) << what;
    EXPECT_EQ(play->isEnabled(), playable) << what;
  }
}

QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

std::string Out(const std::string& command) {  // the output of a command that must succeed
  const test::CommandResult result = test::RunShell(command);
  EXPECT_EQ(result.status, 0) << command;
  return result.out;
}

QStringList Lines(const std::string& text) {
  QStringList lines = QString::fromStdString(text).split(u'\n', Qt::SkipEmptyParts);
  lines.sort();
  return lines;
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

TEST(PreviewMediaTest, TimesHaveTwoDigitFields) {
  EXPECT_EQ(MediaTime(1500), QStringLiteral("00:01"));
  EXPECT_EQ(MediaTime(3599999), QStringLiteral("59:59"));
  EXPECT_EQ(MediaTime(3600000 + 62000), QStringLiteral("01:01:02"));
  EXPECT_EQ(MediaTime(-5), QStringLiteral("00:00"));
}

// Sound made by sox and video made by ffmpeg, with the machine's audio output
// and without any: each opens paused with the duration and frame size it was
// made with; a sound shows no empty video area; a video plays on its button
// (silently where there is no audio output).
TEST(PreviewMediaTest, SoundAndVideoOpenPausedWithTheirDurationAndFrameSize) {
  test::TempDir dir;
  const bool registryChosen = qEnvironmentVariableIsSet("GST_REGISTRY") || qEnvironmentVariableIsSet("GST_REGISTRY_1_0");
  const std::string video = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=";
  const struct { const char* name; std::string make; int ms; QSize frame; } kRows[] = {
      {"tone.wav", "sox -n -r 8000 tone.wav synth 1.5 sine 440", 1500, {}},
      {"tone.au", "sox -n -r 8000 tone.au synth 1.5 sine 440", 1500, {}},
      {"tone.snd", "sox -n -r 8000 -t au tone.snd synth 1.5 sine 440", 1500, {}},
      {"clip.avi", video + "64x48:rate=10 -t 2 -c:v mpeg4 clip.avi", 2000, {64, 48}},
      {"clip.mp4", video + "80x64:rate=10 -t 2 -c:v mpeg4 clip.mp4", 2000, {80, 64}},
      {"clip2.avi", video + "96x32:rate=10 -t 2 -c:v mjpeg clip2.avi", 2000, {96, 32}},
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
  // The media framework keeps its plugin registry in the workspace, not under
  // HOME, unless the user chose a place (or an earlier viewer of this process did).
  if (!registryChosen) {
    const QString registry = workspace->Path() + QStringLiteral("/gstreamer.registry");
    EXPECT_EQ(qEnvironmentVariable("GST_REGISTRY"), registry);
    EXPECT_TRUE(QFileInfo(registry).size() > 0) << "the framework wrote its registry there";
  }
}

TEST(PreviewMediaTest, AVideoClickedAfterASoundFileOpensEveryTime) {
  // The pane's own flow, as a person clicks down a folder: a sound file
  // (measured by decoding where there is no audio output), then an H.264
  // video, then both again.
  test::TempDir dir;
  ASSERT_EQ(test::RunShell("cd " + test::Quote(dir.Path()) +
                           " && sox -n -r 44100 -c 2 tone.wav synth 2 sine 440 && ffmpeg -loglevel error -y -f lavfi"
                           " -i testsrc=duration=2:size=160x120:rate=25 -pix_fmt yuv420p clip.mp4").status, 0);
  PreviewPane pane;
  pane.resize(400, 300);
  pane.show();
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"tone.wav", "clip.mp4"}) {
      SCOPED_TRACE(std::string(name) + " in round " + std::to_string(round));
      pane.Show(ViewerKind::kMedia, Q(dir / name));
      ASSERT_TRUE(QTest::qWaitFor([&] {
        auto* media = qobject_cast<MediaViewer*>(pane.Current());
        return !media || media->IsLoaded();
      }, kWaitMs));
      auto* media = qobject_cast<MediaViewer*>(pane.Current());
      ASSERT_NE(media, nullptr) << "the pane shows the notice: "
                                << (pane.Current() ? pane.Current()->Problem().toStdString() : "");
      EXPECT_NEAR(media->DurationMs(), 2000, 100);
    }
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
  for (const char* name : {"tone.wav", "clip.avi", "clip.mp4", "noise.mp4", "noise.wav", "words.mp3", "empty.wav",
                           "missing.avi"}) {
    for (const Sound sound : kBothWays) {
      MediaViewer viewer(workspace, sound);
      EXPECT_FALSE(LoadAndWait(viewer, dir / name)) << name << Named(sound);
      EXPECT_FALSE(viewer.IsLoaded()) << name << Named(sound);
    }
  }

  PreviewPane pane;
  pane.Show(ViewerKind::kMedia, Q(dir / "noise.mp4"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return pane.Shown() == ViewerKind::kNone; }, kWaitMs));
  auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->Notice(), QString(kNoPreview));
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
    QTest::mouseClick(viewer.Tree()->viewport(), Qt::LeftButton, {},
                      viewer.Tree()->visualItemRect(item).center());
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

TEST(PreviewMdbTest, ForeignFilesAndDamagedCopiesAreRefused) {
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
  const std::vector<fs::path> files = {
      damaged("cut100.mdb", {good.begin(), good.begin() + 100}), damaged("cut-in-page.mdb", {good.begin(), good.begin() + 3 * 4096 + 1000}),
      damaged("header-only.mdb", {good.begin(), good.begin() + 4096}), damaged("blank-pages.mdb", blank),
      damaged("other-format.mdb", resigned), dir / "noise.mdb", dir / "other.mdb", dir / "empty.mdb", dir / "catalog-loop.mdb"};
  for (const fs::path& file : files) EXPECT_FALSE(MdbViewer().Load(Q(file))) << file.filename();

  PreviewPane pane;
  pane.Show(ViewerKind::kMdb, Q(dir / "other.mdb"));
  EXPECT_EQ(pane.Shown(), ViewerKind::kNone);
  pane.Show(ViewerKind::kMdb, Q(Fruit()));
  EXPECT_EQ(pane.Shown(), ViewerKind::kMdb);
}

// The most memory this process has held at once, in KiB (VmHWM).
long PeakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(PreviewMdbTest, DatabasesThatBreakLibmdbEndInTheNoticeWithoutHarmingTheProgram) {
  // libmdb reads out of range or follows a null pointer (crash), allocates
  // gigabytes (oom) or never returns (loop) on these; see their README.
  const std::vector<std::string> names = {"crash-1", "crash-2", "loop-1", "loop-2", "loop-3", "oom-1", "oom-2", "oom-3"};
  const long peakBefore = PeakMemoryKiB();
  ASSERT_GT(peakBefore, 0);
  PreviewPane pane;
  for (const std::string& name : names) {
    const fs::path file = test::SharedTestData("mdb-faults/" + name + ".mdb");
    ASSERT_TRUE(fs::is_regular_file(file)) << "the databases that break libmdb are missing: " << file;
    const auto start = std::chrono::steady_clock::now();
    pane.Show(ViewerKind::kMdb, Q(file));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(pane.Shown(), ViewerKind::kNone) << name;
    auto* notice = dynamic_cast<NoticeViewer*>(pane.Current());
    ASSERT_NE(notice, nullptr) << name;
    EXPECT_EQ(notice->Notice(), QString(kNoPreview)) << name;
    // Not a measure of speed: a reading that does not end is cut off at the
    // child's time limit; the margin covers ending it on a busy machine.
    EXPECT_LT(took, std::chrono::milliseconds(kMdbChildMs + 5000)) << name << " was not cut off";
  }
  EXPECT_LT(PeakMemoryKiB() - peakBefore, 128 * 1024) << "libmdb's allocations reached this process";
  // The pane still shows a sound database afterwards.
  pane.Show(ViewerKind::kMdb, Q(Fruit()));
  EXPECT_EQ(pane.Shown(), ViewerKind::kMdb);
}

}  // namespace
}  // namespace dravik::preview
