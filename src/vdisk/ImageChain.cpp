#include "vdisk/ImageChain.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "vdisk/ImageFile.h"
#include "vdisk/ParentPath.h"
#include "vdisk/RawImage.h"
#include "vdisk/VhdImage.h"
#include "vdisk/VhdxImage.h"

namespace dravik {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// "C:/..." and "//server/share/...", and volume paths ("Volume{...}/..."),
// name places on another machine's drives that cannot be reached from here.
bool IsWindowsAbsolute(const std::string& slashed) {
  if (slashed.size() >= 2 && std::isalpha(static_cast<unsigned char>(slashed[0])) && slashed[1] == ':') return true;
  return slashed.rfind("//", 0) == 0 || Lower(slashed).rfind("volume{", 0) == 0;
}

// Two paths that name one file compare equal.
std::string Key(const fs::path& path) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(path, error);
  return (error ? path.lexically_normal() : canonical).string();
}

ImageKind KindOf(const DiskImage& image) {
  return std::string_view(image.FormatName()) == "VHD" ? ImageKind::kVhd : ImageKind::kVhdx;
}

}  // namespace

std::optional<ImageKind> ImageKindFromPath(const fs::path& path) {
  const std::string extension = Lower(path.extension().string());
  if (extension == ".vhd" || extension == ".avhd") return ImageKind::kVhd;
  if (extension == ".vhdx" || extension == ".avhdx") return ImageKind::kVhdx;
  if (extension == ".img" || extension == ".raw" || extension == ".dd") return ImageKind::kRaw;
  return std::nullopt;
}

const char* ImageKindName(ImageKind kind) {
  switch (kind) {
    case ImageKind::kVhd: return "VHD";
    case ImageKind::kVhdx: return "VHDX";
    case ImageKind::kRaw: return "raw";
  }
  return "";
}

std::unique_ptr<DiskImage> MakeReader(ImageKind kind) {
  switch (kind) {
    case ImageKind::kVhd: return std::make_unique<VhdImage>();
    case ImageKind::kVhdx: return std::make_unique<VhdxImage>();
    case ImageKind::kRaw: return std::make_unique<RawImage>();
  }
  return nullptr;
}

SourceOpener FileOpener() {
  return [](const fs::path& path, std::string* why) -> std::unique_ptr<ByteSource> { return ImageFile::Open(path, why); };
}

bool ChainReport::Complete() const {
  return std::all_of(images.begin(), images.end(), [](const ChainImage& image) { return image.found; });
}

std::vector<fs::path> ParentCandidates(const ParentLink& link, const fs::path& childFolder) {
  std::vector<fs::path> candidates;
  const auto add = [&](const fs::path& path) {
    if (!path.empty() && std::find(candidates.begin(), candidates.end(), path) == candidates.end())
      candidates.push_back(path);
  };
  for (const std::string& location : link.locations) {
    const std::string slashed = Slashed(location);
    if (slashed.empty() || IsWindowsAbsolute(slashed)) continue;
    const fs::path path(slashed);
    add(path.is_absolute() ? path.lexically_normal() : (childFolder / path).lexically_normal());
  }
  for (const std::string& location : link.locations) {
    const std::string name = ParentFileName(location);
    if (!name.empty()) add(childFolder / name);
  }
  const std::string name = ParentFileName(link.name);
  if (!name.empty()) add(childFolder / name);
  return candidates;
}

ChainReport AttachParents(DiskImage& image, const fs::path& path, const SourceOpener& open) {
  ChainReport report;
  report.images.push_back({path, image.FormatName(), image.TypeText(), true, image.LogReplayed()});
  for (const std::string& warning : image.Warnings()) report.warnings.push_back(path.string() + ": " + warning);
  std::vector<std::string> seen{Key(path)};
  DiskImage* child = &image;
  fs::path childPath = path;
  for (std::size_t depth = 1;; ++depth) {
    const std::optional<ParentLink> link = child->ParentToFind();
    if (!link) break;
    const std::string wanted = !link->name.empty() ? link->name
                               : !link->locations.empty() ? link->locations.front()
                                                          : std::string("(unnamed parent)");
    if (depth >= kMaxChainDepth) {
      report.images.push_back({wanted, "", "", false, false});
      report.warnings.push_back("the chain is longer than " + std::to_string(kMaxChainDepth) +
                                " images; the parent of " + childPath.string() + " is not opened");
      break;
    }
    std::unique_ptr<DiskImage> chosen;
    fs::path chosenPath;
    bool chosenMatches = false;
    bool loop = false;
    for (const fs::path& candidate : ParentCandidates(*link, childPath.parent_path())) {
      if (std::find(seen.begin(), seen.end(), Key(candidate)) != seen.end()) {
        loop = true;
        continue;
      }
      std::string why;
      auto file = open(candidate, &why);
      if (!file) continue;
      const std::optional<ImageKind> named = ImageKindFromPath(candidate);
      auto reader = MakeReader(named && named != ImageKind::kRaw ? *named : KindOf(*child));
      const auto* vhd = dynamic_cast<const VhdImage*>(reader.get());
      if (!reader->Open(std::move(file)) || (vhd && !vhd->HasFooterCookie())) {
        report.warnings.push_back(candidate.string() + " does not read as a " + reader->FormatName() +
                                  " image and is not used as the parent of " + childPath.string());
        continue;
      }
      const bool matches = !link->id || reader->Identity() == *link->id;
      if (!chosen || (matches && !chosenMatches)) {
        chosen = std::move(reader);
        chosenPath = candidate;
        chosenMatches = matches;
      }
      if (matches) break;
    }
    if (!chosen) {
      report.images.push_back({wanted, "", "", false, false});
      report.warnings.push_back(
          loop ? "the parent of " + childPath.string() + " is an image already in the chain (a loop of parents); it is not opened"
               : "the parent " + wanted + " of " + childPath.string() +
                     " was not found; what only the parent holds reads as zeros");
      break;
    }
    if (!chosenMatches)
      report.warnings.push_back("the parent " + chosenPath.string() + " has the id " + chosen->Identity().Text() + ", but " +
                                childPath.string() + " expects " + link->id->Text() +
                                " (a wrong or changed parent?); it is used all the same");
    if (chosen->Size() != child->Size())
      report.warnings.push_back("the parent " + chosenPath.string() + " is " + std::to_string(chosen->Size()) +
                                " bytes long, its child " + std::to_string(child->Size()));
    report.images.push_back({chosenPath, chosen->FormatName(), chosen->TypeText(), true, chosen->LogReplayed()});
    for (const std::string& warning : chosen->Warnings()) report.warnings.push_back(chosenPath.string() + ": " + warning);
    seen.push_back(Key(chosenPath));
    DiskImage* next = chosen.get();
    child->AttachParent(std::move(chosen));
    child = next;
    childPath = chosenPath;
  }
  return report;
}

}  // namespace dravik
