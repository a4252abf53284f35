#include "snapshot/Snapshot.h"

#include <algorithm>
#include <array>
#include <limits>

#include "snapshot/SnapshotTexts.h"

namespace dravik {

namespace {

constexpr std::array<std::uint8_t, 7> kTag = {0x64, 0x00, 0x76, 0x00, 0x73, 0x00, 0x34};
constexpr std::array<std::uint8_t, 3> kVersion = {0x31, 0x00, 0x2E};      // "1.0"
constexpr std::array<std::uint8_t, 3> kWideVersion = {0x32, 0x00, 0x2E};  // "2.0"
constexpr std::array<std::uint8_t, 3> kExtVersion = {0x33, 0x00, 0x2E};   // "3.0"

// A record's length word is its text field's size plus this; the reader
// subtracts it to know the field's size.
constexpr std::uint16_t kFatFolderFixed = 15;
constexpr std::uint16_t kFatFileFixed = 21;
constexpr std::uint16_t kNtfsFolderFixed = 27;
constexpr std::uint16_t kNtfsFileFixed = 37;
constexpr std::uint16_t kExtFolderFixed = 35;
constexpr std::uint16_t kExtFileFixed = 59;
constexpr std::uint16_t kGroupTextFixed = 15;
constexpr std::uint16_t kTracedTextFixed = 21;
// A 64-bit record sector makes an NTFS file record 4 bytes longer.
constexpr std::uint16_t kWideExtra = 4;

constexpr std::uint64_t kNarrowLimit = std::numeric_limits<std::uint32_t>::max();

char16_t ModeLetter(ScanMode mode) {
  switch (mode) {
    case ScanMode::kQuick: return u'D';
    case ScanMode::kExtensive: return u'A';
    case ScanMode::kFileTrace: return u'R';
  }
  return u'D';
}

// Appends little-endian fields.
class Writer {
 public:
  explicit Writer(bool wide) : wide_(wide) {}

