#include "preview/PsdViewer.h"

#include "preview/PreviewFile.h"
#include "preview/PsdReader.h"

namespace dravik::preview {

bool PsdViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  const PsdRead read = ReadPsd(AsBytes(*bytes));
  if (!read.picture) return false;
  const PsdPicture& p = *read.picture;
  const QImage image(p.rgba.data(), static_cast<int>(p.width), static_cast<int>(p.height),
                     static_cast<qsizetype>(p.width) * 4, QImage::Format_RGBA8888);
  // A copy that owns its pixels: the reader's buffer goes with this function.
  return Show(image.copy());
}

}  // namespace dravik::preview
