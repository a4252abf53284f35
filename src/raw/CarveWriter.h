#pragma once
// Writing the files File Trace found: each is the carve size from its first
// sector, flat into the destination under the name it is listed with, cut
// where its format records its end when the trim setting is on. What lies
// past the end of the disk is written as zeros.

#include <cstdint>
#include <filesystem>
#include <span>
#include <unordered_set>
#include <vector>

#include "raw/SignatureScan.h"
#include "save/FileWriter.h"

namespace dravik {

// Leaves out of files (in the order found) every hit whose first sector lies
// inside a file found before it whose end its format records within the
// carve size; the files kept are numbered again from 1 and named by their
// new numbers. Returns how many were left out.
std::size_t DropHitsInsideFoundFiles(const SectorReader& reader, std::vector<FoundFile>& files,
                                     std::uint32_t carveSizeMiB);

// Writes one found file into folder; name becomes the name it is written
// under. The deleted setting does not apply (found files are neither live
// nor deleted); the filter and the duplicate setting do.
FileOutcome ExtractCarvedFile(const SaveContext& context, const std::filesystem::path& folder, const FoundFile& file,
                              std::uint32_t carveSizeMiB, bool forSave, std::u16string& name);

// Writes the found files whose numbers are checked into destination (made
// when missing), in the order found; returns the counts.
SaveSummary SaveCarvedFiles(const SaveContext& context, std::span<const FoundFile> files,
                            const std::unordered_set<std::uint32_t>& checked, std::uint32_t carveSizeMiB,
                            const std::filesystem::path& destination);

}  // namespace dravik
