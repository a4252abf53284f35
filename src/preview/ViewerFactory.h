#pragma once
// The one place that knows which class shows a viewer kind.

#include <memory>

#include "preview/PreviewRules.h"

namespace dravik::preview {

class PreviewWorkspace;
class Viewer;

// A new viewer of that kind; nullptr for kNone, kLargeFile and kinds without
// one. Viewers that write files or start programs do so inside workspace.
Viewer* MakeViewer(ViewerKind kind, const std::shared_ptr<PreviewWorkspace>& workspace);

}  // namespace dravik::preview
