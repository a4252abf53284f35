#include "preview/ViewerFactory.h"

#include "preview/ArchiveViewer.h"
#include "preview/MdbViewer.h"
#include "preview/MediaViewer.h"
#include "preview/Viewers.h"

namespace dravik::preview {

Viewer* MakeViewer(ViewerKind kind) {
  switch (kind) {
    case ViewerKind::kImage: return new ImageViewer;
    case ViewerKind::kText: return new TextViewer;
    case ViewerKind::kArchive: return new ArchiveViewer;
    case ViewerKind::kMedia: return new MediaViewer;
    case ViewerKind::kMdb: return new MdbViewer;
    default: return nullptr;
  }
}

}  // namespace dravik::preview
