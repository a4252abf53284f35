#include "preview/PreviewFile.h"

#include <QFile>

#include "preview/PreviewRules.h"

namespace dravik::preview {

std::optional<QByteArray> ReadPreviewFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray bytes = file.read(static_cast<qint64>(kPreviewLimit) + 1);
  if (bytes.size() > static_cast<qsizetype>(kPreviewLimit)) return std::nullopt;
  return bytes;
}

}  // namespace dravik::preview
