#pragma once
// Writes a file of an NTFS volume from its MFT record: resident data from the
// record itself, non-resident data through its run list (sparse runs as
// holes, compressed units decompressed), exactly its size, stamped with its
// modification and access times.

#include <filesystem>
#include <string>

#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

namespace ntfs {
class MftRunTable;
}

// Writes the file into folder and counts how it went in the context's
// SaveControl; name becomes the name it is written under. A record without
// data is passed over; one whose data it no longer describes (resident data
// running past the record, a damaged run list) fails the file unwritten.
// The MFT's runs (none: the base record only) lead the data into extension
// records.
FileOutcome ExtractNtfsFile(const SaveContext& context, const ntfs::MftRunTable* mftRuns,
                            const std::filesystem::path& folder, const FileRecord& file, bool forSave,
                            std::u16string& name);

}  // namespace dravik
