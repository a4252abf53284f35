#pragma once
// Which viewer shows a file: the extension rule (lower-cased, "." and the
// text after the last "."), the size above which a file is not extracted,
// and the table from extension to viewer.

#include <QString>
#include <cstdint>

namespace dravik::preview {

// Files larger than this are shown as too large, never extracted.
inline constexpr std::uint64_t kPreviewLimit = 5242880;

enum class ViewerKind {
  kNone,
  kLargeFile,
  kImage,       // pictures and icons
  kAnimation,   // ".gif", animated when it has frames
  kHtml,        // web pages and web archives, nothing loaded from outside the file
  kPdf,
  kRichText,    // ".rtf"
  kText,        // plain text and source files
  kArchive,     // zip, cab, rar, gzip listings
  kPsd,
  kDbf,
  kMdb,
  kDxf,
  kMedia,       // audio and video
  kOffice,      // documents converted by an office suite, when one is installed
};

// ".zip" for "A.ZIP"; a name without a dot gives "." and the whole name.
QString PreviewExtension(const QString& name);
// The viewer of an extension as PreviewExtension gives it; kNone for types
// without a viewer.
ViewerKind ViewerFor(const QString& extension);
// The viewer for a file of this name and size: kNone or kLargeFile need no extraction.
ViewerKind ViewerForFile(const QString& name, std::uint64_t size);

}  // namespace dravik::preview
