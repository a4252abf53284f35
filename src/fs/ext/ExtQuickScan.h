#pragma once
// Lists the folders and files of an ext2/ext3/ext4 volume by walking its
// folders from the root inode, breadth first: live names, and the deleted
// names that stay in the slack of the records before them (listed deleted,
// with the inode their entry still names). Folders and files whose inodes
// are in use but that no folder reaches are listed under "Lost Dir", named
// by their inode number ("Dir1234", "File1234"); the folders among them are
// walked too.
//
// A deleted file whose inode lost its map is read through the newest copy
// of its inode the journal keeps whole, when the blocks it names are free
// (JournalInodes.h): listed with that copy's size and times, marked
// fromJournal, its locator naming the copy's journal block.
//
// Records: a folder's id and a file's id and locator are its inode number;
// a file's key is its place in the list. A symlink is listed as a file whose
// size is the length of its target.

#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"

namespace dravik {

class SectorReader;
class ScanControl;

// Returns the paths ("/" the root, "/docs/old") of the live folders whose
// listing could not be read whole; "/" alone when the volume does not open.
std::vector<std::u16string> ScanExtQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                         ScanControl& control);

}  // namespace dravik
