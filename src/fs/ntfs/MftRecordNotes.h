#pragma once
// What the MFT records met by the NTFS sector search tell about the volumes
// they belong to, beyond the files and folders they name: where their
// numbers put record 0 (the anchors) and which clusters they use, and the
// first records that say where a volume's MFT and mirror lie ($MFT, $MFTMirr)
// and how large it is ($Bitmap, $BadClus).

#include <cstdint>
#include <map>
#include <vector>

#include "fs/extensive/ExtensiveFindings.h"
#include "util/Bytes.h"

namespace dravik {

class MftRecordNotes {
 public:
  // Notes a record (fixed up) found at sector s. Records without a number
  // of their own, or whose number would put record 0 before the disk, are
  // passed over.
  void Note(Bytes record, std::uint64_t s);
  // Adds what another search noted in the sectors after this one's.
  void Absorb(MftRecordNotes&& later);
  // Hands what was noted to the findings, anchors in ascending order.
  void MoveInto(ExtensiveFindings& findings);

 private:
  std::map<std::uint64_t, MftAnchor> anchors_;
  std::vector<NtfsSystemRecord> systemRecords_;
};

}  // namespace dravik
