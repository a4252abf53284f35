// dravik-vhd: the desktop program. One instance per user; an optional path
// on the command line (an image, or a snapshot) is opened at start.

#include <QApplication>
#include <QIcon>

#include "app/AppTexts.h"
#include "app/MainWindow.h"
#include "app/Messenger.h"
#include "app/SingleInstance.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(dravik::app::AppTexts::kProduct);
  QApplication::setOrganizationName(dravik::app::AppTexts::kProduct);
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("dravik-vhd")));

  dravik::app::SingleInstance instance;
  if (!instance.Acquire()) {
    dravik::app::ShowMessageBox(nullptr, dravik::app::AppTexts::kAnotherInstance,
                                dravik::app::MessageKind::kInformation, false);
    return 0;
  }
  dravik::app::MainWindow window;
  window.show();
  const QStringList args = QApplication::arguments();
  if (args.size() > 1)
    window.OpenPath(args.at(1));
  else
    window.OpenLastDocument();
  return QApplication::exec();
}
