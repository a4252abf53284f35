#include "preview/ViewerFactory.h"

#include "preview/ArchiveViewer.h"
#include "preview/DbfViewer.h"
#include "preview/PsdViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {

Viewer* MakeViewer(ViewerKind kind) {
  switch (kind) {
    case ViewerKind::kImage: return new ImageViewer;
    case ViewerKind::kText: return new TextViewer;
    case ViewerKind::kArchive: return new ArchiveViewer;
    case ViewerKind::kPsd: return new PsdViewer;
    case ViewerKind::kDbf: return new DbfViewer;
    default: return nullptr;
  }
}

}  // namespace dravik::preview
