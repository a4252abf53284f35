#pragma once
// Telling Word, Excel, PowerPoint and Publisher files apart: a compound
// file (the container of the older Office formats) read in memory far
// enough to find its SummaryInformation property set and the name of the
// program that wrote it.

#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"

namespace dravik {

class SectorReader;

// The "AppName" of the compound file these bytes begin with; empty when
// they hold no compound file, or it has no such property (or not within
// the bytes given).
std::string CompoundAppName(Bytes file);

// ".ppt" when the name holds "PowerPoint", else ".xls" for "Excel", else
// ".doc" for "Word", else ".pub".
std::u16string OfficeExtensionOfAppName(const std::string& appName);

// The kind of the compound file these bytes begin with: by its AppName as
// above, else (no AppName) by the stream its program keeps the document in
// ("PowerPoint Document", "Workbook" or "Book", "WordDocument"), else ".pub".
std::u16string OfficeKindOfCompound(Bytes file);

// The length of the compound file these bytes begin with: up to its last
// sector in use; none when they hold no compound file.
std::optional<std::uint64_t> CompoundFileLength(Bytes file);

// The kind of the compound file at the sector, from its first MiB.
std::u16string DetermineOfficeKind(const SectorReader& reader, std::uint64_t firstSector);

}  // namespace dravik
