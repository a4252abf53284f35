#include "preview/ViewerFactory.h"

#include "preview/ArchiveViewer.h"
#include "preview/OfficeViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {

Viewer* MakeViewer(ViewerKind kind) {
  switch (kind) {
    case ViewerKind::kImage: return new ImageViewer;
    case ViewerKind::kText: return new TextViewer;
    case ViewerKind::kArchive: return new ArchiveViewer;
    case ViewerKind::kOffice: return new OfficeViewer;
    default: return nullptr;
  }
}

}  // namespace dravik::preview
