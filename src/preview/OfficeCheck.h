#pragma once
// Whether the bytes of an office document are whole enough to hand to the
// converter. LibreOffice imports what it cannot recognise as plain text, so a
// recovered file of random bytes or a cut-off copy would otherwise come back
// as pages of garbage; a file that fails here gets the no-preview notice.
//
//   ".docx" ".xlsx" ".pptx"  a zip: local header at 0, end record, central
//                            directory inside the file
//   ".doc" ".xls" ".ppt"     a compound file: header signature, sector size,
//                            every sector the allocation table uses inside the file
//   ".emf"                   the header record, then records up to the size the
//                            header gives, the last one the end-of-file record

#include <QByteArray>
#include <QString>

namespace dravik::preview {

bool LooksLikeWholeZip(const QByteArray& bytes);
bool LooksLikeWholeCompoundFile(const QByteArray& bytes);
bool LooksLikeWholeEmf(const QByteArray& bytes);

// The check of an extension as PreviewExtension gives it (".docx");
// false for extensions that are not office documents.
bool LooksLikeWholeOfficeFile(const QByteArray& bytes, const QString& extension);

}  // namespace dravik::preview
