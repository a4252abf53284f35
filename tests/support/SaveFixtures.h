#pragma once
// The disk of make-save-fixtures.sh and what the tests of failing saves need
// around it: a destination that fills up (a small tmpfs), and the check that
// a saved name is a faithful shortening of a name too long for Linux.

#include <filesystem>
#include <map>
#include <string>

namespace dravik::test {

// A file of the save fixtures: "fill.vhd", "fill.manifest", "long-name".
std::filesystem::path SaveFixture(const std::string& name);
// The files of fill.vhd: path as written on the volume -> sha256.
std::map<std::string, std::string> ReadFillManifest();
// The name of 87 CJK characters that fill.vhd holds (UTF-8).
std::string FillLongName();

// A tmpfs of the given size ("2m") mounted at a fresh folder of that path,
// unmounted and removed with the object. Mounting needs root: when it
// fails, Mounted() is false and Problem() says why.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::filesystem::path& at, const std::string& size);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Problem() const { return problem_; }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string problem_;
};

// True when saved is name itself, or name shortened as the save promises:
// at most 255 bytes, whole characters, cut no more than one character short
// of 255, and (when name has an extension of up to 16 bytes) that
// extension kept after a prefix of what stands before it.
bool IsFaithfulShortening(const std::string& saved, const std::string& name);

// The path below a destination that a saved relative path stands for among
// paths (those of the manifest): each level equal, or shortened faithfully.
// "" when none fits.
std::string OriginalPath(const std::string& saved, const std::map<std::string, std::string>& paths);

}  // namespace dravik::test