  void U8(std::uint8_t v) { out_.push_back(v); }
  void U16(std::uint16_t v) { Little(v, 2); }
  void U32(std::uint32_t v) { Little(v, 4); }
  void U64(std::uint64_t v) { Little(v, 8); }
  // A sector number: 32 bits, or 64 in a wide snapshot.
  void Sector(std::uint64_t v) { Little(v, wide_ ? 8 : 4); }
  void Raw(std::span<const std::uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  // The text, its terminator and then pad zero bytes.
  void Text(const std::u16string& text, std::size_t pad = 0) {
    for (const char16_t c : text) U16(static_cast<std::uint16_t>(c));
    U16(0);
    out_.insert(out_.end(), pad, 0);
  }
  // A length word: the record's fixed bytes plus its text field.
  void Length(std::size_t textBytes, std::uint16_t fixed) {
    U16(static_cast<std::uint16_t>(std::min<std::size_t>(textBytes + fixed, 0xFFFF)));
  }
  bool Wide() const { return wide_; }
  std::vector<std::uint8_t> Take() { return std::move(out_); }

 private:
  void Little(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  bool wide_;
  std::vector<std::uint8_t> out_;
};

// Reads fields in order; once a read runs past the end every later read
// gives 0 and Ok() stays false.
class Cursor {
 public:
  Cursor(Bytes bytes, std::size_t at) : bytes_(bytes), at_(at) {}

  std::uint8_t U8() { return static_cast<std::uint8_t>(Little(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Little(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
  std::uint64_t U64() { return Little(8); }
  std::uint64_t Sector() { return Little(wide_ ? 8 : 4); }
  Bytes Take(std::size_t n) {
    if (!ok_ || bytes_.size() - at_ < n) {
      ok_ = false;
      return {};
    }
    const Bytes taken = bytes_.subspan(at_, n);
    at_ += n;
    return taken;
  }
  void Fail() { ok_ = false; }
  void SetWide(bool wide) { wide_ = wide; }
  bool Wide() const { return wide_; }
  bool Ok() const { return ok_; }

 private:
  std::uint64_t Little(std::size_t n) {
    const Bytes field = Take(n);
    std::uint64_t v = 0;
    for (std::size_t i = field.size(); i-- > 0;) v = (v << 8) | field[i];
    return v;
  }

  Bytes bytes_;
  std::size_t at_;
  bool ok_ = true;
  bool wide_ = false;
};

// The UTF-16 text of a field up to its terminator; none when the field
// holds no terminator.
std::optional<std::u16string> TextOfField(Bytes field) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < field.size(); i += 2) {
    const auto c = static_cast<char16_t>(le16(field, i));
    if (c == 0) return text;
    text += c;
  }
  return std::nullopt;
}

// The 8-bit text of a field up to its first zero byte.
std::optional<std::string> NarrowTextOfField(Bytes field) {
  std::string text;
  for (const std::uint8_t b : field) {
    if (b == 0) return text;
    text += static_cast<char>(b);
  }
  return std::nullopt;
}

// A length word and the text field it announces, at least minimum bytes
// of an even count.
std::optional<Bytes> TextField(Cursor& in, std::uint16_t fixed, std::size_t minimum) {
  const std::uint16_t length = in.U16();
  if (!in.Ok() || length < fixed + minimum || (length - fixed) % 2 != 0) {
    in.Fail();
    return std::nullopt;
  }
  const Bytes field = in.Take(length - fixed);
  if (!in.Ok()) return std::nullopt;
  return field;
}

std::optional<std::u16string> ReadText(Cursor& in, std::uint16_t fixed, std::size_t minimum) {
  const auto field = TextField(in, fixed, minimum);
  if (!field) return std::nullopt;
  auto text = TextOfField(*field);
  if (!text) in.Fail();
  return text;
}

bool Wide(std::uint64_t v) { return v > kNarrowLimit; }

bool IsExt(std::uint16_t fsType) { return fsType == kExt2 || fsType == kExt3 || fsType == kExt4; }

bool NeedsWideNumbers(const SnapshotInfo& info) {
  const FsParams& p = info.params;
  for (const std::uint64_t v : {p.partitionStart, p.partitionSectors, p.lastSector, p.clusterBase, p.firstFatLba,
                                p.secondFatLba, p.mftStart, p.mftMirrorStart, p.fsEnd})
    if (Wide(v)) return true;
  return false;
}

void WriteHead(Writer& out, const SnapshotInfo& info) {
  out.U16(ModeLetter(info.mode));
  out.Raw(kTag);
  if (IsExt(info.params.fsType) && info.mode != ScanMode::kFileTrace)
    out.Raw(kExtVersion);
  else
    out.Raw(out.Wide() ? kWideVersion : kVersion);
  const FsParams& p = info.params;
  out.U16(info.partition.code);
  out.Sector(p.partitionStart);
  out.Sector(p.partitionSectors);
  out.Sector(p.lastSector);
  out.U16(info.partition.number);
  out.U16(p.fsType);
  out.U32(p.fatSize);
  out.U32(p.sectorsPerCluster);
  out.U32(p.rootDirSectors);
  out.U32(p.reservedSectors);
  out.Sector(p.clusterBase);
  out.Sector(p.firstFatLba);
  out.Sector(p.secondFatLba);
  out.Sector(p.mftStart);
  out.Sector(p.mftMirrorStart);
  out.U32(p.mftRecordSectors);
  out.U32(p.indexRecordSectors);
  out.Sector(p.fsEnd);
  out.U16(p.fsIndex);
  // The ext layout keeps the superblock an Extensive Scan read the volume by.
  if (IsExt(p.fsType) && info.mode != ScanMode::kFileTrace) out.Sector(p.superblockSector);
}

void ReadPartition(Cursor& in, SnapshotInfo& info, bool ext) {
  FsParams& p = info.params;
  info.partition.code = in.U16();
  p.partitionStart = in.Sector();
  p.partitionSectors = in.Sector();
  p.lastSector = in.Sector();
  info.partition.number = in.U16();
  p.fsType = in.U16();
  p.fatSize = in.U32();
  p.sectorsPerCluster = in.U32();
  p.rootDirSectors = in.U32();
  p.reservedSectors = in.U32();
  p.clusterBase = in.Sector();
  p.firstFatLba = in.Sector();
  p.secondFatLba = in.Sector();
  p.mftStart = in.Sector();
  p.mftMirrorStart = in.Sector();
  p.mftRecordSectors = in.U32();
  p.indexRecordSectors = in.U32();
  p.fsEnd = in.Sector();
  p.fsIndex = in.U16();
  if (ext) p.superblockSector = in.Sector();
}

std::size_t TextBytes(const std::u16string& text, std::size_t pad) { return 2 * text.size() + 2 + pad; }

// The snapshot keeps a FAT item's write date and time and its access date
// as the directory entry holds them.
void WriteFat(Writer& out, const RecoveryStore& store) {
  out.U32(static_cast<std::uint32_t>(store.Folders().size()));
  for (const FolderRecord& f : store.Folders()) {
    out.Length(TextBytes(f.name, 0), kFatFolderFixed);
    out.Text(f.name);
    out.U32(f.id);
    out.U32(f.parentId);
    out.U16(ItemTimes::DosDate(f.times.modified));
    out.U16(ItemTimes::DosDate(f.times.accessed));
    out.U8(f.deleted ? 1 : 0);
    out.U16(ItemTimes::DosTime(f.times.modified));  // the spare bytes
  }
  out.U32(static_cast<std::uint32_t>(store.Files().size()));
  for (const FileRecord& f : store.Files()) {
    out.Length(TextBytes(f.name, 2), kFatFileFixed);
    out.Text(f.name);
    out.U16(ItemTimes::DosTime(f.times.modified));  // the 2 bytes after the terminator
    out.U32(static_cast<std::uint32_t>(f.locator));
    out.U32(f.parentId);
    out.U16(ItemTimes::DosDate(f.times.modified));
    out.U16(ItemTimes::DosDate(f.times.accessed));
    out.U32(static_cast<std::uint32_t>(f.size));
    out.U8(f.deleted ? 1 : 0);
    out.U32(static_cast<std::uint32_t>(f.key));
  }
}

bool ReadFat(Cursor& in, RecoveryStore& store) {
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FolderRecord f;
    auto name = ReadText(in, kFatFolderFixed, 2);
    if (!name) return false;
    f.name = std::move(*name);
    f.id = in.U32();
    f.parentId = in.U32();
    const std::uint16_t writeDate = in.U16();
    const std::uint16_t accessDate = in.U16();
    f.deleted = in.U8() != 0;
    const std::uint16_t writeTime = in.U16();
    f.times = ItemTimes::Dos(writeDate, writeTime, accessDate);
    if (in.Ok()) store.AddFolderOnce(std::move(f));
  }
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FileRecord f;
    const auto field = TextField(in, kFatFileFixed, 4);
    if (!field) return false;
    auto name = TextOfField(field->first(field->size() - 2));
    if (!name) return false;
    f.name = std::move(*name);
    const std::uint16_t writeTime = le16(*field, field->size() - 2);
    f.locator = in.U32();
    f.parentId = in.U32();
    const std::uint16_t writeDate = in.U16();
    const std::uint16_t accessDate = in.U16();
    f.times = ItemTimes::Dos(writeDate, writeTime, accessDate);
    f.size = in.U32();
    f.deleted = in.U8() != 0;
    in.U32();  // the stored serial: loaded files are numbered afresh
    f.key = store.fileCount;
    if (!in.Ok()) return false;
    store.totalBytes += f.size;
    ++store.fileCount;
    store.AddFile(std::move(f));
  }
  return in.Ok();
}

void WriteNtfs(Writer& out, const RecoveryStore& store) {
  out.U32(static_cast<std::uint32_t>(store.Folders().size()));
  for (const FolderRecord& f : store.Folders()) {
    out.Length(TextBytes(f.name, 2), kNtfsFolderFixed);
    out.Text(f.name, 2);
    out.U32(f.id);
    out.U32(f.parentId);
    out.U64(f.times.created);
    out.U64(f.times.modified);
    out.U8(f.deleted ? 1 : 0);
    out.U16(0);
  }
  out.U32(static_cast<std::uint32_t>(store.Files().size()));
  for (const FileRecord& f : store.Files()) {
    out.Length(TextBytes(f.name, 2), kNtfsFileFixed + (out.Wide() ? kWideExtra : 0));
    out.Sector(f.locator);
    out.Text(f.name, 2);
    out.U32(f.id);
    out.U32(f.parentId);
    out.U64(f.times.created);
    out.U64(f.times.modified);
    out.U8(f.deleted ? 1 : 0);
    out.U64(f.size);
  }
}

bool ReadNtfs(Cursor& in, RecoveryStore& store) {
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FolderRecord f;
    auto name = ReadText(in, kNtfsFolderFixed, 4);
    if (!name) return false;
    f.name = std::move(*name);
    f.id = in.U32();
    f.parentId = in.U32();
    const std::uint64_t created = in.U64();
    const std::uint64_t modified = in.U64();
    f.times = ItemTimes::FileTimes(created, modified, modified);
    f.deleted = in.U8() != 0;
    in.U16();
    if (in.Ok()) store.AddFolder(std::move(f));
  }
  // The record sector comes before the name, inside the length word's count.
  const auto fileFixed = static_cast<std::uint16_t>(kNtfsFileFixed + (in.Wide() ? kWideExtra : 0));
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FileRecord f;
    const std::uint16_t length = in.U16();
    if (!in.Ok() || length < fileFixed + 4 || (length - fileFixed) % 2 != 0) return false;
    f.locator = in.Sector();
    f.key = f.locator;
    auto name = TextOfField(in.Take(length - fileFixed));
    if (!in.Ok() || !name) return false;
    f.name = std::move(*name);
    f.id = in.U32();
    f.parentId = in.U32();
    const std::uint64_t created = in.U64();
    const std::uint64_t modified = in.U64();
    f.times = ItemTimes::FileTimes(created, modified, modified);
    f.deleted = in.U8() != 0;
    f.size = in.U64();
    if (!in.Ok()) return false;
    store.totalBytes += f.size;
    ++store.fileCount;
    store.AddFile(std::move(f));
  }
  return in.Ok();
}

void WriteExtTimes(Writer& out, const ItemTimes& times) {
  out.U64(times.created);
  out.U64(times.modified);
  out.U64(times.accessed);
}

ItemTimes ReadExtTimes(Cursor& in) {
  const std::uint64_t created = in.U64();
  const std::uint64_t modified = in.U64();
  return ItemTimes::FileTimes(created, modified, in.U64());
}

// The state byte of an ext file: deleted, and read through a copy of its
// inode in the journal.
constexpr std::uint8_t kExtFileDeleted = 0x1;
constexpr std::uint8_t kExtFileFromJournal = 0x2;

void WriteExt(Writer& out, const RecoveryStore& store) {
  out.U32(static_cast<std::uint32_t>(store.Folders().size()));
  for (const FolderRecord& f : store.Folders()) {
    out.Length(TextBytes(f.name, 0), kExtFolderFixed);
    out.Text(f.name);
    out.U32(f.id);
    out.U32(f.parentId);
    WriteExtTimes(out, f.times);
    out.U8(f.deleted ? 1 : 0);
  }
  out.U32(static_cast<std::uint32_t>(store.Files().size()));
  for (const FileRecord& f : store.Files()) {
    out.Length(TextBytes(f.name, 0), kExtFileFixed);
    out.Text(f.name);
    out.U32(f.id);
    out.U32(f.parentId);
    out.U64(f.key);
    out.U64(f.locator);
    WriteExtTimes(out, f.times);
    out.U8(static_cast<std::uint8_t>((f.deleted ? kExtFileDeleted : 0) | (f.fromJournal ? kExtFileFromJournal : 0)));
    out.U64(f.size);
  }
}

bool ReadExt(Cursor& in, RecoveryStore& store) {
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FolderRecord f;
    auto name = ReadText(in, kExtFolderFixed, 2);
    if (!name) return false;
    f.name = std::move(*name);
    f.id = in.U32();
    f.parentId = in.U32();
    f.times = ReadExtTimes(in);
    f.deleted = in.U8() != 0;
    if (in.Ok()) store.AddFolder(std::move(f));
  }
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FileRecord f;
    auto name = ReadText(in, kExtFileFixed, 2);
    if (!name) return false;
    f.name = std::move(*name);
    f.id = in.U32();
    f.parentId = in.U32();
    f.key = in.U64();
    f.locator = in.U64();
    f.times = ReadExtTimes(in);
    const std::uint8_t state = in.U8();
    f.deleted = (state & kExtFileDeleted) != 0;
    f.fromJournal = (state & kExtFileFromJournal) != 0;
    f.size = in.U64();
    if (!in.Ok()) return false;
    store.totalBytes += f.size;
    ++store.fileCount;
    store.AddFile(std::move(f));
  }
  return in.Ok();
}

