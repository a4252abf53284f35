#include "vdisk/PatchedSource.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace dravik {

PatchedSource::PatchedSource(std::unique_ptr<ByteSource> file) : file_(std::move(file)), size_(file_->Size()) {}

void PatchedSource::Clear(std::uint64_t begin, std::uint64_t end) {
  auto it = patches_.upper_bound(begin);
  if (it != patches_.begin()) --it;
  while (it != patches_.end() && it->first < end) {
    if (it->second.end <= begin) {
      ++it;
      continue;
    }
    const std::uint64_t start = it->first;
    Patch patch = std::move(it->second);
    it = patches_.erase(it);
    if (start < begin) {
      Patch head{begin, {}};
      if (!patch.bytes.empty()) head.bytes.assign(patch.bytes.begin(), patch.bytes.begin() + static_cast<std::ptrdiff_t>(begin - start));
      patches_.emplace(start, std::move(head));
    }
    if (patch.end > end) {
      Patch tail{patch.end, {}};
      if (!patch.bytes.empty()) tail.bytes.assign(patch.bytes.begin() + static_cast<std::ptrdiff_t>(end - start), patch.bytes.end());
      it = patches_.emplace(end, std::move(tail)).first;
      ++it;
    }
  }
}

void PatchedSource::Write(std::uint64_t offset, Bytes bytes) {
  if (bytes.empty() || offset > std::numeric_limits<std::uint64_t>::max() - bytes.size()) return;
  Clear(offset, offset + bytes.size());
  patches_.emplace(offset, Patch{offset + bytes.size(), {bytes.begin(), bytes.end()}});
  size_ = std::max(size_, offset + bytes.size());
}

void PatchedSource::Zero(std::uint64_t offset, std::uint64_t length) {
  if (length == 0 || offset > std::numeric_limits<std::uint64_t>::max() - length) return;
  Clear(offset, offset + length);
  patches_.emplace(offset, Patch{offset + length, {}});
  size_ = std::max(size_, offset + length);
}

void PatchedSource::ExtendTo(std::uint64_t size) { size_ = std::max(size_, size); }

bool PatchedSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  bool ok = true;
  while (!out.empty()) {
    if (offset >= size_) {
      std::fill(out.begin(), out.end(), std::uint8_t{0});
      return false;
    }
    auto next = patches_.upper_bound(offset);
    if (next != patches_.begin()) {
      const auto& [start, patch] = *std::prev(next);
      if (offset < patch.end) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(patch.end - offset, out.size()));
        if (patch.bytes.empty())
          std::fill_n(out.begin(), take, std::uint8_t{0});
        else
          std::memcpy(out.data(), patch.bytes.data() + (offset - start), take);
        out = out.subspan(take);
        offset += take;
        continue;
      }
    }
    const std::uint64_t stop = std::min(size_, next == patches_.end() ? size_ : next->first);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(stop - offset, out.size()));
    // Past the file's end, up to the size a log entry asked for, lie zeros.
    const std::uint64_t inFile = offset < file_->Size() ? std::min<std::uint64_t>(take, file_->Size() - offset) : 0;
    if (inFile > 0) ok = file_->ReadAt(offset, out.first(static_cast<std::size_t>(inFile))) && ok;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(inFile), out.begin() + static_cast<std::ptrdiff_t>(take),
              std::uint8_t{0});
    out = out.subspan(take);
    offset += take;
  }
  return ok;
}

std::optional<FileSpan> PatchedSource::Locate(std::uint64_t offset, std::uint64_t length) const {
  auto next = patches_.upper_bound(offset);
  if (next != patches_.begin() && offset < std::prev(next)->second.end) return std::nullopt;
  if (next != patches_.end()) length = std::min(length, next->first - offset);
  return file_->Locate(offset, length);
}

}  // namespace dravik
