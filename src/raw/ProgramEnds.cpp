// Where ELF and Windows (PE) programs, Java classes and TrueType fonts end:
// ELF, PE and TrueType by the furthest of the parts their tables place; a
// Java class by reading its structure through.

#include <algorithm>
#include <string_view>

#include "raw/FormatEnds.h"

namespace dravik {

namespace {

// ---- ELF header: class at 4 (1: 32-bit, 2: 64-bit), byte order at 5 (1:
// little, 2: big endian), then the offsets and sizes of the program and
// section header tables.
//
//   field       32-bit  64-bit
//   e_phoff     28 (4)  32 (8)
//   e_shoff     32 (4)  40 (8)
//   e_phentsize 42      54
//   e_phnum     44      56
//   e_shentsize 46      58
//   e_shnum     48      60
//
// A section header holds its type at 4 (8: no bytes in the file) and its
// offset and size at 16 and 20 (32-bit) or 24 and 32 (64-bit); a program
// header its offset and file size at 4 and 16 (32-bit) or 8 and 32 (64-bit).

struct ElfReader {
  Bytes b;
  bool wide = false;
  bool big = false;
  std::uint64_t Half(std::uint64_t at) const { return big ? be16(b, at) : le16(b, at); }
  std::uint64_t Word(std::uint64_t at) const { return big ? be32(b, at) : le32(b, at); }
  std::uint64_t Address(std::uint64_t at) const { return wide ? (big ? be64(b, at) : le64(b, at)) : Word(at); }
};

constexpr std::uint64_t kNoBits = 8;

// at + count * size, when it lies within the bytes.
std::optional<std::uint64_t> TableEnd(Bytes b, std::uint64_t at, std::uint64_t count, std::uint64_t size) {
  if (at > b.size() || size > b.size() || count > b.size()) return std::nullopt;
  const std::uint64_t end = at + count * size;
  return end <= b.size() ? std::optional<std::uint64_t>(end) : std::nullopt;
}

// ---- Java class file, read with a cursor that fails past the bytes.

class ClassCursor {
 public:
  explicit ClassCursor(Bytes b) : b_(b) {}
  bool Ok() const { return ok_; }
  std::size_t At() const { return at_; }
  std::uint32_t U1() { return Take(1) ? b_[at_ - 1] : 0; }
  std::uint32_t U2() { return Take(2) ? be16(b_, at_ - 2) : 0; }
  std::uint32_t U4() { return Take(4) ? be32(b_, at_ - 4) : 0; }
  void Skip(std::uint64_t n) { Take(n); }

