#include "vdisk/VirtualDisk.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "vdisk/BlockMap.h"
#include "vdisk/ImageFile.h"

namespace dravik {

VirtualDisk::Kind VirtualDiskKind(ImageKind kind) {
  switch (kind) {
    case ImageKind::kVhd: return VirtualDisk::kVhd;
    case ImageKind::kVhdx: return VirtualDisk::kVhdx;
    case ImageKind::kRaw: return VirtualDisk::kRaw;
  }
  return VirtualDisk::kNone;
}

const char* OpenFailureMessage(ImageKind kind, bool quickScan) {
  if (kind == ImageKind::kRaw) return "This file is empty and holds no disk. Please select other file to recover.";
  if (kind == ImageKind::kVhd)
    return quickScan ? "This VHD file is either not readable using Quick Scan or highly corrupted. Please select "
                       "extensive scan to recover."
                     : "This VHD file is highly corrupted or Invalid file type. Please select other file to recover.";
  return quickScan ? "This VHDX file is either not readable using Quick Scan or highly corrupted. Please select "
                     "extensive scan to recover."
                   : "This VHDX file is highly corrupted or Invalid file type. Please select other file to recover.";
}

void VirtualDisk::Create(Kind kind) {
  kind_ = kind;
  image_.reset();
  if (const std::optional<ImageKind> imageKind = CurrentImageKind()) image_ = MakeReader(*imageKind);
}

std::optional<ImageKind> VirtualDisk::CurrentImageKind() const {
  switch (kind_) {
    case kVhd: return ImageKind::kVhd;
    case kVhdx: return ImageKind::kVhdx;
    case kRaw: return ImageKind::kRaw;
    case kNone: break;
  }
  return std::nullopt;
}

bool VirtualDisk::Open(const std::filesystem::path& path) {
  chain_ = {};
  openProblem_.clear();
  if (!image_) return false;
  std::string why;
  auto file = ImageFile::Open(path, &why);
  if (!file) {
    image_->Close();
    openProblem_ = "the file cannot be opened for reading: " + why;
    return false;
  }
  return Open(std::move(file), path);
}

bool VirtualDisk::Open(std::unique_ptr<ByteSource> file, const std::filesystem::path& path, const SourceOpener& open) {
  chain_ = {};
  openProblem_.clear();
  if (!image_ || !image_->Open(std::move(file))) return false;
  if (!path.empty() && open) chain_ = AttachParents(*image_, path, open);
  else chain_.images.push_back({path, image_->FormatName(), image_->TypeText(), true, image_->LogReplayed()});
  return true;
}

const std::vector<Repair>& VirtualDisk::Repairs() const {
  static const std::vector<Repair> kNoRepairs;
  return image_ ? image_->Repairs() : kNoRepairs;
}

LostBlocks VirtualDisk::Lost() const { return image_ ? image_->Lost() : LostBlocks{}; }

void VirtualDisk::Place(const std::vector<BlockPlacement>& placements) {
  if (image_) image_->Place(placements);
}

void VirtualDisk::AddRepair(Repair repair) {
  if (image_) image_->AddRepair(std::move(repair));
}

bool VirtualDisk::NoStructureFound() const { return image_ && image_->NoStructureFound(); }

void VirtualDisk::Close() {
  chain_ = {};
  if (image_) image_->Close();
}

void VirtualDisk::Destroy() {
  chain_ = {};
  image_.reset();
}

bool VirtualDisk::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  return image_ ? image_->ReadAt(offset, out) : FailWithZeros(out);
}

std::optional<FileSpan> VirtualDisk::Locate(std::uint64_t offset, std::uint64_t length) const {
  return image_ ? image_->Locate(offset, length) : std::nullopt;
}

std::optional<ByteRange> VirtualDisk::PresentRange(std::uint64_t offset) const {
  return image_ ? image_->PresentRange(offset) : std::nullopt;
}

std::uint64_t VirtualDisk::Size() const { return image_ ? image_->Size() : 0; }

std::int32_t VirtualDisk::Cylinders() const {
  if (const VhdImage* vhd = Vhd()) cylinders_ = static_cast<std::int32_t>(vhd->Cylinders());
  return cylinders_;
}

std::int32_t VirtualDisk::Heads() const {
  if (const VhdImage* vhd = Vhd()) heads_ = static_cast<std::int32_t>(vhd->Heads());
  return heads_;
}

std::int32_t VirtualDisk::SectorsPerTrack() const {
  const VhdImage* vhd = Vhd();
  return vhd ? static_cast<std::int32_t>(vhd->SectorsPerTrack()) : 0;
}

std::uint64_t VirtualDisk::VirtualDiskSize() const {
  const VhdxImage* vhdx = Vhdx();
  return vhdx ? vhdx->VirtualDiskSize() : 0;
}

std::string VirtualDisk::DiskTypeText() const {
  if (kind_ == kRaw && image_) return image_->TypeText();
  const VhdxImage* vhdx = Vhdx();
  return vhdx ? vhdx->DiskTypeText() : std::string{};
}

std::int32_t VirtualDisk::DataBlockCount() const {
  const VhdxImage* vhdx = Vhdx();
  return vhdx ? vhdx->DataBlockCount() : 0;
}

std::int32_t VirtualDisk::TotalBatEntries() const {
  const VhdxImage* vhdx = Vhdx();
  return vhdx ? vhdx->TotalBatEntries() : 0;
}

std::string VirtualDisk::Diagnostic() const {
  if (!openProblem_.empty()) return openProblem_;
  return image_ ? image_->Diagnostic() : std::string{};
}

OpenResult OpenImage(VirtualDisk& disk, const std::filesystem::path& path, OpenRequest request) {
  OpenResult result;
  result.kind = request.asRaw ? ImageKind::kRaw : ImageKindFromPath(path);
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    // A path that cannot even be looked at (a folder on the way that may not
    // be searched) says why rather than that nothing is there.
    result.Fail(error ? path.string() + ": cannot be opened: " + error.message()
                      : path.string() + " file does not exists.");
    return result;
  }
  if (!result.kind) {
    result.NotThis(path.string() +
                   ": not a VHD or VHDX image (the name must end in .vhd, .vhdx, .avhd or .avhdx, or .img, .raw or "
                   ".dd for a disk copied byte for byte).");
    return result;
  }
  // A file that cannot be opened at all is not a damaged image: the message
  // says what stood in the way, and the corruption message is kept for files
  // that open but do not read as an image.
  disk.Create(VirtualDiskKind(*result.kind));
  std::string why;
  auto file = ImageFile::Open(path, &why);
  if (!file) {
    result.Fail(path.string() + ": cannot be opened: " + why);
    return result;
  }
  if (disk.Open(std::move(file), path)) return result;
  if (disk.NoStructureFound()) {
    result.NotThis(OpenFailureMessage(*result.kind, request.quickScan));
    result.details.push_back(path.string() + ": not a " + ImageKindName(*result.kind) + " image: " + disk.Diagnostic());
  } else {
    result.Fail(OpenFailureMessage(*result.kind, request.quickScan));
  }
  return result;
}

}  // namespace dravik
