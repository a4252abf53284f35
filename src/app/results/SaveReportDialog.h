#pragma once
// The end of a save that did not write every file whole: what happened, the
// list of every file that is not whole (one line each: status, path, reason,
// bytes missing), and Save List... to keep that list as a text file.

#include <QDialog>
#include <QStringList>

#include "app/Messenger.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace dravik::app {

class SaveReportDialog : public QDialog {
  Q_OBJECT

 public:
  SaveReportDialog(const QString& text, MessageKind kind, const QStringList& lines, QWidget* parent = nullptr);

  // Writes the text and the list into a UTF-8 text file at path; false
  // when it cannot be written. Says on the dialog how it went.
  bool SaveList(const QString& path);

  QPlainTextEdit* list;
  QPushButton* saveList;
  QPushButton* ok;
  QLabel* saved;

 private:
  void AskAndSave();

  QString text_;
  QStringList lines_;
};

}  // namespace dravik::app
