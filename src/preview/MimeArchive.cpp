#include "preview/MimeArchive.h"

#include <QByteArrayList>
#include <QRegularExpression>
#include <cctype>

namespace dravik::preview {

namespace {

// At most this many parts are read: a message is at most a few megabytes,
// but a hostile one could consist of nothing but boundaries.
constexpr int kMaxParts = 10000;

struct Part {
  QHash<QByteArray, QByteArray> headers;  // lower-cased names, unfolded values
  QByteArray body;
};

Part SplitPart(const QByteArray& bytes) {
  Part part;
  qsizetype end = bytes.indexOf("\r\n\r\n");
  qsizetype gap = 4;
  const qsizetype lf = bytes.indexOf("\n\n");
  if (lf >= 0 && (end < 0 || lf < end)) {
    end = lf;
    gap = 2;
  }
  if (end < 0) {
    end = bytes.size();
    gap = 0;
  }
  QByteArray last;
  for (QByteArray line : bytes.left(end).split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.trimmed().isEmpty()) continue;
    if ((line[0] == ' ' || line[0] == '\t') && !last.isEmpty()) {
      part.headers[last] += ' ' + line.trimmed();
      continue;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) continue;
    last = line.left(colon).trimmed().toLower();
    part.headers[last] = line.mid(colon + 1).trimmed();
  }
  part.body = bytes.mid(end + gap);
  return part;
}

// A parameter of a header value: boundary="x" or charset=utf-8.
QByteArray Parameter(const QByteArray& value, const char* name) {
  const QRegularExpression pattern(QStringLiteral("(?:^|;)\\s*%1\\s*=\\s*(\"([^\"]*)\"|[^;\\s]+)")
                                       .arg(QLatin1String(name)),
                                   QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(value));
  if (!match.hasMatch()) return {};
  return (match.capturedLength(2) > 0 || match.captured(1).startsWith('"') ? match.captured(2) : match.captured(1))
      .toLatin1();
}

QByteArray DecodeQuotedPrintable(const QByteArray& bytes) {
  QByteArray out;
  out.reserve(bytes.size());
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '=') {
      out += bytes[i];
      continue;
    }
    if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      i += 1;  // soft line break
    } else if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
      i += 2;
    } else if (i + 2 < bytes.size() && std::isxdigit(static_cast<unsigned char>(bytes[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(bytes[i + 2]))) {
      out += static_cast<char>(bytes.mid(i + 1, 2).toInt(nullptr, 16));
      i += 2;
    } else {
      out += '=';
    }
  }
  return out;
}

QByteArray DecodeBody(const Part& part) {
  const QByteArray encoding = part.headers.value("content-transfer-encoding").toLower();
  if (encoding == "base64") return QByteArray::fromBase64(part.body);
  if (encoding == "quoted-printable") return DecodeQuotedPrintable(part.body);
  return part.body;
}

QByteArrayList SplitByBoundary(const QByteArray& body, const QByteArray& boundary) {
  const QByteArray marker = "--" + boundary;
  QByteArrayList parts;
  qsizetype at = body.indexOf(marker);
  while (at >= 0 && parts.size() < kMaxParts) {
    qsizetype start = at + marker.size();
    if (body.mid(start, 2) == "--") break;  // the closing boundary
    while (start < body.size() && body[start] != '\n') ++start;
    const qsizetype next = body.indexOf(marker, start);
    QByteArray part = body.mid(start + 1, next < 0 ? -1 : next - start - 1);
    if (part.endsWith('\n')) part.chop(1);
    if (part.endsWith('\r')) part.chop(1);
    parts << part;
    at = next;
  }
  return parts;
}

}  // namespace

std::optional<MimeArchive> ReadMimeArchive(const QByteArray& bytes) {
  const Part message = SplitPart(bytes);
  const QByteArray type = message.headers.value("content-type");
  const QByteArray boundary = Parameter(type, "boundary");
  MimeArchive archive;
  if (boundary.isEmpty()) {
    if (!type.isEmpty() && !type.toLower().startsWith("text/html")) return std::nullopt;
    archive.page = message.headers.isEmpty() ? bytes : DecodeBody(message);
    archive.pageCharset = QString::fromLatin1(Parameter(type, "charset"));
    return archive;
  }
  bool havePage = false;
  for (const QByteArray& bytesOfPart : SplitByBoundary(message.body, boundary)) {
    const Part part = SplitPart(bytesOfPart);
    const QByteArray partType = part.headers.value("content-type").toLower();
    const QByteArray body = DecodeBody(part);
    if (!havePage && partType.startsWith("text/html")) {
      archive.page = body;
      archive.pageCharset = QString::fromLatin1(Parameter(part.headers.value("content-type"), "charset"));
      havePage = true;
    }
    const QByteArray location = part.headers.value("content-location");
    if (!location.isEmpty()) archive.resources.insert(QString::fromUtf8(location), body);
    QByteArray id = part.headers.value("content-id");
    if (id.startsWith('<') && id.endsWith('>')) id = id.mid(1, id.size() - 2);
    if (!id.isEmpty()) archive.resources.insert(QStringLiteral("cid:") + QString::fromUtf8(id), body);
  }
  if (!havePage) return std::nullopt;
  return archive;
}

}  // namespace dravik::preview
