#include "TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <span>
#include <sstream>
#include <stdexcept>

#include "vdisk/ImageFile.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::test {

std::unique_ptr<ByteSource> OpenTestImage(const std::filesystem::path& image) {
  const std::string extension = image.extension().string();
  if (extension == ".vhd" || extension == ".vhdx") {
    auto disk = std::make_unique<VirtualDisk>();
    const OpenResult opened = OpenImage(*disk, image, true);
    if (!opened.Usable()) throw std::runtime_error("cannot open " + image.string() + ": " + opened.message);
    return disk;
  }
  auto file = ImageFile::Open(image);
  if (!file) throw std::runtime_error("cannot open " + image.string());
  return file;
}

VirtualDisk OpenOrFail(const std::filesystem::path& image) {
  VirtualDisk disk;
  const OpenResult result = OpenImage(disk, image, false);
  EXPECT_TRUE(result.Usable()) << image << ": " << result.message;
  return disk;
}

std::vector<std::uint8_t> ReadAll(const ByteSource& source, std::size_t step) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(source.Size()));
  for (std::size_t at = 0; at < bytes.size(); at += step)
    EXPECT_TRUE(source.ReadAt(at, std::span(bytes).subspan(at, std::min(step, bytes.size() - at)))) << "at " << at;
  return bytes;
}

namespace fs = std::filesystem;

namespace {
fs::path Existing(const fs::path& path) {
  if (!fs::exists(path)) ADD_FAILURE() << "missing test file " << path << " (did the fixture scripts run?)";
  return path;
}
}  // namespace

fs::path Fixture(const std::string& name) { return Existing(fs::path(DRAVIK_FIXTURE_DIR) / name); }
fs::path FixtureIn(const std::string& folder, const std::string& name) {
  return Existing(fs::path(DRAVIK_FIXTURE_ROOT) / folder / name);
}
fs::path SharedTestData(const std::string& relative) { return Existing(fs::path(DRAVIK_SHARED_TESTDATA) / relative); }

fs::path CliPath() { return DRAVIK_CLI_PATH; }

std::string Dravik(const std::string& args) { return Quote(CliPath()) + " " + args; }

std::vector<std::uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> BytesAt(const fs::path& file, std::uint64_t offset, std::size_t size) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (!in) throw std::runtime_error("cannot read " + file.string() + " at " + std::to_string(offset));
  return bytes;
}

void WriteFileBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void PatchFile(const fs::path& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file) throw std::runtime_error("cannot open " + path.string());
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot patch " + path.string());
}

CommandResult RunShell(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const fs::path& path) {
  std::string quoted = "'";
  for (const char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t to = text.find(separator, from);
    parts.push_back(text.substr(from, to == std::string::npos ? std::string::npos : to - from));
    if (to == std::string::npos) return parts;
    from = to + 1;
  }
}

std::map<std::string, std::uint32_t> ReadNamedNumbers(const fs::path& list) {
  std::ifstream in(list);
  std::map<std::string, std::uint32_t> numbers;
  std::string name;
  std::uint32_t number = 0;
  while (in >> name >> number) numbers[name] = number;
  EXPECT_FALSE(numbers.empty()) << list << " lists nothing";
  return numbers;
}

std::map<std::string, std::string> Sha256Tree(const fs::path& dir) {
  const CommandResult result =
      RunShell("cd " + Quote(dir) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
  EXPECT_EQ(result.status, 0) << "sha256sum failed in " << dir;
  std::map<std::string, std::string> sums;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);)
    if (line.size() >= 68) sums[line.substr(line.compare(66, 2, "./") == 0 ? 68 : 66)] = line.substr(0, 64);
  return sums;
}

fs::path WrapRawDisk(const fs::path& raw, const fs::path& dir, const std::string& name, const std::string& extension) {
  if (extension != "vhd" && extension != "vhdx") throw std::invalid_argument("no image kind " + extension);
  const fs::path image = dir / (name + "." + extension);
  const std::string format = extension == "vhd" ? "vpc -o subformat=dynamic" : "vhdx";
  const CommandResult convert =
      RunShell("qemu-img convert -f raw -O " + format + " " + Quote(raw) + " " + Quote(image) + " 2>&1");
  if (convert.status != 0) throw std::runtime_error("qemu-img convert failed: " + convert.out);
  return image;
}

TempDir::TempDir() {
  const fs::path base = fs::path(DRAVIK_TEST_TMP);
  fs::create_directories(base);
  std::string pattern = (base / "tmp-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

}  // namespace dravik::test