// The signature's hexadecimal text as 8-bit characters in a field the size
// of that text in UTF-16.
void WriteSignature(Writer& out, const std::string& signature) {
  out.Length(2 * signature.size() + 2, kGroupTextFixed);
  for (const char c : signature) out.U8(static_cast<std::uint8_t>(c));
  for (std::size_t i = 0; i < signature.size() + 2; ++i) out.U8(0);
}

void WriteTrace(Writer& out, std::span<const SignatureGroup> groups, std::span<const FoundFile> files) {
  out.U32(static_cast<std::uint32_t>(groups.size()));
  for (const SignatureGroup& g : groups) {
    out.Length(TextBytes(g.extension, 0), kGroupTextFixed);
    out.Text(g.extension);
    out.Length(TextBytes(g.typeName, 0), kGroupTextFixed);
    out.Text(g.typeName);
    WriteSignature(out, g.signature);
    out.U32(g.signatureLength);
    out.U32(g.extraValue);
  }
  out.U32(static_cast<std::uint32_t>(files.size()));
  for (const FoundFile& f : files) {
    for (const std::u16string* text : {&f.extension, &f.name, &f.typeName}) {
      out.Length(TextBytes(*text, 2), kTracedTextFixed);
      out.Text(*text, 2);
    }
    out.U32(f.fileNumber);
    out.Sector(f.firstSector);
  }
}

