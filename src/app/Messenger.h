#pragma once
// Every message to the user goes through one function with a text and a
// kind; the caption is always the product name. Tests put a function of
// their own in its place and answer the questions.

#include <QString>
#include <QStringList>
#include <functional>

class QMessageBox;
class QWidget;

namespace dravik::app {

enum class MessageKind { kInformation = 1, kError = 2, kQuestion = 3, kNotice = 4 };

// Answers: 1 for Yes (or OK), 2 for No, 3 for Cancel (stay where you are).
constexpr int kYes = 1;
constexpr int kNo = 2;
constexpr int kCancel = 3;

class Messenger {
 public:
  // text, kind, whether Yes and No are asked (otherwise only OK).
  using Function = std::function<int(const QString& text, MessageKind kind, bool yesNo)>;

  // text, kind, and the lines of a list that goes with it (files a save could not write whole).
  using ReportFunction = std::function<void(const QString& text, MessageKind kind, const QStringList& lines)>;

  explicit Messenger(QWidget* parent = nullptr);
  // Replaces the message boxes; reports then come as their text alone,
  // until SetReportFunction gives them a function of their own, and
  // questions with Cancel go to the same function (which may answer kCancel).
  void SetFunction(Function function) {
    function_ = std::move(function);
    cancellable_ = [this](const QString& text) { return function_(text, MessageKind::kQuestion, true); };
    report_ = nullptr;
    ownReport_ = false;
  }
  void SetReportFunction(ReportFunction report) {
    report_ = [report = std::move(report)](const QString& text, MessageKind kind, const QStringList& lines,
                                           const QString&) { report(text, kind, lines); };
    ownReport_ = false;
  }

  int Show(const QString& text, MessageKind kind) const { return function_(text, kind, false); }
  bool Ask(const QString& text) const { return function_(text, MessageKind::kQuestion, true) == kYes; }
  // A question that would lose work: Yes, No or Cancel (also Escape and
  // anything but Yes or No); kYes, kNo or kCancel.
  int AskOrCancel(const QString& text) const {
    const int answer = cancellable_(text);
    return answer == kYes || answer == kNo ? answer : kCancel;
  }
  // A message with a list below it; a plain message when the list is empty.
  // With a destination (the folder a save wrote into), the program's own
  // report window is shown even without a list, so that the folder can be
  // opened from it; a report function of a test gets only the reports with a list.
  void Report(const QString& text, MessageKind kind, const QStringList& lines, const QString& destination = {}) const {
    if (report_ && (!lines.isEmpty() || (ownReport_ && !destination.isEmpty())))
      report_(text, kind, lines, destination);
    else
      Show(text, kind);
  }

 private:
  Function function_;
  std::function<int(const QString& text)> cancellable_;
  std::function<void(const QString& text, MessageKind kind, const QStringList& lines, const QString& destination)>
      report_;
  bool ownReport_ = true;
};

// The message box on screen; withCancel adds Cancel to Yes and No.
int ShowMessageBox(QWidget* parent, const QString& text, MessageKind kind, bool yesNo, bool withCancel = false);
// Gives box the caption, text, icon and buttons ShowMessageBox shows: No is
// the default and the answer to Escape, or Cancel where it is offered, so
// that a stray key never throws work away.
void SetUpMessageBox(QMessageBox& box, const QString& text, MessageKind kind, bool yesNo, bool withCancel = false);

}  // namespace dravik::app
