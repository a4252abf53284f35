#include "app/wizard/PageButtons.h"

#include <QCoreApplication>

namespace dravik::app {

PageButtons PageButtons::AddTo(QWidget* page, QBoxLayout* layout, QStyle::StandardPixmap forwardIcon,
                               const QString& forwardText) {
  const auto tr = [](const char* text) { return QCoreApplication::translate("PageButtons", text); };
  QStyle* style = page->style();
  PageButtons b;
  b.home = new QPushButton(style->standardIcon(QStyle::SP_DirHomeIcon), tr("Home"));
  b.back = new QPushButton(style->standardIcon(QStyle::SP_ArrowBack), tr("Back"));
  b.stop = new QPushButton(style->standardIcon(QStyle::SP_BrowserStop), tr("Stop"));
  b.forward = new QPushButton(style->standardIcon(forwardIcon), forwardText);
  b.forward->setDefault(true);
  // Return on a focused Home, Back or Stop presses that button, not the
  // page's forward button (which takes the Return nothing else used).
  for (QPushButton* button : {b.home, b.back, b.stop}) button->setAutoDefault(true);
  auto* row = new QHBoxLayout;
  row->addWidget(b.home);
  row->addStretch();
  row->addWidget(b.stop);
  row->addWidget(b.back);
  row->addWidget(b.forward);
  layout->addLayout(row);
  b.stop->hide();
  return b;
}

void PageButtons::SetBusy(bool busy) const {
  stop->setVisible(busy);
  forward->setVisible(!busy);
  back->setVisible(!busy);
  home->setVisible(!busy);
}

}  // namespace dravik::app