bool ReadTrace(Cursor& in, Snapshot& s) {
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    SignatureGroup g;
    auto extension = ReadText(in, kGroupTextFixed, 2);
    auto typeName = ReadText(in, kGroupTextFixed, 2);
    if (!extension || !typeName) return false;
    const auto field = TextField(in, kGroupTextFixed, 2);
    auto signature = field ? NarrowTextOfField(*field) : std::nullopt;
    if (!signature) return false;
    g.extension = std::move(*extension);
    g.typeName = std::move(*typeName);
    g.signature = std::move(*signature);
    g.signatureLength = in.U32();
    g.extraValue = in.U32();
    if (in.Ok()) s.groups.push_back(std::move(g));
  }
  for (std::uint32_t n = in.U32(), i = 0; i < n && in.Ok(); ++i) {
    FoundFile f;
    for (std::u16string* text : {&f.extension, &f.name, &f.typeName}) {
      auto read = ReadText(in, kTracedTextFixed, 4);
      if (!read) return false;
      *text = std::move(*read);
    }
    f.fileNumber = in.U32();
    f.firstSector = in.Sector();
    if (in.Ok()) s.tracedFiles.push_back(std::move(f));
  }
  return in.Ok();
}

}  // namespace

std::optional<ScanMode> SnapshotModeOf(Bytes firstBytes) {
  if (firstBytes.size() < 2 || firstBytes[1] != 0) return std::nullopt;
  for (const ScanMode mode : {ScanMode::kQuick, ScanMode::kExtensive, ScanMode::kFileTrace})
    if (firstBytes[0] == ModeLetter(mode)) return mode;
  return std::nullopt;
}

