#pragma once
// The end of a save: what happened; when not every file was written whole,
// the list of every file that is not (one line each: status, path, reason,
// bytes missing) and Save List... to keep that list as a text file; and Open
// Destination Folder, to look at what was saved in the file manager.

#include <QDialog>
#include <QStringList>
#include <QUrl>
#include <functional>

#include "app/Messenger.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace dravik::app {

class SaveReportDialog : public QDialog {
  Q_OBJECT

 public:
  // destination: the folder the files were saved into (none: no button for it).
  SaveReportDialog(const QString& text, MessageKind kind, const QStringList& lines, const QString& destination = {},
                   QWidget* parent = nullptr);

  // Writes the text and the list into a UTF-8 text file at path; false
  // when it cannot be written. Says on the dialog how it went.
  bool SaveList(const QString& path);

  QPlainTextEdit* list;
  QPushButton* saveList;
  QPushButton* openDestination;
  QPushButton* ok;
  // Shows a folder in the desktop's file manager (QDesktopServices); false
  // when it could not. Replaceable, so that tests launch nothing.
  std::function<bool(const QUrl&)> openUrl;
  QLabel* saved;

 private:
  void AskAndSave();

  QString text_;
  QStringList lines_;
  QString destination_;
};

}  // namespace dravik::app
