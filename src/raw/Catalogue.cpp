#include "raw/Catalogue.h"

#include <fstream>
#include <iterator>

namespace dravik {

namespace {

constexpr const char* kCategoryNames[] = {"Archive Files",  "Document Files", "Database Files", "E-mail Files",
                                          "Graphics Files", "Sound Files",    "Media Files",    "Internet Files",
                                          "CAD Files",      "Other Files"};

// Reads the fields of a record in turn; what lies past the end reads as zeros
// (numbers) or is missing (texts).
class RecordReader {
 public:
  explicit RecordReader(Bytes file) : file_(file) {}
  bool AtEnd() const { return at_ >= file_.size(); }

  std::uint16_t Length() {
    const std::uint16_t value = static_cast<std::uint16_t>(u8(file_, at_) | (u8(file_, at_ + 1) << 8));
    at_ += 2;
    return value;
  }
  char Byte() { return static_cast<char>(u8(file_, at_++)); }
  Bytes Field() {
    const std::uint16_t length = Length();
    const Bytes field = Slice(file_, at_, length);
    at_ += length;
    return field;
  }
  std::string Text() {
    const Bytes field = Field();
    return {field.begin(), field.end()};
  }

 private:
  Bytes file_;
  std::size_t at_ = 0;
};

std::string Hex(Bytes bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// 8-bit text widened character by character.
std::u16string Widen(const std::string& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (const char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return wide;
}

CatalogueCategory& CategoryOf(Catalogue& catalogue, const std::string& name) {
  for (CatalogueCategory& category : catalogue.categories)
    if (category.name == name) return category;
  return catalogue.categories.emplace_back(CatalogueCategory{name, {}});
}

}  // namespace

std::string CategoryName(char digit) {
  if (digit >= '0' && digit <= '9') return kCategoryNames[digit - '0'];
  return std::string(1, digit);
}

Catalogue ReadCatalogue(Bytes file) {
  Catalogue catalogue;
  RecordReader reader(file);
  while (!reader.AtEnd()) {
    CatalogueEntry entry;
    entry.index = static_cast<std::uint32_t>(catalogue.entries.size());
    reader.Length();
    entry.category = reader.Byte();
    entry.extension = reader.Text();
    entry.typeName = reader.Text();
    entry.signatureLength = reader.Text();
    entry.signature = Hex(reader.Field());
    entry.extra = Hex(reader.Field());
    if (!entry.extension.empty()) CategoryOf(catalogue, CategoryName(entry.category)).items.push_back(entry.index);
    catalogue.entries.push_back(std::move(entry));
  }
  return catalogue;
}

std::optional<Catalogue> LoadCatalogue(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return ReadCatalogue(bytes);
}

std::vector<std::string> CarveSizeEntries() {
  std::vector<std::string> entries;
  for (std::size_t i = 0; CarveSizeOfEntry(i) != 0; ++i) entries.push_back(std::to_string(CarveSizeOfEntry(i)) + " MB");
  return entries;
}

std::uint32_t CarveSizeOfEntry(std::size_t position) {
  constexpr std::size_t kSingleSteps = 20;  // "1 MB" .. "20 MB"
  constexpr std::size_t kFiveSteps = 6;     // "25 MB" .. "50 MB"
  if (position < kSingleSteps) return static_cast<std::uint32_t>(position + 1);
  if (position < kSingleSteps + kFiveSteps) return static_cast<std::uint32_t>(20 + 5 * (position - kSingleSteps + 1));
  return 0;
}

std::size_t PreselectedCarveEntry(std::uint32_t carveSizeMiB) {
  for (std::size_t i = 0; CarveSizeOfEntry(i) != 0; ++i)
    if (CarveSizeOfEntry(i) == carveSizeMiB) return i;
  return 1;
}

std::uint32_t LeadingDecimal(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

std::uint32_t SignatureOffsetOf(std::string_view lengthText) {
  const std::size_t at = lengthText.find('@');
  return at == std::string_view::npos ? 0 : LeadingDecimal(lengthText.substr(at + 1));
}

bool ConfirmTypes(const Catalogue& catalogue, std::span<const std::size_t> checkedItems, std::uint32_t carveSizeMiB,
                  TraceChoice& choice) {
  if (checkedItems.empty()) return false;
  choice.carveSizeMiB = carveSizeMiB;
  for (const std::size_t item : checkedItems) {
    if (item >= catalogue.entries.size()) continue;
    const std::string& label = catalogue.entries[item].extension;
    for (const CatalogueEntry& entry : catalogue.entries) {
      if (entry.extension != label) continue;
      choice.groups.push_back({Widen(entry.extension), Widen(entry.typeName), LeadingDecimal(entry.signatureLength),
                               entry.signature, LeadingDecimal(entry.extra),
                               SignatureOffsetOf(entry.signatureLength)});
    }
  }
  return true;
}

std::filesystem::path CatalogueFileOf(const std::filesystem::path& programFolder, const std::string& dataFromProgram) {
  std::error_code ec;
  const std::filesystem::path beside = programFolder / "Raw.dat";
  if (std::filesystem::exists(beside, ec)) return beside;
  const std::filesystem::path installed = (programFolder / dataFromProgram / "Raw.dat").lexically_normal();
  return std::filesystem::exists(installed, ec) ? installed : beside;
}

}  // namespace dravik
