#pragma once
// Paths of the test images, temporary folders and small file helpers.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dravik {
class ByteSource;
class VirtualDisk;
}

namespace dravik::test {

// An image made by the fixture scripts; the test fails when it is missing. Fixture looks in the virtual disk images'
// folder ("vdisk"), FixtureIn in the named folder of another fixture script ("partition").
std::filesystem::path Fixture(const std::string& name);
std::filesystem::path FixtureIn(const std::string& folder, const std::string& name);
// A file of the test data kept beside the project (made by others).
std::filesystem::path SharedTestData(const std::string& relative);
std::filesystem::path CliPath();
// A shell command running the dravik under test with these arguments.
std::string Dravik(const std::string& args);

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
// size bytes of a file at offset; throws when the file is shorter.
std::vector<std::uint8_t> BytesAt(const std::filesystem::path& file, std::uint64_t offset, std::size_t size);
// A VHD or VHDX (by its extension, its chain followed), else a raw disk, opened
// read-only; throws when it does not open.
std::unique_ptr<ByteSource> OpenTestImage(const std::filesystem::path& image);
// The whole source, read step bytes at a time; the test fails when a read fails.
std::vector<std::uint8_t> ReadAll(const ByteSource& source, std::size_t step = SIZE_MAX);
// A VHD or VHDX opened as a scan other than the Quick Scan opens it; the test fails when it is not usable.
VirtualDisk OpenOrFail(const std::filesystem::path& image);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// Writes bytes at offset, extending the file (sparsely) when needed.
void PatchFile(const std::filesystem::path& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);

// Runs a shell command; returns its exit status and what it wrote to stdout.
struct CommandResult {
  int status = -1;
  std::string out;
};
CommandResult RunShell(const std::string& command);
std::string Quote(const std::filesystem::path& path);
// The parts of text between separators (empty ones kept).
std::vector<std::string> Split(const std::string& text, char separator);
// The "NAME NUMBER" lines of a fixture's list, by name; the test fails when there are none.
std::map<std::string, std::uint32_t> ReadNamedNumbers(const std::filesystem::path& list);
// sha256sum of every file below dir, by path relative to dir.
std::map<std::string, std::string> Sha256Tree(const std::filesystem::path& dir);

// The raw disk wrapped by qemu-img as dir/NAME.vhd (dynamic) or NAME.vhdx.
std::filesystem::path WrapRawDisk(const std::filesystem::path& raw, const std::filesystem::path& dir,
                                  const std::string& name, const std::string& extension);

// A fresh folder under the build's temporary area, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace dravik::test
