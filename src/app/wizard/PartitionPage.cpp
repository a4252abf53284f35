#include "app/wizard/PartitionPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValidator>
#include <utility>

#include "app/wizard/InfoPane.h"
#include "app/wizard/ProgressPane.h"
#include "app/wizard/Scrolling.h"
#include "fs/FamilyRegistry.h"

namespace dravik::app {

namespace {

// A sector number from 0 to top: digits only. Any 64-bit count fits, which
// QIntValidator (int) does not for disks of a terabyte and more.
class SectorValidator : public QValidator {
 public:
  SectorValidator(std::uint64_t top, QObject* parent) : QValidator(parent), top_(top) {}
  State validate(QString& input, int&) const override {
    const QString text = input.trimmed();
    if (text.isEmpty()) return Intermediate;
    for (const QChar c : text)
      if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    return ok && value <= top_ ? Acceptable : Invalid;
  }

 private:
  std::uint64_t top_;
};

}  // namespace

PartitionPage::PartitionPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  mode = new QLabel;
  layout->addWidget(mode);
  splitter = new QSplitter;
  splitter->setObjectName(QStringLiteral("partitionSplitter"));
  partitions = new QTreeWidget;
  partitions->setHeaderHidden(true);
  partitions->setMinimumWidth(200);
  splitter->addWidget(partitions);
  auto* right = new QWidget;
  auto* pane = new QVBoxLayout(right);
  info = new InfoPane(tr("Partition Information"));
  pane->addWidget(info);
  range = new QGroupBox(tr("Sectors to search"));
  auto* form = new QFormLayout(range);
  fileSystem = new QComboBox;
  for (const SearchableKind& kind : SearchableKinds())
    fileSystem->addItem(QString::fromLatin1(kind.label), QVariant::fromValue(kind.code));
  form->addRow(tr("Select File System:"), fileSystem);
  startSector = new QLineEdit;
  endSector = new QLineEdit;
  form->addRow(tr("Start Sector:"), startSector);
  form->addRow(tr("End Sector:"), endSector);
  pane->addWidget(range);
  hint = new QLabel;
  hint->setWordWrap(true);
  pane->addWidget(hint);
  progress = new ProgressPane;
  progress->hide();
  pane->addWidget(progress);
  pane->addStretch();
  paneScroll_ = Scrolling(right);
  splitter->addWidget(paneScroll_);
  splitter->setStretchFactor(1, 1);
  const QList<int> splitterSizes{260, 600};
  splitter->setSizes(splitterSizes);
  // Reset Layout sizes it so again.
  splitter->setProperty("builtSizes", QVariant::fromValue(splitterSizes));
  layout->addWidget(splitter, 1);
  buttons = PageButtons::AddTo(this, layout, QStyle::SP_MediaPlay, tr("Scan"));
}

void PartitionPage::SetBusy(bool busy) {
  buttons.SetBusy(busy);
  partitions->setEnabled(!busy);
  range->setEnabled(!busy);
  progress->setVisible(busy);
  hint->setVisible(!busy);
  // Below the partition's information the bar may lie under the fold of a
  // small screen: once the pane has been laid out anew, a progress not
  // wholly in view is scrolled to the top of the view, no line cut above it.
  if (busy)
    QTimer::singleShot(0, this, [this] {
      if (progress->isVisible() && progress->visibleRegion().boundingRect() != progress->rect())
        paneScroll_->verticalScrollBar()->setValue(progress->mapTo(paneScroll_->widget(), QPoint(0, 0)).y());
    });
}

void PartitionPage::SetDiskSectors(std::uint64_t sectors) {
  const std::uint64_t lastStart = sectors > 0 ? sectors - 1 : 0;
  for (auto [field, top] : {std::pair{startSector, lastStart}, std::pair{endSector, sectors}}) {
    delete field->validator();
    field->setValidator(new SectorValidator(top, field));
    field->setToolTip(tr("0 to %1").arg(QLocale().toString(qulonglong(top))));
  }
  // The limit in the title too, where a person reads it before typing.
  range->setTitle(tr("Sectors to search (0 to %1)").arg(QLocale().toString(qulonglong(sectors))));
}

int PartitionPage::Selected() const {
  const auto items = partitions->selectedItems();
  if (items.isEmpty()) return -1;
  const QVariant index = items.front()->data(0, Qt::UserRole);
  return index.isValid() ? index.toInt() : -1;
}

}  // namespace dravik::app
