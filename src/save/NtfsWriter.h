#pragma once
// Writes a file of an NTFS volume from its MFT record: resident data from the
// record itself, non-resident data through its run list (sparse runs as
// holes, compressed units decompressed), exactly its size, stamped with its
// creation time.

#include <filesystem>
#include <string>

#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

// True when done with the file (written, or given up without an error worth
// reporting); false when it was passed over or cannot be written (no data
// attribute, resident data running past the record, a damaged run list).
bool ExtractNtfsFile(const SaveContext& context, const std::filesystem::path& folder, const NtfsFileRecord& file,
                     bool forSave, std::u16string& name);

}  // namespace dravik
