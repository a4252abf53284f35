#include "preview/PreviewRules.h"

#include <QStringList>

namespace dravik::preview {

QString PreviewExtension(const QString& name) {
  const QString lower = name.toLower();
  return QLatin1Char('.') + lower.mid(lower.lastIndexOf(QLatin1Char('.')) + 1);
}

ViewerKind ViewerFor(const QString& extension) {
  static const QStringList kImages = {".png", ".j2k", ".jp2", ".j2c", ".jpc",  ".jpeg", ".pcx", ".pnm",
                                      ".pgm", ".ppm", ".bmp", ".tga", ".tif", ".tiff", ".jpg", ".gif", ".ico"};
  static const QStringList kTexts = {".txt", ".ini", ".xml", ".log", ".cpp", ".hpp", ".c", ".h"};
  if (kImages.contains(extension)) return ViewerKind::kImage;
  if (kTexts.contains(extension)) return ViewerKind::kText;
  static const QStringList kArchives = {".zip", ".cab", ".rar", ".gz"};
  if (kArchives.contains(extension)) return ViewerKind::kArchive;
  return ViewerKind::kNone;
}

ViewerKind ViewerForFile(const QString& name, std::uint64_t size) {
  const ViewerKind kind = ViewerFor(PreviewExtension(name));
  if (kind == ViewerKind::kNone) return kind;
  return size > kPreviewLimit ? ViewerKind::kLargeFile : kind;
}

}  // namespace dravik::preview