const char* ScanModeName(ScanMode mode) {
  switch (mode) {
    case ScanMode::kQuick: return "Quick Scan";
    case ScanMode::kExtensive: return "Extensive Scan";
    case ScanMode::kFileTrace: return "File Trace";
  }
  return "Quick Scan";
}

void WriteTrailer(Writer& out, const SnapshotInfo& info) {
  out.U16(info.source.driveIndex);
  out.U16(info.source.deviceKind);
}

std::vector<std::uint8_t> EncodeFileSystemSnapshot(const SnapshotInfo& info, const RecoveryStore& store) {
  bool wide = NeedsWideNumbers(info) || IsExt(info.params.fsType);
  for (const FileRecord& file : store.Files()) wide = wide || Wide(file.locator);
  Writer out(wide);
  WriteHead(out, info);
  if (info.params.fsType == kFat16 || info.params.fsType == kFat32)
    WriteFat(out, store);
  else if (info.params.fsType == kNtfs)
    WriteNtfs(out, store);
  else if (IsExt(info.params.fsType))
    WriteExt(out, store);
  WriteTrailer(out, info);
  return out.Take();
}

std::vector<std::uint8_t> EncodeTraceSnapshot(const SnapshotInfo& info, std::span<const SignatureGroup> groups,
                                              std::span<const FoundFile> files) {
  bool wide = NeedsWideNumbers(info);
  for (const FoundFile& file : files) wide = wide || Wide(file.firstSector);
  Writer out(wide);
  WriteHead(out, info);
  WriteTrace(out, groups, files);
  WriteTrailer(out, info);
  return out.Take();
}

