// make-raw-dat SOURCE OUTPUT: turns the readable list of file types (one a
// line: category digit, extension, type name, signature hex, extra hex,
// separated by tabs; "#" lines and blank lines left out) into the catalogue
// file File Trace reads. Each record: a 16-bit word giving the bytes that
// follow it, the category byte, then five fields each a 16-bit length and its
// bytes: extension, type name, the signature's length in decimal digits, the
// signature's bytes, the extra bytes. A signature that stands further into
// the sector is written "HEX@OFFSET" (OFFSET in decimal); its length field
// then reads "LENGTH@OFFSET", so a reader that takes the field's leading
// digits still finds the length. Fails, naming the line, on a line it cannot
// take, so a bad catalogue never reaches a build.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool HexBytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text.substr(i, 2), &used, 16);
    if (used != 2) return false;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

void Field(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes) {
  out.push_back(static_cast<std::uint8_t>(bytes.size() & 0xFF));
  out.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-raw-dat SOURCE OUTPUT\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "make-raw-dat: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<std::uint8_t> out;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    std::vector<std::uint8_t> signature;
    std::vector<std::uint8_t> extra;
    bool ok = fields.size() == 5 && fields[0].size() == 1 && fields[0][0] >= '0' && fields[0][0] <= '9';
    std::string offset;
    if (ok && fields[3].find('@') != std::string::npos) {
      offset = fields[3].substr(fields[3].find('@') + 1);
      fields[3].resize(fields[3].find('@'));
      ok = !offset.empty() && offset.size() <= 3 && offset.find_first_not_of("0123456789") == std::string::npos;
    }
    try {
      ok = ok && HexBytes(fields[3], signature) && HexBytes(fields[4], extra);
    } catch (const std::exception&) {
      ok = false;
    }
    constexpr std::size_t kSector = 512;
    if (!ok || signature.empty() || signature.size() > 15 ||
        (!offset.empty() && std::stoul(offset) + signature.size() > kSector)) {
      std::fprintf(stderr,
                   "make-raw-dat: %s:%d: want DIGIT<TAB>.EXT<TAB>NAME<TAB>HEX (1 to 15 bytes)[@OFFSET in the "
                   "sector]<TAB>HEX\n",
                   argv[1], number);
      return 1;
    }
    std::vector<std::uint8_t> record;
    record.push_back(static_cast<std::uint8_t>(fields[0][0]));
    Field(record, Text(fields[1]));
    Field(record, Text(fields[2]));
    Field(record, Text(std::to_string(signature.size()) + (offset.empty() ? "" : "@" + offset)));
    Field(record, signature);
    Field(record, extra);
    out.push_back(static_cast<std::uint8_t>(record.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(record.size() >> 8));
    out.insert(out.end(), record.begin(), record.end());
  }
  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "make-raw-dat: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
