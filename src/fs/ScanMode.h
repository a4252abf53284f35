#pragma once

namespace dravik {

// How the result being shown was found. Snapshots store it as one letter.
enum class ScanMode { kExtensive = 0, kFileTrace = 1, kQuick = 2 };

}  // namespace dravik
