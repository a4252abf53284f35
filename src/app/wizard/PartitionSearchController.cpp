#include "app/wizard/PartitionSearchController.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QTreeWidget>
#include <utility>

#include "app/AppTexts.h"
#include "app/wizard/CapacityChart.h"
#include "app/wizard/DrivePage.h"
#include "app/wizard/InfoPane.h"
#include "app/wizard/PartitionPage.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Wizard.h"
#include "disk/DriveInfo.h"
#include "disk/PartitionSearch.h"

namespace dravik::app {

PartitionSearchController::PartitionSearchController(Wizard& wizard)
    : wizard_(wizard), session_(wizard.session()) {}

void PartitionSearchController::ShowDriveInfo() {
  DrivePage* drive = wizard_.drive;
  const auto items = drive->devices->selectedItems();
  QTreeWidgetItem* item = items.isEmpty() ? nullptr : items.front();
  if (item && item == drive->image && session_.imageKind) {
    drive->info->SetLines(DiskInfoLines(session_.drives, 0, session_.disk, *session_.imageKind));
    PartitionTable table;
    ReadDrivePartitions(session_.reader, table);
    // A VHDX or a raw disk records no geometry; its shares are taken of its size.
    const std::uint64_t sectors = session_.drives.slots[0].totalSectors != 0 ? session_.drives.slots[0].totalSectors
                                                                              : session_.reader.SectorCount();
    drive->chart->SetSlices(CapacityShares(table, sectors));
    drive->chart->show();
    return;
  }
  drive->chart->hide();
  if (item == drive->logical) {
    drive->info->SetLines({{"Volume Name\t\t:", ""}, {"Capacity\t\t:", ""}, {"SPC\t\t\t:", ""},
                           {"Byte Per Sector\t\t:", ""}, {"File System\t\t:", ""}});
  } else if (item == drive->physical && session_.imageKind) {
    auto lines = DiskInfoLines(session_.drives, 0, session_.disk, *session_.imageKind);
    for (InfoLine& line : lines) line.value.clear();
    drive->info->SetLines(lines);
  } else {
    drive->info->SetLines({});
  }
}

void PartitionSearchController::Start() {
  DrivePage* drive = wizard_.drive;
  if (drive->devices->currentItem() != drive->image || !drive->image) {
    wizard_.messenger().Show(AppTexts::kNoDrive, MessageKind::kError);
    return;
  }
  session_.selectedPartition = -1;
  session_.partitions.Clear();
  PartitionTable table;
  ReadDrivePartitions(session_.reader, table);
  // A drive without a table is searched without asking; Cancel stays here.
  const PartitionChoice choice = table.Empty() ? PartitionChoice::kSearch : wizard_.askPartitionChoice(table.Count());
  if (choice == PartitionChoice::kCancel) return;
  wizard_.ShowModeText(true);
  drive->SetBusy(true);
  drive->progress->Reset();
  const DriveSlot& slot = session_.drives.slots[0];
  const DiskGeometry geometry = SearchGeometry({slot.cylinders, slot.heads, slot.sectorsPerTrack},
                                               session_.reader.SectorCount());
  found_ = std::move(table);
  const auto number = [](std::uint64_t value) { return QString::number(value); };
  JobRunner::Job job{drive->progress,
                     {QStringLiteral("Partition(s) Found :"), AppTexts::kCurrentSector},
                     [number](const ScanTally& counts) -> std::vector<QString> {
                       return {number(counts.files), number(counts.sector)};
                     },
                     AppTexts::kStopPartitionSearch,
                     [this] { End(); }};
  wizard_.jobs().Start(std::move(job), [this, geometry, choice](ScanControl& control) {
    SearchPartitions(session_.reader, geometry, found_, [choice] { return choice; }, control);
  });
}

void PartitionSearchController::FillPartitions() {
  QTreeWidget* list = wizard_.partition->partitions;
  list->clear();
  auto* disk = new QTreeWidgetItem(list, {QStringLiteral("Virtual Hard Disk 0 ")});
  disk->setIcon(0, wizard_.style()->standardIcon(QStyle::SP_DriveHDIcon));
  for (std::size_t i = 0; i < session_.partitions.Count(); ++i) {
    const PartitionEntry& entry = session_.partitions.Entries()[i];
    auto* item = new QTreeWidgetItem(disk, {QString::fromStdString(PartitionLabel(i)) + QStringLiteral("  (") +
                                            QString::fromLatin1(FsName(entry.code)) + QStringLiteral(")")});
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    item->setIcon(0, wizard_.style()->standardIcon(QStyle::SP_DriveCDIcon));
  }
  list->expandAll();
  if (session_.partitions.Count() > 0) list->setCurrentItem(disk->child(0));
}

void PartitionSearchController::ResetScanRange() {
  PartitionPage* partition = wizard_.partition;
  partition->fileSystem->setCurrentIndex(0);
  partition->SetDiskSectors(session_.reader.SectorCount());
  partition->startSector->setText(QStringLiteral("0"));
  partition->endSector->setText(QString::number(session_.reader.SectorCount()));
}

void PartitionSearchController::End() {
  PartitionPage* partition = wizard_.partition;
  wizard_.drive->SetBusy(false);
  session_.partitions = std::exchange(found_, PartitionTable{});
  FillPartitions();
  const bool extensive = session_.mode == ScanMode::kExtensive;
  partition->range->setVisible(extensive);
  partition->hint->setText(session_.mode == ScanMode::kQuick ? AppTexts::kQuickPartitionHint
                                                             : AppTexts::kPartitionHint);
  if (extensive) ResetScanRange();
  partition->progress->Reset();
  ShowPartitionInfo();
  wizard_.ShowPage(Wizard::kPartition);
  if (session_.mode == ScanMode::kQuick && session_.partitions.Empty()) {
    wizard_.messenger().Show(AppTexts::kNoPartitionFound, MessageKind::kInformation);
    wizard_.Home();
  }
}

void PartitionSearchController::ShowPartitionInfo() {
  const int index = wizard_.partition->Selected();
  session_.selectedPartition = index;
  const PartitionEntry* entry = index >= 0 && static_cast<std::size_t>(index) < session_.partitions.Count()
                                    ? &session_.partitions.Entries()[static_cast<std::size_t>(index)]
                                    : nullptr;
  wizard_.partition->info->SetLines(PartitionInfoLines(entry));
}

}  // namespace dravik::app