 private:
  bool Take(std::uint64_t n) {
    if (!ok_ || n > b_.size() - at_) return ok_ = false;
    at_ += static_cast<std::size_t>(n);
    return true;
  }
  Bytes b_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The bytes a constant-pool entry holds after its tag; 0 for an unknown
// tag (the class is then not read further). Long and Double take two slots.
std::uint64_t ConstantBytes(ClassCursor& in, std::uint32_t tag) {
  switch (tag) {
    case 1: return in.U2();  // Utf8: length, then the bytes
    case 7: case 8: case 16: case 19: case 20: return 2;
    case 15: return 3;
    case 3: case 4: case 9: case 10: case 11: case 12: case 17: case 18: return 4;
    case 5: case 6: return 8;
    default: return 0;
  }
}

void SkipAttributes(ClassCursor& in) {
  for (std::uint32_t n = in.U2(); n > 0 && in.Ok(); --n) {
    in.U2();
    in.Skip(in.U4());
  }
}

// ---- TrueType offset table: version, table count at 4, then 16-byte
// records from 12 (tag, checksum, offset at 8, length at 12).

constexpr std::size_t kTableRecords = 12;
constexpr std::size_t kTableRecord = 16;

// ---- PE: the DOS header holds the offset of "PE\0\0" at 0x3C; the COFF
// header that follows those four bytes holds the section count at 2, the
// symbol table's offset at 8 and its count of 18-byte symbols at 12 (a
// string table, behind its own 4-byte length, follows the symbols), and the
// optional header's size at 16. The optional header (magic 0x10B, or 0x20B
// for 64-bit programs) holds the headers' size at 60 and its data
// directories (offset and size, 8 bytes each, their count before them) at
// 96 or 112; the fifth, the certificate table, is the one whose offset is a
// file position rather than an address in memory. Each 40-byte section
// header holds its size in the file at 16 and its position at 20.

constexpr std::uint64_t kCoffHeader = 24;  // with the "PE\0\0" before it
constexpr std::uint64_t kSectionHeader = 40;
constexpr std::uint64_t kSymbol = 18;
constexpr std::uint32_t kCertificateDirectory = 4;

}  // namespace

FileEnd PeEnd(Bytes b) {
  if (!HasAscii(b, 0, "MZ") || b.size() < 0x40) return std::nullopt;
  const std::uint64_t pe = le32(b, 0x3C);
  if (pe + kCoffHeader > b.size() || !HasAscii(b, pe, std::string_view("PE\0\0", 4))) return std::nullopt;
  const std::uint64_t sections = le16(b, pe + 6);
  const std::uint64_t symbols = le32(b, pe + 16);
  const std::uint64_t symbolTable = le32(b, pe + 12);
  const std::uint64_t optional = pe + kCoffHeader;
  const std::uint64_t optionalSize = le16(b, pe + 20);
  const auto headers = TableEnd(b, optional + optionalSize, sections, kSectionHeader);
  if (!headers || optionalSize < 64) return std::nullopt;
  const std::uint16_t magic = le16(b, optional);
  if (magic != 0x10B && magic != 0x20B) return std::nullopt;
  std::uint64_t end = std::max<std::uint64_t>(*headers, le32(b, optional + 60));
  for (std::uint64_t i = 0; i < sections; ++i) {
    const std::uint64_t at = optional + optionalSize + i * kSectionHeader;
    const std::uint64_t size = le32(b, at + 16);
    if (size == 0) continue;  // only in memory
    const auto section = TableEnd(b, le32(b, at + 20), 1, size);
    if (!section) return std::nullopt;
    end = std::max(end, *section);
  }
  if (symbolTable != 0) {
    const auto table = TableEnd(b, symbolTable, symbols, kSymbol);
    if (!table || *table + 4 > b.size()) return std::nullopt;
    const auto strings = TableEnd(b, *table, 1, le32(b, *table));
    if (!strings) return std::nullopt;
    end = std::max(end, *strings);
  }
  const std::uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
  if (directories <= optional + optionalSize && le32(b, directories - 4) > kCertificateDirectory) {
    const std::uint64_t entry = directories + kCertificateDirectory * 8;
    const std::uint64_t offset = le32(b, entry);
    if (offset != 0) {
      const auto certificates = TableEnd(b, offset, 1, le32(b, entry + 4));
      if (!certificates) return std::nullopt;
      end = std::max(end, *certificates);
    }
  }
  return end <= b.size() ? FileEnd(end) : std::nullopt;
}

FileEnd ElfEnd(Bytes b) {
  if (!HasAscii(b, 0, "\x7F" "ELF")) return std::nullopt;
  const ElfReader elf{b, u8(b, 4) == 2, u8(b, 5) == 2};
  const std::uint64_t shoff = elf.Address(elf.wide ? 40 : 32);
  const std::uint64_t shentsize = elf.Half(elf.wide ? 58 : 46);
  const std::uint64_t shnum = elf.Half(elf.wide ? 60 : 48);
  // Without a section table nothing says where the file's last part ends.
  if (shoff == 0 || shnum == 0 || shentsize < (elf.wide ? 64u : 40u)) return std::nullopt;
  const auto sections = TableEnd(b, shoff, shnum, shentsize);
  if (!sections) return std::nullopt;
  std::uint64_t end = *sections;
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::uint64_t at = shoff + i * shentsize;
    if (elf.Word(at + 4) == kNoBits) continue;
    const auto section = TableEnd(b, elf.Address(at + (elf.wide ? 24 : 16)), 1, elf.Address(at + (elf.wide ? 32 : 20)));
    if (!section) return std::nullopt;
    end = std::max(end, *section);
  }
  const std::uint64_t phoff = elf.Address(elf.wide ? 32 : 28);
  const std::uint64_t phentsize = elf.Half(elf.wide ? 54 : 42);
  const std::uint64_t phnum = elf.Half(elf.wide ? 56 : 44);
  for (std::uint64_t i = 0; phoff != 0 && i < phnum; ++i) {
    const std::uint64_t at = phoff + i * phentsize;
    const auto segment = TableEnd(b, elf.Address(at + (elf.wide ? 8 : 4)), 1, elf.Address(at + (elf.wide ? 32 : 16)));
    if (!segment) return std::nullopt;
    end = std::max(end, *segment);
  }
  return end;
}

FileEnd JavaClassEnd(Bytes b) {
  ClassCursor in(b);
  if (in.U4() != 0xCAFEBABE) return std::nullopt;
  in.Skip(4);  // minor and major version
  const std::uint32_t constants = in.U2();
  for (std::uint32_t slot = 1; slot < constants && in.Ok(); ++slot) {
    const std::uint32_t tag = in.U1();
    const std::uint64_t size = ConstantBytes(in, tag);
    if (size == 0 && tag != 1) return std::nullopt;
    in.Skip(size);
    if (tag == 5 || tag == 6) ++slot;
  }
  in.Skip(6);  // access flags, this class, super class
  in.Skip(std::uint64_t{in.U2()} * 2);  // interfaces
  for (int members = 0; members < 2; ++members) {  // fields, then methods
    for (std::uint32_t n = in.U2(); n > 0 && in.Ok(); --n) {
      in.Skip(6);  // access flags, name, descriptor
      SkipAttributes(in);
    }
  }
  SkipAttributes(in);
  return in.Ok() ? FileEnd(in.At()) : std::nullopt;
}

FileEnd TrueTypeEnd(Bytes b) {
  const std::size_t tables = be16(b, 4);
  if (tables == 0 || kTableRecords + tables * kTableRecord > b.size()) return std::nullopt;
  std::uint64_t end = kTableRecords + tables * kTableRecord;
  for (std::size_t i = 0; i < tables; ++i) {
    const std::size_t record = kTableRecords + i * kTableRecord;
    end = std::max(end, std::uint64_t{be32(b, record + 8)} + be32(b, record + 12));
  }
  // Every table begins on a four-byte boundary; the last one is padded too.
  end = (end + 3) / 4 * 4;
  return end <= b.size() ? FileEnd(end) : std::nullopt;
}

}  // namespace dravik
