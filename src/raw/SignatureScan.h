#pragma once
// File Trace: every sector of a range that holds the signature of a chosen
// file type where that type's signature stands (most at the start; tar's
// further in) is a found file, numbered in the order found and named
// by its number and extension. The results are shown as a tree of type
// items, each holding an item per extension.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "raw/Catalogue.h"

namespace dravik {

class SectorReader;
class ScanControl;

struct FoundFile {
  std::u16string extension;
  std::u16string name;  // fileNumber in decimal, then the extension
  std::u16string typeName;
  std::uint32_t fileNumber = 0;  // 1 for the first hit; identifies the file
  std::uint64_t firstSector = 0;
};

struct TraceTexts {
  static constexpr const char* kSearching = "Please wait, Searching for Data...";
  static constexpr const char* kTree = "Please wait creating tree";
};

// The extension a compound-document hit at this sector should take (".doc",
// ".xls", ".ppt" or ".pub").
using OfficeKind = std::function<std::u16string(std::uint64_t firstSector)>;

// Reads from first to last in 64-sector reads; the last read's sectors past
// last are examined too. The reads are scanned on threads (0: one a core)
// with the same result as on one; officeKind must then be safe to call from
// several threads at once. The first group whose signature the sector holds
// at the group's offset decides a hit; for the types whose signature is too
// weak to name a file alone (see SignatureCheck.h) only when the bytes from
// the sector's start pass their check. The content then refines it: a hit that begins a
// member of a signature family (see SignatureFamily.h) takes the extension
// its content names, and a hit of a compound-document type (".doc", ".xls",
// ".ppt", ".pub") the one officeKind gives, when a group of that extension is
// sought; the file then takes that group's type name too. The control's
// counts follow the scan: its file count is the hits so far, its sector the
// one of the last hit or of the read last reported. A stop ends the scan
// with the hits so far.
std::vector<FoundFile> ScanSignatures(const SectorReader& reader, std::uint64_t first, std::uint64_t last,
                                      std::span<const SignatureGroup> groups, const OfficeKind& officeKind,
                                      ScanControl& control, unsigned threads = 0);

// Case-blind comparison of ASCII letters, as the tree and the matching use.
bool SameIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace dravik
