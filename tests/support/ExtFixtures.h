#pragma once
// The ext2/ext3/ext4 images of make-ext-fixtures.sh, with debugfs as the
// oracle for where things lie.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "VolumeScan.h"

namespace dravik::test {

std::filesystem::path ExtFixture(const std::string& name);

struct ExtManifestEntry {
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mtimeNs = 0;
  std::string sha256;
  std::string path;  // bytes as the source folder named it
};
// A manifest of the fixtures ("manifest", "wsl-manifest").
std::vector<ExtManifestEntry> ReadExtManifest(const std::string& name = "manifest");

// The scan lists what fls -r -p lists of the raw volume at start, and
// nothing under "Lost Dir".
void ExpectListedAsFls(const VolumeScan& scan, const std::filesystem::path& raw, std::uint64_t start);
// Saving the whole scan gives every live file of the manifest with its bytes
// and modification time (to 100 ns on 256-byte inodes), every deleted one as
// icat reads its inode, and the symbolic links as files holding their targets.
void ExpectSavedAsSource(VolumeScan& scan, const std::filesystem::path& raw, std::uint64_t start, bool largeInodes);

// debugfs -R REQUEST on a raw volume, its standard output.
std::string Debugfs(const std::filesystem::path& raw, const std::string& request);
// The block size debugfs stats gives.
std::uint32_t BlockSize(const std::filesystem::path& raw);
// A path's inode number, as debugfs stat says.
std::uint32_t InodeNumber(const std::filesystem::path& raw, const std::string& path);
// The byte offset of a path's inode, or of an inode by number, in a raw
// volume, as debugfs imap says.
std::uint64_t InodeOffset(const std::filesystem::path& raw, const std::string& path);
std::uint64_t InodeOffset(const std::filesystem::path& raw, std::uint32_t inode);
// The block of the first node below the root of the extent tree of the
// inode at inodeOffset.
std::uint64_t FirstExtentNode(const std::filesystem::path& raw, std::uint64_t inodeOffset);
// The volume block of a path's logical block, as debugfs bmap says.
std::uint64_t BlockOf(const std::filesystem::path& raw, const std::string& path, std::uint64_t logical);

}  // namespace dravik::test
