#pragma once
// The file-system families the engine reads. Each is registered once (see
// FamilyRegistry.h); code outside a family's own folder asks the registry
// instead of branching on the value.

namespace dravik {

enum class FsFamily { kFat, kNtfs, kExt };

}  // namespace dravik
