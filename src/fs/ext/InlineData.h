#pragma once
// Inline data: a file or folder of the inline_data feature keeps its first
// 60 bytes in the inode's i_block and the rest in the value of the
// extended attribute "system.data" in the inode's own attribute area (after
// the extra fields: magic EA020000, then entries of 0x0 name length,
// 0x1 name prefix index (7: "system."), 0x2 value offset from the first
// entry, 0x4 value inode, 0x8 value size, 0xC hash, 0x10 name; the entries
// end with four zero bytes).
//
// An inline folder's i_block starts with its parent's inode number; its
// entries follow, and go on in the attribute's value.

#include <cstdint>
#include <optional>
#include <vector>

#include "fs/ext/Inode.h"

namespace dravik::ext {

// The value of the in-inode attribute "system.data"; empty when there is
// none or it does not lie within the inode.
std::vector<std::uint8_t> InlineAttribute(const Inode& inode);

// The first size bytes of an inline file: i_block, then the attribute's
// value. None when they hold fewer bytes than size.
std::optional<std::vector<std::uint8_t>> InlineBytes(const Inode& inode, std::uint64_t size);

}  // namespace dravik::ext
