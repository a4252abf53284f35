#pragma once
// The passes that turn the MFT and index records of an NTFS sector search
// into found file systems, in this order: each found folder is given its MFT
// record number (the one its record carries, else from the index entries
// that name it, else from its place beside a numbered folder), only the
// first index record of each folder is kept, folders are given to the
// volumes their boot sectors describe when their index records lie where
// those say (a boot sector being the first of its volume or the backup in
// its last sector), then to the volumes that the places of folders' index
// records and of the MFT's records vote for (see NtfsPlacement.h), whose
// ends come from the volumes themselves (see NtfsVolumeEnd.h); the folders
// left over go to the volume that holds their records, else to that of the
// folder before them. The passes run whole also after a stopped search, on
// what it collected.

#include <cstdint>

#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

class Diagnostics;

class SectorReader;
class ScanControl;

struct NtfsAnalysisTexts {
  static constexpr const char* kAssignStep2 = "Assigning MFT numbers ( Step 2/2 )...";
  static constexpr const char* kDeleting = "Deleting unused index entries...";
  static constexpr const char* kUnassigned = "Searching for unassigned entries...";
  static constexpr const char* kClassifyStep1 = "Analyzing Classification ( Step 1/2 ) - ";
  static constexpr const char* kClassifyStep2 = "Analyzing Classification ( Step 2/2 ) - ";
};

void AssignMftNumbers(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control);
void DeleteUnusedIndexEntries(ExtensiveFindings& findings, ScanControl& control);
// Why a boot sector found was not taken goes into diagnostics.
void ClassifyWithBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control,
                             Diagnostics& diagnostics);
void ClassifyWithoutBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control);
void AssignUnassignedEntries(ExtensiveFindings& findings, ScanControl& control);

// Gives the unassigned folders with records in (low, high] whose first index
// record lies, for a volume of this cluster 0 and cluster size, at its
// cluster, the next file-system number; true when any took it.
bool Classify(const SectorReader& reader, ExtensiveFindings& findings, std::uint64_t base,
              std::uint32_t sectorsPerCluster, std::uint64_t low, std::uint64_t high, int step, ScanControl& control);

// The five passes, in order.
void AnalyzeNtfsFindings(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control,
                         Diagnostics& diagnostics);

}  // namespace dravik
