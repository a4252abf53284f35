// Times how long the engine takes to open a virtual disk image: reading the
// headers and loading the whole block table into memory. For a large, nearly
// empty dynamic image that table is nearly all of the work, so a 64 TB VHDX
// shows whether opening scales with the disk's size.
//
// Usage:
//   dravik_bench_open [benchmark flags] IMAGE...
//   DRAVIK_BENCH_OPEN_IMAGES=IMAGE[:IMAGE...] dravik_bench_open [benchmark flags]
//
// Each image (.vhd or .vhdx, chosen by extension as the front ends do) gets one
// benchmark, "Open/<file name>", reported in milliseconds per open. The file is
// in the page cache after the first iteration, so the figure is the engine's
// own cost, not the disk's. bench/run_all.sh makes the images and runs this.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vdisk/VirtualDisk.h"

namespace {

std::vector<std::string> ImagesFromEnvironment() {
  std::vector<std::string> images;
  const char* list = std::getenv("DRAVIK_BENCH_OPEN_IMAGES");
  if (!list) return images;
  std::string rest = list;
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    std::string item = rest.substr(0, colon);
    if (!item.empty()) images.push_back(std::move(item));
    if (colon == std::string::npos) break;
    rest.erase(0, colon + 1);
  }
  return images;
}

// Opens the image the way the command line does, once per iteration, and
// reports the table size so figures for different images can be compared.
void OpenImageBenchmark(benchmark::State& state, const std::string& path) {
  std::uint64_t virtualSize = 0;
  std::uint64_t tableEntries = 0;
  for (auto _ : state) {
    dravik::VirtualDisk disk;
    const dravik::OpenResult result = dravik::OpenImage(disk, path, false);
    if (!result.Usable() || disk.Size() == 0) {
      state.SkipWithError(("cannot open " + path + ": " + result.message + disk.Diagnostic()).c_str());
      break;
    }
    virtualSize = disk.Size();
    if (const dravik::VhdxImage* vhdx = disk.Vhdx()) tableEntries = vhdx->PayloadBlockCount();
    if (const dravik::VhdImage* vhd = disk.Vhd()) tableEntries = vhd->BlockCount();
    benchmark::DoNotOptimize(disk);
  }
  state.counters["blocks"] = static_cast<double>(tableEntries);
  state.counters["virtual_TiB"] = static_cast<double>(virtualSize) / (1024.0 * 1024.0 * 1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // What Initialize leaves behind are the image paths.
  std::vector<std::string> images(argv + 1, argv + argc);
  if (images.empty()) images = ImagesFromEnvironment();
  if (images.empty()) {
    std::fprintf(stderr,
                 "usage: dravik_bench_open [benchmark flags] IMAGE...\n"
                 "   or: DRAVIK_BENCH_OPEN_IMAGES=IMAGE[:IMAGE...] dravik_bench_open [benchmark flags]\n"
                 "bench/run_all.sh makes the images (a 64 TB VHDX, a 2040 GiB VHD) and runs this.\n");
    return 2;
  }
  for (const std::string& image : images) {
    const std::string name = "Open/" + std::filesystem::path(image).filename().string();
    benchmark::RegisterBenchmark(name.c_str(), OpenImageBenchmark, image)->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
