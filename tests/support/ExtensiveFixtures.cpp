#include "ExtensiveFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "TestFiles.h"

namespace dravik::test {

std::filesystem::path ExtensiveFixture(const std::string& name) { return FixtureIn("extensive", name); }

OpenedImage OpenForSearch(const std::filesystem::path& image) {
  OpenedImage opened;
  EXPECT_TRUE(OpenImage(*opened.disk, image, true).Usable()) << image;
  opened.reader = std::make_unique<SectorReader>(*opened.disk);
  return opened;
}

FsParams FoundOnDisk(const ExtensiveFindings& findings, std::uint16_t index, const SectorReader& reader) {
  FsParams range;
  range.partitionSectors = reader.SectorCount();
  return ParamsOfFound(findings, index, range);
}

std::vector<VolumeTruth> ReadTruth(const std::string& disk) {
  std::ifstream in(ExtensiveFixture(disk + ".truth"));
  std::vector<VolumeTruth> volumes;
  VolumeTruth v;
  while (in >> v.type >> v.start >> v.clusterBase >> v.sectorsPerCluster >> v.firstFat >> v.fatSectors)
    volumes.push_back(v);
  EXPECT_FALSE(volumes.empty()) << disk << ".truth lists no volume";
  return volumes;
}

std::map<std::string, std::string> VolumeFiles(const std::string& disk, int volume) {
  std::ifstream in(ExtensiveFixture(disk + ".manifest"));
  std::map<std::string, std::string> files;
  std::string line;
  while (std::getline(in, line)) {
    const auto fields = Split(line, '\t');
    if (fields.size() == 4 && std::stoi(fields[0]) == volume) files[fields[1]] = fields[3];
  }
  EXPECT_FALSE(files.empty()) << disk << ".manifest lists no file of volume " << volume;
  return files;
}

std::set<std::string> Keys(const std::map<std::string, std::string>& files) {
  std::set<std::string> keys;
  for (const auto& [path, sum] : files) keys.insert(path);
  return keys;
}

}  // namespace dravik::test
