#include "disk/SectorWalk.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>

namespace dravik {

namespace {

// Hands out the chunks in sector order. A chunk's reads begin where the
// image holds sectors; a read that begins there is whole even where the
// stretch ends within it (those sectors read as zeros), as a walk read by
// read has it. Not safe for two threads at once: the walk asks under its lock.
class ChunkPlan {
 public:
  ChunkPlan(const SectorReader& reader, const WalkShape& shape)
      : reader_(reader),
        shape_(shape),
        read_(std::max<std::uint32_t>(shape.readSectors, 1)),
        reads_(std::max<std::uint32_t>(shape.chunkReads, 1)),
        cursor_(shape.first),
        held_(reader.PresentSectors(shape.first)) {}

  std::optional<SectorChunk> Next() {
    if (ended_) return std::nullopt;
    if (held_ && held_->end <= cursor_) held_ = reader_.PresentSectors(cursor_);
    std::uint64_t s = held_ ? std::max(cursor_, held_->first) : shape_.end;
    if (shape_.alignedReads && s < shape_.end) s = shape_.first + (s - shape_.first) / read_ * read_;
    if (s >= shape_.end) {
      ended_ = true;
      return std::nullopt;
    }
    const std::uint64_t left = std::min(held_->end, shape_.end) - s;
    std::uint64_t count = std::min<std::uint64_t>(reads_, (left + read_ - 1) / read_) * read_;
    if (!shape_.wholeLastRead) count = std::min(count, shape_.end - s);
    cursor_ = s + count;
    return SectorChunk{index_++, s, static_cast<std::uint32_t>(count)};
  }

  std::size_t MostBytes() const { return shape_.readChunks ? std::size_t{read_} * reads_ * kSectorSize : 0; }

 private:
  const SectorReader& reader_;
  const WalkShape shape_;
  const std::uint32_t read_;
  const std::uint32_t reads_;
  std::uint64_t cursor_;
  std::optional<SectorRange> held_;
  std::size_t index_ = 0;
  bool ended_ = false;
};

// Chunks a worker takes on at once.
constexpr std::size_t kChunksAClaim = 8;

unsigned ThreadsOf(const WalkShape& shape) { return shape.threads != 0 ? shape.threads : WalkThreadsOfMachine(); }

// Reads a chunk into the buffer and gives its bytes, the slack after them
// zero; none when the walk's scans read for themselves.
Bytes ReadChunk(const SectorReader& reader, const WalkShape& shape, const SectorChunk& chunk,
                std::vector<std::uint8_t>& buffer) {
  if (!shape.readChunks) return {};
  const std::size_t bytes = std::size_t{chunk.sectors} * kSectorSize;
  const std::span<std::uint8_t> held = std::span(buffer).first(bytes);
  reader.Read(chunk.first, chunk.sectors, held);
  std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(bytes), kWalkSlack, std::uint8_t{0});
  return Bytes(held);
}

}  // namespace

unsigned WalkThreadsOfMachine() {
  // The cores this process may run on (taskset narrows them), else all.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t WalkSlots(const WalkShape& shape) { return 8 * std::size_t{ThreadsOf(shape)} + 8; }

void WalkChunks(const SectorReader& reader, const WalkShape& shape, ScanControl& control,
                const std::function<void(const SectorChunk&, Bytes)>& scan,
                const std::function<bool(const SectorChunk&)>& take) {
  ChunkPlan plan(reader, shape);
  const unsigned threads = ThreadsOf(shape);
  if (threads == 1) {
    std::vector<std::uint8_t> buffer(plan.MostBytes() + kWalkSlack);
    while (control.Continue()) {
      const std::optional<SectorChunk> chunk = plan.Next();
      if (!chunk) return;
      scan(*chunk, ReadChunk(reader, shape, *chunk, buffer));
      if (!take(*chunk)) return;
    }
    return;
  }

  const std::size_t slots = WalkSlots(shape);
  std::mutex mutex;
  std::condition_variable room;  // workers wait for a place in the window
  std::vector<std::optional<SectorChunk>> scanned(slots);  // the chunk whose result waits in each slot
  std::size_t handedOut = 0;  // chunks given to workers
  std::size_t taken = 0;      // chunks taken, in order
  bool taking = false;        // a worker is taking results
  bool planEnded = false;     // every chunk handed out
  bool ended = false;         // a stop, or the taking wants no more

  // Takes the results that are ready, in order, while no other worker does:
  // the worker that leaves the awaited result takes it itself, so no thread
  // waits for another to hand results on.
  const auto takeReady = [&](std::unique_lock<std::mutex>& lock) {
    if (taking) return;
    taking = true;
    while (!ended) {
      std::optional<SectorChunk>& slot = scanned[taken % slots];
      if (!slot || slot->index != taken) break;
      const SectorChunk chunk = *slot;
      slot.reset();
      lock.unlock();
      // The taker waits at the pause gate too: the workers may have scanned
      // every chunk left before the pause came, and their results must not
      // be taken (hits counted, progress shown) while the job is paused.
      const bool more = control.Continue() && take(chunk) && !control.StopRequested();
      lock.lock();
      ++taken;
      if (!more) ended = true;
      room.notify_all();
    }
    taking = false;
  };

  const auto work = [&] {
    std::vector<std::uint8_t> buffer(plan.MostBytes() + kWalkSlack);
    std::vector<SectorChunk> batch;
    for (;;) {
      // A few chunks at a time under the lock, their results left under it
      // at once: chunks are small enough for their bytes to stay in the
      // core's cache while they are scanned, claims large enough for the
      // workers seldom to meet at the lock.
      batch.clear();
      {
        std::unique_lock lock(mutex);
        room.wait(lock, [&] { return ended || planEnded || handedOut < taken + slots; });
        if (ended) return;
        while (batch.size() < kChunksAClaim && !planEnded && handedOut < taken + slots) {
          const std::optional<SectorChunk> chunk = plan.Next();
          if (!chunk) {
            planEnded = true;
            room.notify_all();
            break;
          }
          batch.push_back(*chunk);
          ++handedOut;
        }
        if (batch.empty()) return;
      }
      for (const SectorChunk& chunk : batch) {
        // The pause gate: a worker waits here, never within a read or a scan.
        if (!control.Continue()) {
          std::lock_guard lock(mutex);
          ended = true;
          room.notify_all();
          return;
        }
        scan(chunk, ReadChunk(reader, shape, chunk, buffer));
      }
      std::unique_lock lock(mutex);
      for (const SectorChunk& chunk : batch) scanned[chunk.index % slots] = chunk;
      takeReady(lock);
    }
  };

  // The calling thread is one of the workers.
  std::vector<std::jthread> others;
  others.reserve(threads - 1);
  for (unsigned i = 1; i < threads; ++i) others.emplace_back(work);
  work();
}

}  // namespace dravik
