#pragma once
// Writes a file of an ext volume from its inode: through its extents or
// block map (holes and unwritten extents as holes of zeros), or from the
// inode itself (inline data, a short symlink's target). A symlink is saved
// as a small file holding its target. Exactly the size the scan listed,
// stamped with the modification and access times.

#include <filesystem>
#include <string>

#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

namespace ext {
class ExtVolume;
class Journal;
}

// Writes the file into folder and counts how it went in the context's
// SaveControl; name becomes the name it is written under. Without a volume
// (its superblock does not read), or when the inode or its map no longer
// read, the file fails unwritten. A file whose locator names a journal copy
// is read through the inode in that copy, which needs the journal.
FileOutcome ExtractExtFile(const SaveContext& context, const ext::ExtVolume* volume, const ext::Journal* journal,
                           const std::filesystem::path& folder, const FileRecord& file, bool forSave,
                           std::u16string& name);

}  // namespace dravik
