// Walks the wizard on an image (the demo image by default) and writes one
// PNG of the window per page into a folder, so that the layout of every page
// can be looked at. Messages are not shown; the path of each PNG is printed.
// Last, a copy of the image with its structures broken shows the repairs
// page, and a file of random bytes named like the image the message and the
// question after a failed open (then its drive page as a raw disk).
//
//   dravik_gui_screens IMAGE OUTDIR [PREVIEWDIR]
//
// PREVIEWDIR holds sample files (picture.png, document.pdf, archive.zip,
// notes.txt, ...) shown in the results page's preview pane one after another.

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QLineEdit>
#include <QLabel>
#include <QPointer>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

#include "app/AppTexts.h"
#include "app/DriveInformationDialog.h"
#include "app/MainWindow.h"
#include "app/RecoverySettingsDialog.h"
#include "app/results/FileListModel.h"
#include "app/results/PropertiesDialog.h"
#include "app/results/SaveProgressDialog.h"
#include "app/results/SaveReportDialog.h"
#include "app/search/FileFiltersDialog.h"
#include "app/search/FindFilesDialog.h"
#include "app/trace/FileTypesDialog.h"
#include "disk/DriveInfo.h"
#include "session/DriveInformation.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/PartitionTypeDialog.h"
#include "app/wizard/ResultsPage.h"
#include "app/wizard/StartPage.h"
#include "app/wizard/Wizard.h"
#include "preview/MediaViewer.h"
#include "preview/OfficeViewer.h"
#include "preview/PreviewPane.h"
#include "snapshot/SnapshotTexts.h"

using namespace dravik::app;

