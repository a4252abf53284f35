#pragma once
// Which viewer shows a file: the extension rule (lower-cased, "." and the
// text after the last "."), the size above which a file is not extracted,
// and the table from extension to viewer.

#include <QString>
#include <cstdint>

namespace dravik::preview {

// Files larger than this are shown as too large, never extracted.
inline constexpr std::uint64_t kPreviewLimit = 5242880;

enum class ViewerKind { kNone, kLargeFile, kImage, kText, kArchive };

// ".zip" for "A.ZIP"; a name without a dot gives "." and the whole name.
QString PreviewExtension(const QString& name);
// The viewer of an extension as PreviewExtension gives it; kNone for the
// types no viewer of this build shows.
ViewerKind ViewerFor(const QString& extension);
// The viewer for a file of this name and size: kNone or kLargeFile need no extraction.
ViewerKind ViewerForFile(const QString& name, std::uint64_t size);

}  // namespace dravik::preview
