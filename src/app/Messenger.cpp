#include "app/Messenger.h"

#include <QApplication>
#include <QMessageBox>

#include "app/AppTexts.h"
#include "app/results/SaveReportDialog.h"

namespace dravik::app {

Messenger::Messenger(QWidget* parent)
    : function_([parent](const QString& text, MessageKind kind, bool yesNo) {
        return ShowMessageBox(parent, text, kind, yesNo);
      }),
      cancellable_([parent](const QString& text) {
        return ShowMessageBox(parent, text, MessageKind::kQuestion, true, true);
      }),
      report_([parent](const QString& text, MessageKind kind, const QStringList& lines, const QString& destination) {
        SaveReportDialog dialog(text, kind, lines, destination, parent);
        dialog.exec();
      }) {}

int ShowMessageBox(QWidget* parent, const QString& text, MessageKind kind, bool yesNo, bool withCancel) {
  QMessageBox box(parent);
  SetUpMessageBox(box, text, kind, yesNo, withCancel);
  const int answer = box.exec();
  if (!yesNo || answer == QMessageBox::Yes) return kYes;
  return answer == QMessageBox::No ? kNo : kCancel;
}

void SetUpMessageBox(QMessageBox& box, const QString& text, MessageKind kind, bool yesNo, bool withCancel) {
  box.setWindowTitle(AppTexts::kProduct);
  // The texts carry the line breaks and tabs of their layout; a message box
  // shows them as plain text, trimmed of the leading break some begin with.
  box.setText(text.trimmed());
  switch (kind) {
    case MessageKind::kInformation: box.setIcon(QMessageBox::Information); break;
    case MessageKind::kError: box.setIcon(QMessageBox::Critical); break;
    case MessageKind::kQuestion: box.setIcon(QMessageBox::Question); break;
    case MessageKind::kNotice: box.setIconPixmap(QApplication::windowIcon().pixmap(48, 48)); break;
  }
  if (yesNo && withCancel) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
  } else if (yesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
}

}  // namespace dravik::app
