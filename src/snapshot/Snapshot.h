#pragma once
// A scan's result kept in a file: the selected partition, the parameters of
// its file system and every recovered record, or a File Trace's signature
// groups and found files.
//
// Layout (little-endian, no padding, texts UTF-16LE with a terminator):
//   header     2  the mode letter "D" Quick Scan, "A" Extensive Scan, "R" File
//                 Trace (UTF-16, no terminator)
//              7  the first 7 bytes of u"dvs4.03"
//              3  the first 3 bytes of u"1.0", or of u"2.0" for a snapshot
//                 with sector numbers past 32 bits (see below)
//   partition  code 2, first sector 4, sectors 4, last sector 4, number 2,
//              then fsType 2, fatSize, sectorsPerCluster, rootDirSectors,
//              reservedSectors, clusterBase, firstFatLba, secondFatLba,
//              mftStart, mftMirrorStart, mftRecordSectors,
//              indexRecordSectors, fsEnd (4 each), fsIndex 2
//   body       by fsType: FAT folders and files, NTFS folders and files, or
//              for File Trace the groups and the found files; each list a
//              32-bit count, each record a 16-bit length word (the record's
//              bytes after it) and its fields
//   trailer    drive index 2, device kind 2
//
// Version 2.0 widens every sector number (the partition's first sector,
// sectors and last sector; clusterBase, the FAT, MFT and mirror positions,
// fsEnd; an NTFS file's record sector; a found file's first sector) to 64
// bits in place; it is written only when one of them does not fit 32 bits.
//
// Version 3.0 is the layout of ext volumes: the head as in 2.0, then ext
// folders (name, inode, parent inode, created, modified and accessed times,
// deleted) and files (name, inode, parent inode, key, inode of the data,
// the three times, deleted, size). Older versions never hold ext volumes.
//
// A FAT record's write time of day rides in bytes that the layout writes as
// zero and readers ignore (a folder's 2 spare bytes, the 2 bytes after a
// file's name terminator); an NTFS record's access time is not kept and reads
// back as its modification time.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"
#include "fs/ScanMode.h"
#include "raw/Catalogue.h"
#include "raw/SignatureScan.h"
#include "util/Bytes.h"

namespace dravik {

struct SnapshotPartition {
  std::uint16_t code = 0;    // FsCode of the selected partition
  std::uint16_t number = 0;  // its place in the partition list
};

struct SnapshotSource {
  std::uint16_t driveIndex = 0;
  std::uint16_t deviceKind = 0;
};

// What every snapshot holds besides its records.
struct SnapshotInfo {
  ScanMode mode = ScanMode::kQuick;
  SnapshotPartition partition;
  FsParams params;  // rootStart is not kept
  SnapshotSource source;
};

struct Snapshot {
  SnapshotInfo info;
  // Quick and Extensive Scan: the records (the FAT, NTFS or ext lists, by
  // params.fsType).
  RecoveryStore store;
  // File Trace.
  std::vector<SignatureGroup> groups;
  std::vector<FoundFile> tracedFiles;
  bool wide = false;  // read from a snapshot of 64-bit sector numbers
  bool ext = false;   // read from the ext layout (version 3.0)
};

// The version the snapshot was read from, as --info shows it.
const char* SnapshotVersionText(const Snapshot& snapshot);

// "D", "A" or "R" as the first two bytes hold it; none for anything else.
std::optional<ScanMode> SnapshotModeOf(Bytes firstBytes);
// "Quick Scan", "Extensive Scan" or "File Trace".
const char* ScanModeName(ScanMode mode);

// The bytes of a Quick or Extensive Scan snapshot (info.mode one of those).
std::vector<std::uint8_t> EncodeFileSystemSnapshot(const SnapshotInfo& info, const RecoveryStore& store);
// The bytes of a File Trace snapshot.
std::vector<std::uint8_t> EncodeTraceSnapshot(const SnapshotInfo& info, std::span<const SignatureGroup> groups,
                                              std::span<const FoundFile> files);

struct DecodedSnapshot {
  std::optional<Snapshot> snapshot;
  std::string message;  // why not, in the words the user is shown
};

// Reads a snapshot; a file cut short, a length word below its record's
// fixed size, a count the file cannot hold or a name without its terminator
// gives no snapshot and kMismatch (or the header's message), never a partial
// result.
DecodedSnapshot DecodeSnapshot(Bytes file);

}  // namespace dravik
