#pragma once
// What the user chose for names that already exist and for deleted items.

#include <cstdint>

namespace dravik {

enum class DuplicateMode : std::uint16_t { kRename = 1, kOverwrite = 2, kSkip = 3 };
enum class DeletedMode : std::uint16_t { kInclude = 1, kOnly = 2, kExclude = 3 };

struct RecoverySettings {
  DuplicateMode duplicates = DuplicateMode::kRename;
  DeletedMode deleted = DeletedMode::kInclude;
  std::uint32_t sectorsPerRead = 100;  // the sector search's read size
  std::uint16_t retries = 3;
  // Carved files end where their format records its end (within the carve
  // size); off, every carved file has the carve size.
  bool trimCarved = true;
  // File Trace leaves out the hits that lie inside a file found before them
  // whose format records where it ends (a JPEG's thumbnail inside it, a
  // class file inside an uncompressed archive).
  bool skipHitsInsideFound = true;
};

}  // namespace dravik
