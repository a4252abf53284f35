#pragma once
// Writes a file of a FAT volume: its clusters through the FAT chain (first
// copy, second copy, or the clusters that follow its first one), exactly its
// size, stamped with its date.

#include <filesystem>
#include <string>

#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

// Writes the file into folder and counts how it went in the context's
// SaveControl; name becomes the name it is written under.
FileOutcome ExtractFatFile(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                           bool forSave, std::u16string& name);

}  // namespace dravik
