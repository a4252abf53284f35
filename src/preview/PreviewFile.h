#pragma once
// The bytes of a file to preview, read whole: nothing when it cannot be read
// or is larger than the preview limit, so a reader never sees more.

#include <QByteArray>
#include <QString>
#include <optional>

#include "util/Bytes.h"

namespace dravik::preview {

std::optional<QByteArray> ReadPreviewFile(const QString& path);

inline Bytes AsBytes(const QByteArray& bytes) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

}  // namespace dravik::preview
