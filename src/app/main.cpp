// dravik-vhd: the desktop program. One instance per user; an optional path
// on the command line (an image, or a snapshot) is opened at start. A later
// start with a path hands it to the running window instead.

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

  const QStringList args = QApplication::arguments();
  dravik::app::SingleInstance instance;
  if (!instance.Acquire()) {
    // Without a path, or when the running program does not answer, the
    // second start only says that one is running.
    if (args.size() > 1 && instance.HandOver(args.at(1))) return 0;
    dravik::app::ShowMessageBox(nullptr, dravik::app::AppTexts::kAnotherInstance,
                                dravik::app::MessageKind::kInformation, false);
    return 0;
  }
  dravik::app::MainWindow window;
  QObject::connect(&instance, &dravik::app::SingleInstance::PathReceived, &window,
                   &dravik::app::MainWindow::OpenHandedOver);
  window.show();
  if (args.size() > 1)
    window.OpenPath(args.at(1));
  else
    window.OpenLastDocument();
  return QApplication::exec();
}
