#pragma once
// The disks of make-save-fixtures.sh, a destination that fills up (a small
// tmpfs), and the check of a name shortened to fit Linux.

#include <filesystem>
#include <map>
#include <string>

namespace dravik::test {

std::filesystem::path SaveFixture(const std::string& name);
// The files of fill.vhd: path as written on the volume -> sha256.
std::map<std::string, std::string> ReadFillManifest();
// The name of 87 CJK characters that fill.vhd holds (UTF-8).
std::string FillLongName();

// A tmpfs of the given size ("2m") mounted at a fresh folder, unmounted and
// removed with the object; without root Mounted() is false, Problem() says why.
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

// True when saved is name, or name shortened as the save promises: at most
// 255 bytes of whole characters, no more than one character short of 255, an
// extension of up to 16 bytes kept after a prefix of what stands before it.
bool IsFaithfulShortening(const std::string& saved, const std::string& name);

// The path of paths a saved relative path stands for, each level equal or
// shortened faithfully; "" when none fits.
std::string OriginalPath(const std::string& saved, const std::map<std::string, std::string>& paths);

}  // namespace dravik::test
