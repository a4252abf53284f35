#include "raw/SignatureScan.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "raw/SignatureCheck.h"
#include "raw/SignatureFamily.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {

namespace {

constexpr std::uint32_t kReadSectors = 64;
// Reads a chunk of the walk holds: 256 KiB, which stay in a core's cache
// between the read and the scan.
constexpr std::uint32_t kChunkReads = 8;
// "Reading Sector n Of m" every this many reads.
constexpr std::uint64_t kProgressReads = 64;

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A group's signature as bytes. A sector's min(length, 15) bytes from the
// signature's offset written as hexadecimal can equal the group's text only
// when the text is that many bytes of hexadecimal digits; other groups never
// match, nor do those whose signature would run past the sector.
struct Pattern {
  std::size_t group = 0;
  std::vector<std::uint8_t> bytes;
  std::size_t offset = 0;
  StartRule rule;  // what a weak signature's hit must pass too
  // The first eight bytes of the signature as a number, and the mask of
  // those it has: most sectors fail on them without a call to memcmp.
  std::uint64_t head = 0;
  std::uint64_t mask = 0;

  // Reads eight bytes from the signature's place; the walk's chunk holds
  // that many past its last sector.
  bool SignatureAt(const std::uint8_t* sector) const {
    std::uint64_t first = 0;
    std::memcpy(&first, sector + offset, sizeof first);
    return (first & mask) == head &&
           (bytes.size() <= sizeof first ||
            std::memcmp(sector + offset + sizeof first, bytes.data() + sizeof first, bytes.size() - sizeof first) == 0);
  }
};

// SignatureAt reads eight bytes from any offset of a sector: the walk leaves
// that many after each chunk.
static_assert(kWalkSlack >= 8);

std::optional<Pattern> PatternOf(const SignatureGroup& group, std::size_t index) {
  const std::size_t n = std::min<std::size_t>(group.signatureLength, kMaxSignatureBytes);
  if (group.signature.size() != 2 * n || group.signatureOffset + n > kSectorSize) return std::nullopt;
  Pattern pattern{index, {}, group.signatureOffset, StartCheckOf(group.extension, group.signature)};
  for (std::size_t i = 0; i < n; ++i) {
    const int high = HexDigit(group.signature[2 * i]);
    const int low = HexDigit(group.signature[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    pattern.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  std::uint8_t head[8] = {};
  std::uint8_t mask[8] = {};
  for (std::size_t i = 0; i < std::min<std::size_t>(n, 8); ++i) {
    head[i] = pattern.bytes[i];
    mask[i] = 0xFF;
  }
  std::memcpy(&pattern.head, head, sizeof head);
  std::memcpy(&pattern.mask, mask, sizeof mask);
  return pattern;
}

// The patterns that can match a sector: those at its start by its first
// byte, each list in group order (an empty signature matches every sector),
// and apart from them the few that stand further in. Sectors that begin
// with eight zero bytes (free space, the gaps in files) are common and the
// zero byte starts many signatures: only those whose first eight bytes are
// zero, or that have none, can match them.
class PatternTable {
 public:
  explicit PatternTable(std::span<const SignatureGroup> groups) {
    for (std::size_t i = 0; i < groups.size(); ++i) {
      const auto pattern = PatternOf(groups[i], i);
      if (!pattern) continue;
      if (pattern->offset != 0 && !pattern->bytes.empty()) {
        within_.push_back(*pattern);
      } else if (pattern->bytes.empty()) {
        for (auto& list : byFirst_) list.push_back(*pattern);
      } else {
        byFirst_[pattern->bytes[0]].push_back(*pattern);
      }
    }
    for (const Pattern& p : byFirst_[0])
      if (p.head == 0) zeroStart_.push_back(p);
  }

  // The first group, in group order, whose signature the sector holds
  // where the group's signature stands and whose check the bytes from the
  // sector's start pass; from(n) gives n bytes from the sector's start.
  template <typename BytesFromSector>
  std::optional<std::size_t> Match(const std::uint8_t* sector, const BytesFromSector& from) const {
    const auto matches = [&](const Pattern& p) {
      return p.SignatureAt(sector) && (p.rule.check == nullptr || p.rule.check(from(p.rule.bytes)));
    };
    std::optional<std::size_t> first;
    std::uint64_t start = 0;
    std::memcpy(&start, sector, sizeof start);
    for (const Pattern& p : start == 0 ? zeroStart_ : byFirst_[sector[0]]) {
      if (matches(p)) {
        first = p.group;
        break;
      }
    }
    for (const Pattern& p : within_)
      if ((!first || p.group < *first) && matches(p)) first = p.group;
    return first;
  }

 private:
  std::array<std::vector<Pattern>, 256> byFirst_;
  std::vector<Pattern> zeroStart_;
  std::vector<Pattern> within_;
};

// The extensions of the compound-document types, which officeKind tells apart.
bool IsCompoundDocument(const std::u16string& extension) {
  return SameIgnoringCase(extension, u".doc") || SameIgnoringCase(extension, u".xls") ||
         SameIgnoringCase(extension, u".ppt") || SameIgnoringCase(extension, u".pub");
}

// The group whose extension the file's content names, when one is sought;
// else the group whose signature matched.
std::size_t RefinedGroup(std::span<const SignatureGroup> groups, std::size_t matched, std::u16string_view kind) {
  if (kind.empty()) return matched;
  for (std::size_t i = 0; i < groups.size(); ++i)
    if (SameIgnoringCase(groups[i].extension, kind)) return i;
  return matched;
}

struct Hit {
  std::uint64_t sector = 0;
  std::size_t group = 0;  // after the content's refinement
};

// The hits of one chunk, in sector order; reads past the chunk on its own
// where a check or the content wants more bytes than the chunk holds.
std::vector<Hit> HitsOf(const SectorReader& reader, const PatternTable& table, std::span<const SignatureGroup> groups,
                        const OfficeKind& officeKind, const SectorChunk& chunk, Bytes bytes) {
  std::vector<Hit> hits;
  std::vector<std::uint8_t> ahead;
  const auto bytesFrom = [&](std::uint64_t s, Bytes inChunk, std::size_t wanted) {
    if (wanted <= inChunk.size()) return inChunk.first(wanted);
    ahead.resize((wanted + kSectorSize - 1) / kSectorSize * kSectorSize);
    reader.Read(s, static_cast<std::uint32_t>(ahead.size() / kSectorSize), ahead);
    return Bytes(ahead).first(wanted);
  };
  for (std::uint32_t i = 0; i < chunk.sectors; ++i) {
    const std::uint64_t s = chunk.first + i;
    // The rest of the chunk from this sector on; the walk leaves zero bytes
    // after it, which SignatureAt may read.
    const Bytes rest = bytes.subspan(std::size_t{i} * kSectorSize);
    const auto match = table.Match(rest.data(), [&](std::size_t wanted) { return bytesFrom(s, rest, wanted); });
    if (!match) continue;
    // What the file's content says of its kind within its family.
    std::u16string kind;
    const Bytes sector = rest.first(kSectorSize);
    if (const std::size_t wanted = FamilyBytesWanted(sector); wanted > 0) {
      kind = FamilyMemberExtension(bytesFrom(s, rest, wanted));
    } else if (officeKind && IsCompoundDocument(groups[*match].extension)) {
      kind = officeKind(s);
    }
    hits.push_back({s, RefinedGroup(groups, *match, kind)});
  }
  return hits;
}

}  // namespace

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::vector<FoundFile> ScanSignatures(const SectorReader& reader, std::uint64_t first, std::uint64_t last,
                                      std::span<const SignatureGroup> groups, const OfficeKind& officeKind,
                                      ScanControl& control, unsigned threads) {
  std::vector<FoundFile> found;
  const PatternTable table(groups);
  const std::uint64_t total = std::max<std::uint64_t>(last, 1);
  std::uint64_t reads = 0;
  int shownPercent = -1;
  // The first sector whose percent may differ from the one shown: the
  // division is done once a percent, not once a sector.
  std::uint64_t nextPercentAt = first;
  const WalkShape shape{first, last + 1, kReadSectors, kChunkReads, true, threads};
  // The bar moves only while the hit count is a multiple of 10: over
  // sectors [from, to) with the count as it stands, the percent of each
  // sector the bar has not shown yet. False when a stop, asked as a
  // percent was shown, ends the range before its last sector.
  const auto movePercent = [&](std::uint64_t from, std::uint64_t to) {
    if (found.size() % 10 != 0) return true;
    while (nextPercentAt < to) {
      const std::uint64_t s = std::max(from, nextPercentAt);
      const auto percent = static_cast<int>(std::min<std::uint64_t>((s - first) * 100 / total, 99));
      if (percent != shownPercent) control.ReportPercent(shownPercent = percent);
      nextPercentAt =
          percent >= 99 ? UINT64_MAX : first + (static_cast<std::uint64_t>(percent + 1) * total + 99) / 100;
      if (s + 1 < to && control.StopRequested()) return false;
    }
    return true;
  };
  // Each chunk's hits are found on a worker; numbering, counts and progress
  // follow on this thread, read by read and hit by hit, as one thread going
  // sector by sector would have them.
  WalkSectors<std::vector<Hit>>(
      reader, shape, control,
      [&](const SectorChunk& chunk, Bytes bytes) { return HitsOf(reader, table, groups, officeKind, chunk, bytes); },
      [&](const SectorChunk& chunk, std::vector<Hit>&& hits) {
        auto hit = hits.begin();
        const std::uint64_t chunkEnd = chunk.first + chunk.sectors;
        for (std::uint64_t read = chunk.first; read < chunkEnd; read += kReadSectors) {
          if (reads++ % kProgressReads == 0) {
            control.Count(0, static_cast<std::uint32_t>(found.size()), read);
            control.Report("Reading Sector " + std::to_string(read) + " Of " + std::to_string(last));
          }
          const std::uint64_t readEnd = std::min(read + kReadSectors, chunkEnd);
          std::uint64_t from = read;
          for (; hit != hits.end() && hit->sector < readEnd; ++hit) {
            // A stop keeps every hit before it and none after.
            if (control.StopRequested() || !movePercent(from, hit->sector + 1)) return false;
            const SignatureGroup& group = groups[hit->group];
            FoundFile file;
            file.fileNumber = static_cast<std::uint32_t>(found.size() + 1);
            file.firstSector = hit->sector;
            file.typeName = group.typeName;
            file.extension = group.extension;
            file.name = FromUtf8(std::to_string(file.fileNumber)) + file.extension;
            found.push_back(std::move(file));
            control.Count(0, static_cast<std::uint32_t>(found.size()), hit->sector);
            from = hit->sector + 1;
          }
          if (from < readEnd && (control.StopRequested() || !movePercent(from, readEnd))) return false;
        }
        return true;
      });
  return found;
}

}  // namespace dravik
