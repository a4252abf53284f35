#include "app/wizard/ImageOpening.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>

#include "app/AppTexts.h"
#include "fs/LostBlockPlacement.h"

namespace dravik::app {

namespace {

// Reading as a raw disk can help a file that was read but holds no image of
// its kind (or no kind its name tells); not one that cannot be read at all
// or that was read as a raw disk already.
bool RawRoadMayHelp(const QString& path, const OpenResult& failed) {
  const QFileInfo file(path);
  return failed.kind != ImageKind::kRaw && file.isFile() && file.isReadable() && file.size() > 0;
}

}  // namespace

bool OpenDisk(Session& session, Messenger& messenger, const QString& path, OpenRequest& request) {
  const std::string native = QFile::encodeName(path).toStdString();
  OpenResult opened = dravik::OpenImage(session.disk, native, request);
  if (!opened.Usable()) {
    messenger.Show(QString::fromStdString(opened.message), MessageKind::kError);
    if (!RawRoadMayHelp(path, opened) || !messenger.Ask(AppTexts::kReadAsRawQuestion)) return false;
    request.asRaw = true;
    opened = dravik::OpenImage(session.disk, native, request);
    if (!opened.Usable()) {
      messenger.Show(QString::fromStdString(opened.message), MessageKind::kError);
      return false;
    }
  }
  PlaceLostBlocks(session.disk);
  return true;
}

bool AcceptChainWarnings(const Session& session, Messenger& messenger) {
  const auto& warnings = session.disk.Chain().warnings;
  if (warnings.empty()) return true;
  QString text = QObject::tr("The image opened, but:");
  for (const std::string& warning : warnings) text += QStringLiteral("\n• ") + QString::fromStdString(warning);
  text += QObject::tr("\n\nWhat the missing or mismatched parts hold reads as zeros or may not belong to this disk."
                      "\nDo you want to go on with this image?");
  return messenger.Ask(text);
}

void TakeOpenedImage(Session& session, const QString& path, bool asRaw) {
  session.imageKind = session.disk.CurrentImageKind();
  session.drives = {};
  RegisterImage(session.drives, session.disk);
  session.lastImage = QFile::encodeName(path).toStdString();
  session.lastAsRaw = asRaw;
}

}  // namespace dravik::app
