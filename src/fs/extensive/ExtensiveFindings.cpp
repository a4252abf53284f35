#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

std::string FoundFileSystem::Label() const {
  return std::string(FsName(fsType)) + " @ " + std::to_string(clusterBase);
}

FsParams ParamsOfFound(const ExtensiveFindings& findings, std::uint16_t index, const FsParams& range) {
  FsParams params = range;
  if (index == 0 || index > findings.fileSystems.size()) return params;
  const FoundFileSystem& found = findings.fileSystems[index - 1];
  params.fsType = found.fsType;
  params.sectorsPerCluster = found.sectorsPerCluster;
  params.reservedSectors = found.reservedSectors;
  params.fatSize = found.fatSize;
  params.firstFatLba = found.firstFatLba;
  params.secondFatLba = found.secondFatLba;
  params.rootDirSectors = found.rootDirSectors;
  params.rootStart = found.rootStart;
  params.clusterBase = found.clusterBase;
  params.mftStart = found.mftStart;
  params.mftMirrorStart = found.mftMirrorStart;
  params.mftRecordSectors = found.mftRecordSectors;
  params.indexRecordSectors = found.indexRecordSectors;
  params.fsEnd = found.fsEnd;
  params.fsIndex = index;
  params.superblockSector = found.superblockSector;
  params.partitionStart = found.Start();
  params.partitionSectors = found.fsEnd >= found.Start() ? found.fsEnd - found.Start() + 1 : 0;
  return params;
}

}  // namespace dravik
