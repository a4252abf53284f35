#pragma once
// Places the blocks that a damaged VHD or VHDX block table lost, by what the
// volumes inside the disk show, once the table's own salvage has done what
// the table allows. A block whose content names its place is put there: the
// first block by its partition table or boot sector (or, on a disk without
// a table, its ext superblock), a boot sector and its backup by the
// volume's start and end, MFT records by their record numbers, FAT folders
// by the cluster their "." entry names, ext superblock copies by their
// group and ext folders by the inode their "." entry names. Between blocks so
// placed, the rest follow the file's order into the disk blocks the volume
// keeps data in (its allocated clusters and structures, in-use and deleted
// MFT records' runs, the blocks ext bitmaps mark), when their counts agree
// (see PlaceBetweenNeighbours).
// What stays unplaced reads as failing zeros, as before.

#include <cstdint>

namespace dravik {

class VirtualDisk;

// Places what it can, adds a repair to the disk's list when it placed
// anything, and returns how many blocks it placed.
std::uint64_t PlaceLostBlocks(VirtualDisk& disk);

}  // namespace dravik
