#pragma once
// The one place that knows which class shows a viewer kind.

#include "preview/PreviewRules.h"

namespace dravik::preview {

class Viewer;

// A new viewer of that kind; nullptr for kNone, kLargeFile and kinds without one.
Viewer* MakeViewer(ViewerKind kind);

}  // namespace dravik::preview
