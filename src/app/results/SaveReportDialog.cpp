#include "app/results/SaveReportDialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStyle>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/ScreenFit.h"

namespace dravik::app {

namespace {

QIcon IconOf(MessageKind kind, const QStyle* style) {
  switch (kind) {
    case MessageKind::kError: return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case MessageKind::kQuestion: return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    default: return style->standardIcon(QStyle::SP_MessageBoxInformation);
  }
}

}  // namespace

SaveReportDialog::SaveReportDialog(const QString& text, MessageKind kind, const QStringList& lines,
                                   const QString& destination, QWidget* parent)
    : QDialog(parent), openUrl(&QDesktopServices::openUrl), text_(text.trimmed()), lines_(lines),
      destination_(destination) {
  setWindowTitle(AppTexts::kProduct);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel;
  const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon->setPixmap(IconOf(kind, style()).pixmap(side, side));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* message = new QLabel(text_);
  message->setTextFormat(Qt::PlainText);
  message->setWordWrap(true);
  message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  top->addWidget(message, 1);
  layout->addLayout(top);
  auto* listTitle = new QLabel(tr("Files that are not whole:"));
  layout->addWidget(listTitle);
  list = new QPlainTextEdit;
  list->setReadOnly(true);
  // Long paths wrap rather than hide their reason behind a scroll bar; the
  // status words line up at one tab stop.
  list->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  list->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  list->setTabStopDistance(list->fontMetrics().horizontalAdvance(QStringLiteral("interrupted  ")));
  list->setPlainText(lines_.join(QLatin1Char('\n')));
  // A few lines tall at any scale; the window can be made larger.
  list->setMinimumHeight(list->fontMetrics().lineSpacing() * 6);
  layout->addWidget(list, 1);
  saved = new QLabel;
  saved->setTextFormat(Qt::PlainText);
  saved->setWordWrap(true);
  saved->hide();
  layout->addWidget(saved);
  auto* buttons = new QDialogButtonBox;
  saveList = buttons->addButton(tr("Save List..."), QDialogButtonBox::ActionRole);
  openDestination = buttons->addButton(tr("Open Destination Folder"), QDialogButtonBox::ActionRole);
  ok = buttons->addButton(QDialogButtonBox::Ok);
  ok->setDefault(true);
  layout->addWidget(buttons);
  connect(saveList, &QPushButton::clicked, this, &SaveReportDialog::AskAndSave);
  connect(openDestination, &QPushButton::clicked, this, [this] {
    if (!openUrl(QUrl::fromLocalFile(destination_))) {
      saved->setText(tr("The folder %1 could not be opened.").arg(QDir::toNativeSeparators(destination_)));
      saved->show();
    }
  });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  openDestination->setVisible(!destination.isEmpty());
  openDestination->setEnabled(!destination.isEmpty() && QDir(destination).exists());
  const int em = fontMetrics().horizontalAdvance(QLatin1Char('M'));
  if (lines_.isEmpty()) {
    // Every file whole: the message and its buttons alone.
    for (QWidget* widget : {static_cast<QWidget*>(listTitle), static_cast<QWidget*>(list),
                            static_cast<QWidget*>(saveList)})
      widget->hide();
    message->setMinimumWidth(em * 24);
    resize(FitScreen(this, sizeHint()));
  } else {
    resize(FitScreen(this, QSize(em * 60, sizeHint().height() + list->fontMetrics().lineSpacing() * 8)));
  }
}

void SaveReportDialog::AskAndSave() {
  const QString path = QFileDialog::getSaveFileName(this, tr("Save the list"), QStringLiteral("not-saved-whole.txt"),
                                                    tr("Text files (*.txt);;All files (*)"));
  if (!path.isEmpty()) SaveList(path);
}

bool SaveReportDialog::SaveList(const QString& path) {
  QSaveFile file(path);
  bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
  if (written) {
    file.write((text_ + QStringLiteral("\n\n") + lines_.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    written = file.commit();
  }
  saved->setText(written ? tr("The list is saved in %1.").arg(path) : tr("The list could not be written to %1.").arg(path));
  saved->show();
  return written;
}

}  // namespace dravik::app
