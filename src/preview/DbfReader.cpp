#include "preview/DbfReader.h"

#include <algorithm>
#include <string_view>

namespace dravik::preview {
namespace {

// The file header.
constexpr std::size_t kVersion = 0;
constexpr std::size_t kRecordCount = 4;
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kRecordLength = 10;
constexpr std::size_t kFirstDescriptor = 32;

// A field descriptor.
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kName = 0;
constexpr std::size_t kNameSize = 11;
constexpr std::size_t kType = 11;
constexpr std::size_t kLength = 16;
constexpr std::size_t kDecimals = 17;
constexpr std::uint8_t kTerminator = 0x0D;

constexpr char kDeletedFlag = '*';

// Version bytes of dBASE II to 7, FoxBase, FoxPro and Visual FoxPro, with and
// without memos.
bool KnownVersion(std::uint8_t version) {
  constexpr std::uint8_t kVersions[] = {0x02, 0x03, 0x04, 0x05, 0x07, 0x30, 0x31, 0x32, 0x43, 0x63, 0x7B,
                                        0x83, 0x87, 0x8B, 0x8C, 0x8E, 0xB3, 0xCB, 0xE5, 0xF5, 0xFB};
  return std::find(std::begin(kVersions), std::end(kVersions), version) != std::end(kVersions);
}

bool KnownType(char type) { return std::string_view("CNFLDMGPIYTB0@+OVWQ").find(type) != std::string_view::npos; }

std::string Trimmed(Bytes raw) {
  std::size_t begin = 0;
  std::size_t end = raw.size();
  const auto blank = [](std::uint8_t c) { return c == ' ' || c == 0 || c == '\t'; };
  while (begin < end && blank(raw[begin])) ++begin;
  while (end > begin && blank(raw[end - 1])) --end;
  return std::string(raw.begin() + static_cast<std::ptrdiff_t>(begin), raw.begin() + static_cast<std::ptrdiff_t>(end));
}

std::string LogicalText(Bytes raw) {
  const std::string v = Trimmed(raw);
  if (v.size() != 1) return {};
  if (std::string_view("TtYy").find(v[0]) != std::string_view::npos) return "TRUE";
  if (std::string_view("FfNn").find(v[0]) != std::string_view::npos) return "FALSE";
  return {};
}

// YYYYMMDD as YYYY-MM-DD; anything else as it stands.
std::string DateText(Bytes raw) {
  const std::string v = Trimmed(raw);
  if (v.size() != 8 || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) return v;
  return v.substr(0, 4) + "-" + v.substr(4, 2) + "-" + v.substr(6, 2);
}

std::optional<DbfField> ReadDescriptor(Bytes d) {
  DbfField f;
  const Bytes name = d.subspan(kName, kNameSize);
  f.name.assign(name.begin(), std::find(name.begin(), name.end(), 0));
  f.name = Trimmed(Bytes(reinterpret_cast<const std::uint8_t*>(f.name.data()), f.name.size()));
  f.type = static_cast<char>(d[kType]);
  f.length = d[kLength];
  f.decimals = d[kDecimals];
  if (!KnownType(f.type) || f.length == 0) return std::nullopt;
  return f;
}

}  // namespace

DbfTable::DbfTable(std::vector<DbfField> fields, std::size_t recordLength, std::vector<std::uint8_t> records)
    : fields_(std::move(fields)),
      recordLength_(recordLength),
      recordCount_(recordLength ? records.size() / recordLength : 0),
      records_(std::move(records)) {}

bool DbfTable::Deleted(std::size_t record) const {
  return record < recordCount_ && records_[record * recordLength_] == kDeletedFlag;
}

std::string DbfTable::Text(std::size_t record, std::size_t field) const {
  if (record >= recordCount_ || field >= fields_.size()) return {};
  const DbfField& f = fields_[field];
  return DbfValueText(f.type, Bytes(records_).subspan(record * recordLength_ + f.offset, f.length));
}

std::string DbfValueText(char type, Bytes raw) {
  switch (type) {
    case 'M': return "Memo";
    case 'G': return "General";
    case 'P': return "Picture";
    case 'L': return LogicalText(raw);
    case 'D': return DateText(raw);
    case 'I': return raw.size() == 4 ? std::to_string(static_cast<std::int32_t>(le32(raw, 0))) : Trimmed(raw);
    default: return Trimmed(raw);
  }
}

DbfRead ReadDbf(Bytes file) {
  if (file.size() < kFirstDescriptor + 1 || !KnownVersion(file[kVersion])) return {std::nullopt, "not a dBASE table"};
  const std::size_t headerLength = le16(file, kHeaderLength);
  const std::size_t recordLength = le16(file, kRecordLength);
  if (headerLength < kFirstDescriptor + 1 || headerLength > file.size())
    return {std::nullopt, "impossible header length"};
  std::vector<DbfField> fields;
  std::size_t offset = 1;
  std::size_t at = kFirstDescriptor;
  for (; at + kDescriptorSize <= headerLength && file[at] != kTerminator; at += kDescriptorSize) {
    std::optional<DbfField> field = ReadDescriptor(file.subspan(at, kDescriptorSize));
    if (!field) return {std::nullopt, "a damaged field descriptor"};
    field->offset = offset;
    offset += field->length;
    fields.push_back(std::move(*field));
  }
  if (fields.empty()) return {std::nullopt, "no fields"};
  if (offset > recordLength) return {std::nullopt, "the fields do not fit in the record length"};
  // The header's count is trusted only as far as whole records are in the file.
  const std::size_t available = (file.size() - headerLength) / recordLength;
  const std::size_t count = std::min<std::size_t>(le32(file, kRecordCount), available);
  const Bytes records = file.subspan(headerLength, count * recordLength);
  return {DbfTable(std::move(fields), recordLength, std::vector<std::uint8_t>(records.begin(), records.end())), {}};
}

}  // namespace dravik::preview
