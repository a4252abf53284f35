#include "preview/ViewerFactory.h"

#include "preview/ArchiveViewer.h"
#include "preview/HtmlViewer.h"
#include "preview/MdbViewer.h"
#include "preview/MediaViewer.h"
#include "preview/PdfViewer.h"
#include "preview/PsdViewer.h"
#include "preview/DbfViewer.h"
#include "preview/DxfViewer.h"
#include "preview/RichTextViewer.h"
#include "preview/OfficeViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {

Viewer* MakeViewer(ViewerKind kind, const std::shared_ptr<PreviewWorkspace>& workspace) {
  switch (kind) {
    case ViewerKind::kImage: return new ImageViewer;
    case ViewerKind::kText: return new TextViewer;
    case ViewerKind::kArchive: return new ArchiveViewer;
    case ViewerKind::kAnimation: return new AnimationViewer;
    case ViewerKind::kHtml: return new HtmlViewer;
    case ViewerKind::kPdf: return new PdfViewer;
    case ViewerKind::kDxf: return new DxfViewer;
    case ViewerKind::kRichText: return new RichTextViewer;
    case ViewerKind::kPsd: return new PsdViewer;
    case ViewerKind::kDbf: return new DbfViewer;
    case ViewerKind::kMedia: return new MediaViewer(workspace);
    case ViewerKind::kMdb: return new MdbViewer;
    case ViewerKind::kOffice: return new OfficeViewer(workspace);
    default: return nullptr;
  }
}

}  // namespace dravik::preview
