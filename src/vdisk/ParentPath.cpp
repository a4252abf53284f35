#include "vdisk/ParentPath.h"

#include <algorithm>

namespace dravik {

std::string Slashed(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.rfind("//?/", 0) == 0) path.erase(0, 4);
  return path;
}

std::string ParentFileName(const std::string& path) {
  const std::string slashed = Slashed(path);
  const std::size_t cut = slashed.find_last_of('/');
  std::string name = cut == std::string::npos ? slashed : slashed.substr(cut + 1);
  if (name.size() >= 2 && name[1] == ':') name.erase(0, 2);
  return name == "." || name == ".." ? std::string{} : name;
}

}  // namespace dravik
