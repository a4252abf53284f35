#pragma once
// Extraction of one FAT file system that the Extensive Scan found, in five
// steps: a folder for every directory start that belongs to it, "Lost Dir"
// for folders whose parent was not found, the FATs sought when their
// place is unknown, every folder read (naming the folders of the first step
// from their entries), and the result tree.

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

class SectorReader;
class ScanControl;

// Extracts found file system params.fsIndex (params from ParamsOfFound) into
// the store, which is emptied first. FAT positions found on the way are
// written into params, for saving. The tree is built also after a stop.
ResultTree ExtractFatFileSystem(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params,
                                RecoveryStore& store, ScanControl& control);

// "Dir" + the cluster number: the name of a folder known only by its cluster.
std::u16string DirFolderName(std::uint32_t cluster);

}  // namespace dravik