int main(int argc, char** argv) {
  QStandardPaths::setTestModeEnabled(true);
  // No layout kept by an earlier run: the window opens as a first start does.
  QTemporaryDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  QApplication application(argc, argv);
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: dravik_gui_screens IMAGE OUTDIR [PREVIEWDIR]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(out);
  MainWindow window;
  Wizard* wizard = window.wizard();
  wizard->messenger().SetFunction([](const QString&, MessageKind, bool) { return kNo; });
  window.show();
  int shot = 0;
  const auto grabWidget = [&](QWidget& widget, const char* name) {
    QTest::qWait(100);
    const QString path = QStringLiteral("%1/%2-%3.png").arg(out).arg(shot++).arg(QLatin1String(name));
    widget.grab().save(path);
    std::printf("%s\n", path.toLocal8Bit().constData());
  };
  // Says so when a dialog or the window does not fit the screen, or a
  // button of the page shown is cut or off the screen.
  const auto checkFit = [&](QWidget& widget, const char* name) {
    const QRect screen = widget.screen()->availableGeometry();
    if (!screen.contains(widget.frameGeometry()))
      std::printf("  does not fit: %s is %dx%d on a screen of %dx%d\n", name, widget.frameGeometry().width(),
                  widget.frameGeometry().height(), screen.width(), screen.height());
    for (QPushButton* button : widget.findChildren<QPushButton*>()) {
      if (!button->isVisible()) continue;
      const QRect global(button->mapToGlobal(QPoint(0, 0)), button->size());
      if (button->visibleRegion().boundingRect() != button->rect() || !screen.contains(global))
        std::printf("  cut or off the screen: \"%s\" on %s\n", button->text().toLocal8Bit().constData(), name);
    }
  };
  const auto grab = [&](const char* name) {
    checkFit(window, name);
    grabWidget(window, name);
  };
  // A dialog shown beside the window, grabbed, and closed again.
  const auto grabDialog = [&](QDialog& dialog, const char* name) {
    dialog.show();
    checkFit(dialog, name);
    grabWidget(dialog, name);
    dialog.close();
  };
  // Waits for the wizard's work; a wait that runs out is said, and the pages grabbed after it show where it stood.
  const auto waitFor = [](const auto& done, int milliseconds, const char* what) {
    if (!QTest::qWaitFor(done, milliseconds)) std::printf("  gave up waiting for %s\n", what);
  };
  // The Partition Type question, grabbed the first time it is asked; the table is used.
  bool partitionTypeShown = false;
  wizard->askPartitionChoice = [&](std::size_t listed) {
    if (!partitionTypeShown) {
      partitionTypeShown = true;
      PartitionTypeDialog dialog(listed, &window);
      grabDialog(dialog, "partition-type");
    }
    return dravik::PartitionChoice::kUseExisting;
  };
  wizard->start->path->setText(QString::fromLocal8Bit(argv[1]));
  grab("start");
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  grab("drive");
  // Back with the keyboard's focus, as after Tab (the window is made active
  // first: without a window manager nothing else does).
  window.activateWindow();
  if (!QTest::qWaitForWindowActive(&window)) std::printf("  the window could not be made active\n");
  window.setAttribute(Qt::WA_KeyboardFocusChange);
  wizard->drive->buttons.back->setFocus(Qt::TabFocusReason);
  grab("drive-focus");
  wizard->drive->devices->setFocus(Qt::OtherFocusReason);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  waitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, 60000, "the partition page");
  grab("partition");
  // The demo image's second partition; the only one of an image that has one.
  QTreeWidgetItem* disk = wizard->partition->partitions->topLevelItem(0);
  wizard->partition->partitions->setCurrentItem(disk->child(std::min(1, disk->childCount() - 1)));
  // Held at its first step, so that the progress pane is seen while the scan runs.
  wizard->worker().HoldNextStart();
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  QTest::qWait(1500);
  grab("scanning");
  wizard->worker().Resume();
  waitFor([&] { return wizard->CurrentPage() == Wizard::kResults; }, 60000, "the results page");
  wizard->results->OpenRow(1);
  grab("results");
  {
    ResultsPage* results = wizard->results;
    results->details->setCurrentIndex(results->listModel->index(1, 0));
    if (const auto properties = results->CurrentProperties()) {
      PropertiesDialog dialog(*properties, &window);
      grabDialog(dialog, "properties");
    }
    RecoverySettingsDialog settings(wizard->session().settings, &window);
    grabDialog(settings, "recovery-settings");
    const Session& s = wizard->session();
    DriveInformationDialog information(
        dravik::DriveInformationLines(s.params, {s.mode, s.Store().folderCount, s.Store().fileCount}), &window);
    grabDialog(information, "drive-information");

    FindFilesDialog find(*wizard, &window);
    find.pattern->setText(QStringLiteral("*.txt"));
    find.show();
    find.StartSearch();
    waitFor([&] { return !find.Searching(); }, 60000, "the search");
    grabDialog(find, "find-files");
    dravik::FilterList filters;
    filters.Add(u"*.txt");
    filters.Add(u"report*");
    FileFiltersDialog filtersDialog(filters, wizard->messenger(), &window);
    grabDialog(filtersDialog, "file-filters");

    // The question before results are left, with its Cancel.
    QMessageBox question(&window);
    SetUpMessageBox(question, dravik::SnapshotTexts::kSaveOnBack, MessageKind::kQuestion, true, true);
    grabDialog(question, "snapshot-question");

    // The results page while filters are on, then with them cleared.
    wizard->session().filter.Add(u"*.txt");
    wizard->session().filter.Add(u"report*");
    results->RefreshList();
    grab("results-filtered");
    results->ClearFilters();

    // The end of a save that could not write every file whole.
    dravik::SaveSummary summary;
    summary.begun = 324;
    summary.saved = 321;
    summary.incomplete = 2;
    summary.interrupted = 1;
    summary.failedReads = 1536;
    summary.failures = {
        {"/home/ada/recovered/Videos/holiday-2019.mp4.partial", 0, dravik::SaveFailure::Step::kInterrupted, 815925248},
        {"/home/ada/recovered/Photos/IMG_2041.JPG", 0, dravik::SaveFailure::Step::kUnreadable, 524288},
        {"/home/ada/recovered/Documents/thesis-final-final.docx", 0, dravik::SaveFailure::Step::kUnreadable, 262144}};
    SaveReportDialog report(SaveProgressDialog::SummaryText(summary, false), MessageKind::kError,
                            SaveProgressDialog::ReportLines(summary), out, &window);
    grabDialog(report, "save-report");
    SaveReportDialog done(QString::fromLatin1(AppTexts::kSavedSuccessfully), MessageKind::kInformation, {},
                          out, &window);
    grabDialog(done, "save-done");
    // The save window as it opens, before its first file.
    SaveProgressDialog saving(wizard->session(), wizard->messenger(), &window);
    grabDialog(saving, "save-progress");

    // A text file of the first sub-folder in the preview pane.
    results->OpenRow(1);
    for (int r = 0; r < results->listModel->rowCount(); ++r)
      if (results->listModel->Row(r)->kind == dravik::ListRow::Kind::kFile) {
        results->details->setCurrentIndex(results->listModel->index(r, 0));
        break;
      }
    grab("preview-text");

    // The pane on the sample files, and on a file no viewer shows.
    if (argc == 4) {
      const QDir samples(QString::fromLocal8Bit(argv[3]));
      for (const QString& name : samples.entryList(QDir::Files, QDir::Name)) {
        const QString path = samples.filePath(name);
        results->preview->Show(dravik::preview::ViewerForFile(name, QFileInfo(path).size()), path);
        const QByteArray shotName = ("preview-" + QFileInfo(name).completeBaseName()).toLocal8Bit();
        // A document goes through the converter first: its busy notice, then its page.
        const QPointer<dravik::preview::OfficeViewer> office =
            qobject_cast<dravik::preview::OfficeViewer*>(results->preview->Current());
        if (office && office->Converting()) {
          grab((shotName + "-converting").constData());
          waitFor([&] { return !office || !office->Converting(); }, 90000, "the office conversion");
        }
        // Sound and video show their length (and a video its first frame) once loaded.
        const QPointer<dravik::preview::MediaViewer> media =
            qobject_cast<dravik::preview::MediaViewer*>(results->preview->Current());
        if (media) waitFor([&] { return !media || media->IsLoaded(); }, 30000, "the media to load");
        grab(shotName.constData());
      }
    }
    results->preview->Show(dravik::preview::ViewerKind::kNone);
    grab("preview-none");
  }
  wizard->Home();
  QTest::mouseClick(wizard->start->extensive, Qt::LeftButton);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  waitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, 60000, "the partition page");
  grab("extensive-range");
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  waitFor([&] { return wizard->CurrentPage() == Wizard::kFileSystem; }, 120000, "the file-system page");
  grab("file-systems");

  // File Trace of the images, pictures and archives, through the File Types dialog.
  wizard->chooseTraceTypes = [&](std::uint32_t last) -> std::optional<dravik::TraceChoice> {
    const QString file = QCoreApplication::applicationDirPath() + QStringLiteral("/../Raw.dat");
    FileTypesDialog dialog(dravik::LoadCatalogue(QFile::encodeName(file).toStdString()), last, wizard->messenger(),
                           &window);
    dialog.CheckExtensions({".bmp", ".jpg", ".png", ".pdf", ".zip"});
    for (int i = 0; i < dialog.types->topLevelItem(0)->childCount(); ++i)
      dialog.types->topLevelItem(0)->child(i)->setExpanded(i < 2);
    grabDialog(dialog, "file-types");
    dialog.accept();
    return dialog.Choice();
  };
  wizard->Home();
  QTest::mouseClick(wizard->start->trace, Qt::LeftButton);
  QTest::mouseClick(wizard->drive->buttons.forward, Qt::LeftButton);
  waitFor([&] { return wizard->CurrentPage() == Wizard::kPartition; }, 60000, "the partition page");
  wizard->partition->partitions->setCurrentItem(wizard->partition->partitions->topLevelItem(0)->child(0));
  QTest::mouseClick(wizard->partition->buttons.forward, Qt::LeftButton);
  waitFor([&] { return wizard->CurrentPage() == Wizard::kResults; }, 120000, "the results page");
  wizard->results->folders->expandAll();
  grab("trace-results");

  // A damaged copy: a VHDX without its first header and both region tables,
  // a VHD without its dynamic header.
  QTemporaryDir damaged;
  const QString image = QString::fromLocal8Bit(argv[1]);
  const bool vhdx = QFileInfo(image).suffix().compare(QLatin1String("vhdx"), Qt::CaseInsensitive) == 0;
  const QString copy = damaged.filePath(vhdx ? QStringLiteral("damaged.vhdx") : QStringLiteral("damaged.vhd"));
  QFile::copy(image, copy);
  QFile broken(copy);
  broken.open(QIODevice::ReadWrite);
  const auto zero = [&](qint64 at, qint64 length) {
    broken.seek(at);
    broken.write(QByteArray(length, '\0'));
  };
  if (vhdx) {
    zero(64 * 1024, 4096);
    zero(192 * 1024, 128 * 1024);
  } else {
    zero(512, 1024);
  }
  broken.close();
  wizard->Home();
  wizard->SetImagePath(copy);
  QTest::mouseClick(wizard->start->quick, Qt::LeftButton);
  if (wizard->CurrentPage() == Wizard::kRepairs) grab("repairs");

  // A file that is no image: its message and the question, as the boxes show them.
  const QString noImage = damaged.filePath(vhdx ? QStringLiteral("random.vhdx") : QStringLiteral("random.vhd"));
  QFile randomFile(noImage);
  randomFile.open(QIODevice::WriteOnly);
  QByteArray noise(1024 * 1024, '\0');
  QRandomGenerator random(7);
  for (char& c : noise) c = static_cast<char>(random.bounded(256));
  randomFile.write(noise);
  randomFile.close();
  wizard->messenger().SetFunction([&](const QString& text, MessageKind kind, bool yesNo) {
    QMessageBox box(&window);
    SetUpMessageBox(box, text, kind, yesNo);
    grabDialog(box, yesNo ? "raw-question" : "open-failed");
    return yesNo ? kYes : kNo;
  });
  wizard->Home();
  wizard->SetImagePath(noImage);
  QTest::mouseClick(wizard->start->extensive, Qt::LeftButton);
  grab("raw-drive");
  wizard->messenger().SetFunction([](const QString&, MessageKind, bool) { return kNo; });
  wizard->Home();
  grab("start-raw");
  return 0;
}
