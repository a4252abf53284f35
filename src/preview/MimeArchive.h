#pragma once
// A web archive (".mht"): a MIME message whose first HTML part is the page
// and whose other parts are the pictures and styles it refers to, by
// Content-Location or by Content-ID.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

namespace dravik::preview {

struct MimeArchive {
  QByteArray page;                       // the HTML part, decoded from its transfer encoding
  QString pageCharset;                   // from its Content-Type, may be empty
  QHash<QString, QByteArray> resources;  // by Content-Location and by "cid:" + Content-ID
};

// Nothing when the bytes hold no HTML part. A message that is not multipart
// is one part: the page itself.
std::optional<MimeArchive> ReadMimeArchive(const QByteArray& bytes);

}  // namespace dravik::preview