const char* SnapshotVersionText(const Snapshot& snapshot) {
  if (snapshot.ext) return "3.0 (ext records)";
  return snapshot.wide ? "2.0 (64-bit sector numbers)" : "1.0";
}

DecodedSnapshot DecodeSnapshot(Bytes file) {
  const auto mode = SnapshotModeOf(file);
  if (!mode) return {std::nullopt, SnapshotTexts::kInvalidSnapshot};
  const auto holds = [&](std::size_t at, std::span<const std::uint8_t> expected) {
    const Bytes got = Slice(file, at, expected.size());
    return got.size() == expected.size() && std::equal(got.begin(), got.end(), expected.begin());
  };
  if (!holds(2, kTag)) return {std::nullopt, SnapshotTexts::kWrongTag};
  const bool narrow = holds(2 + kTag.size(), kVersion);
  const bool ext = holds(2 + kTag.size(), kExtVersion);
  const bool wide = ext || holds(2 + kTag.size(), kWideVersion);
  if (!narrow && !wide) return {std::nullopt, SnapshotTexts::kWrongVersion};

  Snapshot s;
  s.info.mode = *mode;
  s.wide = wide;
  s.ext = ext;
  Cursor in(file, 2 + kTag.size() + kVersion.size());
  in.SetWide(wide);
  ReadPartition(in, s.info, ext);
  const std::uint16_t fsType = s.info.params.fsType;
  bool ok = in.Ok() && ext == (IsExt(fsType) && s.info.mode != ScanMode::kFileTrace);
  if (ok && s.info.mode == ScanMode::kFileTrace)
    ok = ReadTrace(in, s);
  else if (ok && (fsType == kFat16 || fsType == kFat32))
    ok = ReadFat(in, s.store);
  else if (ok && fsType == kNtfs)
    ok = ReadNtfs(in, s.store);
  else if (ok && ext)
    ok = ReadExt(in, s.store);
  s.info.source.driveIndex = in.U16();
  s.info.source.deviceKind = in.U16();
  if (!ok || !in.Ok()) return {std::nullopt, SnapshotTexts::kMismatch};
  return {std::move(s), {}};
}

}  // namespace dravik
