#pragma once
// The checksums of ext volumes. With metadata_csum (the default of mke2fs
// for ext4) the superblock, every group descriptor, inode and extent tree
// block carries a CRC32C; the older gdt_csum feature guards the group
// descriptors alone, with a CRC16. The CRC32C here is the bare update: no
// inversion before or after, with ~0 as the starting value of a chain.
//
//   superblock         over its first 0x3FC bytes, from ~0; kept at 0x3FC
//   volume seed        over the volume id, from ~0 (or the superblock's seed
//                      at 0x270 with the csum_seed feature)
//   group descriptor   volume seed, then the group number (le32), then the
//                      descriptor with its checksum (0x1E) as zeros; the low
//                      16 bits kept at 0x1E
//   inode seed         volume seed, then the inode number and generation (le32s)
//   inode              inode seed, then the inode with its checksum (0x7C,
//                      and 0x82 when the extra size reaches it) as zeros
//   extent tree block  inode seed, then the node up to its capacity's end,
//                      where the checksum follows
//   folder block       inode seed, then the block up to its 12-byte tail
//                      record (file type 0xDE), whose last 4 bytes it is; an
//                      htree root: its entries in use, then the 4 reserved
//                      bytes of the tail after its limit's entries
//
// A checksum that fails never stops a read by itself: the readers use it to
// choose between copies and to leave out what they only guess at.

#include <cstdint>

#include "fs/ext/Superblock.h"
#include "util/Bytes.h"

namespace dravik::ext {

// CRC32C as ext chains it: crc is the running value, ~0 to start.
std::uint32_t ExtCrc32c(std::uint32_t crc, Bytes bytes);
// CRC16 (polynomial 0x8005, reflected) as gdt_csum chains it, ~0 to start.
std::uint16_t ExtCrc16(std::uint16_t crc, Bytes bytes);

// Whether the 1024 bytes of a superblock hold their checksum; true without
// metadata_csum, which leaves nothing to check.
bool SuperblockChecksumHolds(Bytes superblock);

// The seed the checksums of a volume's structures start from.
std::uint32_t VolumeChecksumSeed(const Superblock& s);

// Whether the descriptor of group g holds its checksum (metadata_csum or
// gdt_csum); true for a volume with neither.
bool DescriptorChecksumHolds(const Superblock& s, std::uint32_t volumeSeed, std::uint64_t group, Bytes descriptor);

// The seed of an inode's checksum and of its extent tree blocks.
std::uint32_t InodeChecksumSeed(std::uint32_t volumeSeed, std::uint32_t number, Bytes inode);

// Whether an inode of the superblock's inode size holds its checksum; true
// without metadata_csum, and for an inode of zeros (never written).
bool InodeChecksumHolds(const Superblock& s, std::uint32_t volumeSeed, std::uint32_t number, Bytes inode);

// Whether an extent tree block (not the root in i_block) holds the checksum
// after its entries; false when the node leaves no room for one.
bool ExtentBlockChecksumHolds(std::uint32_t inodeSeed, Bytes node);

// Whether a folder's block holds its checksum: a linear block's tail, or
// (indexed) an htree root's; false when it has neither.
bool DirectoryBlockChecksumHolds(std::uint32_t inodeSeed, Bytes block, bool indexed);

}  // namespace dravik::ext
