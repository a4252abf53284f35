#pragma once
// Writes a file of a FAT volume: its clusters through the FAT chain (first
// copy, second copy, or the clusters that follow its first one), exactly its
// size, stamped with its date.

#include <filesystem>
#include <string>

#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

// True when done with the file (written, or given up without an error worth
// reporting); false when it was passed over. name may be changed by a rename.
bool ExtractFatFile(const SaveContext& context, const std::filesystem::path& folder, const FatFileRecord& file,
                    bool forSave, std::u16string& name);

}  // namespace dravik
