#include "preview/PreviewRules.h"

#include <QHash>

namespace dravik::preview {

namespace {

struct Entry {
  const char* extensions;
  ViewerKind kind;
};

// Every extension a viewer is chosen for, by viewer.
constexpr Entry kTable[] = {
    {".png .j2k .jp2 .j2c .jpc .jpeg .pcx .pnm .pgm .ppm .bmp .tga .tif .tiff .jpg .ico", ViewerKind::kImage},
    {".gif", ViewerKind::kAnimation},
    {".htm .html .mht .ddoc", ViewerKind::kHtml},
    {".pdf", ViewerKind::kPdf},
    {".rtf", ViewerKind::kRichText},
    {".txt .ini .xml .log .cpp .hpp .c .h", ViewerKind::kText},
    {".zip .cab .rar .gz", ViewerKind::kArchive},
    {".psd", ViewerKind::kPsd},
    {".dbf", ViewerKind::kDbf},
    {".mdb", ViewerKind::kMdb},
    {".dxf", ViewerKind::kDxf},
    {".avi .wmv .asf .wm .wma .wav .snd .au .aif .mpeg .mpg .m1v .mp2 .mpa .mid .rmi .midi .dvr-ms .wvx .wmx .asx "
     ".mp3 .dat .mp4",
     ViewerKind::kMedia},
    {".doc .docx .xls .xlsx .ppt .pptx .emf", ViewerKind::kOffice},
};

QHash<QString, ViewerKind> BuildTable() {
  QHash<QString, ViewerKind> table;
  for (const Entry& entry : kTable)
    for (const QString& extension : QString::fromLatin1(entry.extensions).split(QLatin1Char(' ')))
      table.insert(extension, entry.kind);
  return table;
}

}  // namespace

QString PreviewExtension(const QString& name) {
  const QString lower = name.toLower();
  return QLatin1Char('.') + lower.mid(lower.lastIndexOf(QLatin1Char('.')) + 1);
}

ViewerKind ViewerFor(const QString& extension) {
  static const QHash<QString, ViewerKind> table = BuildTable();
  return table.value(extension, ViewerKind::kNone);
}

ViewerKind ViewerForFile(const QString& name, std::uint64_t size) {
  const ViewerKind kind = ViewerFor(PreviewExtension(name));
  if (kind == ViewerKind::kNone) return kind;
  return size > kPreviewLimit ? ViewerKind::kLargeFile : kind;
}

}  // namespace dravik::preview
