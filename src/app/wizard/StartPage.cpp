#include "app/wizard/StartPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/wizard/ModeButton.h"
#include "app/wizard/Scrolling.h"

namespace dravik::app {

StartPage::StartPage(QWidget* parent) : QWidget(parent) {
  auto* pane = new QWidget;
  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(0, 0, 0, 0);
  page->addWidget(Scrolling(pane));
  auto* outer = new QVBoxLayout(pane);
  outer->addStretch(2);
  auto* column = new QVBoxLayout;
  auto* heading = new QLabel(QString::fromLatin1(AppTexts::kSelectHeading).trimmed());
  QFont big = heading->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  heading->setFont(big);
  column->addWidget(heading);
  auto* pathRow = new QHBoxLayout;
  path = new QLineEdit;
  path->setPlaceholderText(tr("Path of a .vhd, .vhdx, .img, .raw or .dd file"));
  path->setClearButtonEnabled(true);
  path->setMinimumWidth(360);
  select = new QPushButton(tr("Select..."));
  pathRow->addWidget(path, 1);
  pathRow->addWidget(select);
  column->addLayout(pathRow);
  asRaw = new QCheckBox(AppTexts::kReadAsRawBox);
  asRaw->setToolTip(AppTexts::kReadAsRawTip);
  column->addWidget(asRaw);
  column->addSpacing(24);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(18);
  quick = new ModeButton(tr("Quick Scan"), QStyle::SP_FileDialogContentsView);
  extensive = new ModeButton(tr("Extensive Scan"), QStyle::SP_FileDialogInfoView);
  trace = new ModeButton(tr("File Trace"), QStyle::SP_FileDialogDetailedView);
  buttons->addWidget(quick);
  buttons->addWidget(extensive);
  buttons->addWidget(trace);
  column->addLayout(buttons);
  column->addSpacing(12);
  description = new QLabel(AppTexts::kNoHover);
  description->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  description->setWordWrap(true);
  description->setMinimumHeight(description->fontMetrics().height() * 3);
  column->addWidget(description);

  auto* centre = new QHBoxLayout;
  centre->addStretch(1);
  centre->addLayout(column, 4);
  centre->addStretch(1);
  outer->addLayout(centre);
  outer->addStretch(3);

  const auto describe = [this](const char* text) {
    return [this, text](bool inside) {
      description->setText(inside ? QString::fromLatin1(text).trimmed() : QString::fromLatin1(AppTexts::kNoHover));
    };
  };
  connect(quick, &ModeButton::Hovered, this, describe(AppTexts::kQuickHover));
  connect(extensive, &ModeButton::Hovered, this, describe(AppTexts::kExtensiveHover));
  connect(trace, &ModeButton::Hovered, this, describe(AppTexts::kTraceHover));
}

}  // namespace dravik::app
