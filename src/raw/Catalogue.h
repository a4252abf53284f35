#pragma once
// The catalogue of file types that File Trace can look for, read from
// "Raw.dat" (beside the program, or in share/dravik of its installation),
// and the choice the user makes from it: the signature groups the scan
// looks for and the carve size.
//
// Raw.dat is a run of records up to the end of the file, no header. Lengths
// are 16-bit little-endian; texts are 8-bit characters without terminator.
//
//   size     field
//   2        record word (not used)
//   1        category digit '0'..'9'
//   2 + n    extension, e.g. ".jpg"
//   2 + n    type name
//   2 + n    signature length, decimal digits; "@" and more digits after
//            them give the signature's offset in the sector (0 without)
//   2 + n    signature bytes
//   2 + n    extra bytes (only carried into snapshots)

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace dravik {

// The scan compares no more than the first 15 bytes of a sector.
inline constexpr std::size_t kMaxSignatureBytes = 15;

struct CatalogueEntry {
  std::uint32_t index = 0;  // position of the record in the file, from 0
  char category = 0;        // the record's category byte
  std::string extension;
  std::string typeName;
  std::string signatureLength;  // decimal text, as the record holds it (perhaps "5@257")
  std::string signature;        // upper-case hexadecimal, two characters a byte
  std::string extra;            // upper-case hexadecimal
};

// A category item of the choice tree and the entries listed under it (those
// with an extension), in file order.
struct CatalogueCategory {
  std::string name;
  std::vector<std::size_t> items;  // indices into Catalogue::entries
};

struct Catalogue {
  std::vector<CatalogueEntry> entries;
  std::vector<CatalogueCategory> categories;  // in the order of their first item
};

// "Archive Files" for '0' ... "Other Files" for '9'; any other byte names
// its category by that character itself.
std::string CategoryName(char digit);

// Where a program in programFolder keeps the catalogue: Raw.dat beside it
// (as in the build), else in the data folder of its installation, reached
// from the program's folder by dataFromProgram (as "../share/dravik"), so an
// installation works wherever it was put. Beside it when neither exists.
std::filesystem::path CatalogueFileOf(const std::filesystem::path& programFolder, const std::string& dataFromProgram);

// Reads records until the end of the bytes; a record cut short by the end
// is read with the bytes that remain (the missing ones as zeros).
Catalogue ReadCatalogue(Bytes file);
// The catalogue of the file; none when it cannot be read (the choice then
// offers nothing to check).
std::optional<Catalogue> LoadCatalogue(const std::filesystem::path& path);

// One file type the scan looks for.
struct SignatureGroup {
  std::u16string extension;
  std::u16string typeName;
  std::uint32_t signatureLength = 0;
  std::string signature;  // hexadecimal text
  std::uint32_t extraValue = 0;
  std::uint32_t signatureOffset = 0;  // where in the sector the signature stands
};

// The types chosen for a File Trace and how much is recovered per found file.
struct TraceChoice {
  std::vector<SignatureGroup> groups;
  std::uint32_t carveSizeMiB = 0;  // 0 until a choice is confirmed
};

struct CatalogueTexts {
  static constexpr const char* kPrompt =
      "What file types would you like to recover? [Please check file types] and click [Ok] to continue with "
      "recovery.";
  static constexpr const char* kNothingChecked =
      "Please select a file types and then \r\nclick [Scan] to continue with recovery.";
  static constexpr const char* kSizeLabel = "Recover files upto";
};

// The entries of the carve-size list: "1 MB" to "20 MB", then "25 MB" to
// "50 MB" in steps of 5.
std::vector<std::string> CarveSizeEntries();
// The mebibytes an entry of that list names; 0 for a position past it.
std::uint32_t CarveSizeOfEntry(std::size_t position);
// The entry to preselect: the one naming the last choice, else "2 MB".
std::size_t PreselectedCarveEntry(std::uint32_t carveSizeMiB);

// The dialog's OK with the given items checked (each an index into
// catalogue.entries of an entry that has a tree item). With nothing checked
// the choice stays as it was and false is returned (show kNothingChecked).
// Otherwise the carve size is set and, for every checked item, a group for
// every entry whose extension equals the item's label is appended, in
// catalogue order; the list is not emptied first.
bool ConfirmTypes(const Catalogue& catalogue, std::span<const std::size_t> checkedItems, std::uint32_t carveSizeMiB,
                  TraceChoice& choice);

// The leading decimal digits of a text as a number ("12" 12, "1A" 1, "" 0).
std::uint32_t LeadingDecimal(std::string_view text);
// The offset a signature length field names after its "@" ("5@257" 257); 0
// when it names none.
std::uint32_t SignatureOffsetOf(std::string_view lengthText);

}  // namespace dravik
