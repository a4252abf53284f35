#include "vdisk/VirtualDisk.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "vdisk/BlockMap.h"
#include "vdisk/ImageFile.h"

namespace dravik {

const char* OpenFailureMessage(ImageKind kind, bool quickScan) {
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
  if (kind == kVhd) vhd_ = std::make_unique<VhdImage>();
  if (kind == kVhdx) vhdx_ = std::make_unique<VhdxImage>();
}

bool VirtualDisk::Open(const std::filesystem::path& path) {
  chain_ = {};
  DiskImage* image = Image();
  if (!image) return false;
  const bool ok = kind_ == kVhd ? vhd_->Open(path) : vhdx_->Open(path);
  if (ok) chain_ = AttachParents(*image, path, FileOpener());
  return ok;
}

bool VirtualDisk::Open(std::unique_ptr<ByteSource> file, const std::filesystem::path& path, const SourceOpener& open) {
  chain_ = {};
  DiskImage* image = Image();
  if (!image || !image->Open(std::move(file))) return false;
  if (!path.empty() && open) chain_ = AttachParents(*image, path, open);
  else chain_.images.push_back({path, image->FormatName(), image->TypeText(), true, image->LogReplayed()});
  return true;
}

DiskImage* VirtualDisk::Image() {
  if (kind_ == kVhd) return vhd_.get();
  if (kind_ == kVhdx) return vhdx_.get();
  return nullptr;
}

const DiskImage* VirtualDisk::Image() const {
  if (kind_ == kVhd) return vhd_.get();
  if (kind_ == kVhdx) return vhdx_.get();
  return nullptr;
}

const std::vector<Repair>& VirtualDisk::Repairs() const {
  static const std::vector<Repair> kNoRepairs;
  const DiskImage* image = Image();
  return image ? image->Repairs() : kNoRepairs;
}

bool VirtualDisk::NoStructureFound() const {
  const DiskImage* image = Image();
  return image && image->NoStructureFound();
}

void VirtualDisk::Close() {
  chain_ = {};
  if (kind_ == kVhd && vhd_) vhd_->Close();
  if (kind_ == kVhdx && vhdx_) vhdx_->Close();
}

void VirtualDisk::Destroy() {
  chain_ = {};
  vhdx_.reset();
  vhd_.reset();
}

const ByteSource* VirtualDisk::Reader() const {
  if (kind_ == kVhd) return vhd_.get();
  if (kind_ == kVhdx) return vhdx_.get();
  return nullptr;
}

bool VirtualDisk::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  const ByteSource* reader = Reader();
  return reader ? reader->ReadAt(offset, out) : FailWithZeros(out);
}

std::optional<FileSpan> VirtualDisk::Locate(std::uint64_t offset, std::uint64_t length) const {
  const ByteSource* reader = Reader();
  return reader ? reader->Locate(offset, length) : std::nullopt;
}

std::optional<ByteRange> VirtualDisk::PresentRange(std::uint64_t offset) const {
  const ByteSource* reader = Reader();
  return reader ? reader->PresentRange(offset) : std::nullopt;
}

std::uint64_t VirtualDisk::Size() const {
  const ByteSource* reader = Reader();
  return reader ? reader->Size() : 0;
}

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
  if (const VhdImage* vhd = Vhd()) return vhd->Diagnostic();
  if (const VhdxImage* vhdx = Vhdx()) return vhdx->Diagnostic();
  return {};
}

OpenResult OpenImage(VirtualDisk& disk, const std::filesystem::path& path, bool quickScan) {
  OpenResult result;
  result.kind = ImageKindFromPath(path);
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    // A path that cannot even be looked at (a folder on the way that may not
    // be searched) says why rather than that nothing is there.
    result.message = error ? path.string() + ": cannot be opened: " + error.message()
                           : path.string() + " file does not exists.";
    return result;
  }
  if (!result.kind) {
    result.message = path.string() + ": not a VHD or VHDX image (the name must end in .vhd, .vhdx, .avhd or .avhdx).";
    return result;
  }
  // A file that cannot be opened at all is not a damaged image: the message
  // says what stood in the way, and the corruption message is kept for files
  // that open but do not read as an image.
  disk.Create(*result.kind == ImageKind::kVhd ? VirtualDisk::kVhd : VirtualDisk::kVhdx);
  std::string why;
  auto file = ImageFile::Open(path, &why);
  if (!file) {
    result.message = path.string() + ": cannot be opened: " + why;
    return result;
  }
  result.ok = disk.Open(std::move(file), path);
  if (!result.ok) result.message = OpenFailureMessage(*result.kind, quickScan);
  if (!result.ok && disk.NoStructureFound())
    result.notAnImage = path.string() + ": not a " + (*result.kind == ImageKind::kVhd ? "VHD" : "VHDX") +
                        " image: " + disk.Diagnostic();
  return result;
}

}  // namespace dravik
