#pragma once
// File Trace: the types asked for, the signature scan of the chosen
// partition on the worker, and its found files in the type tree of the
// results page.

#include <QObject>
#include <cstddef>
#include <optional>
#include <vector>

#include "disk/FsParams.h"
#include "raw/Catalogue.h"
#include "raw/TraceTree.h"

namespace dravik::app {

class Wizard;
struct Session;

class TraceController : public QObject {
  Q_OBJECT

 public:
  explicit TraceController(Wizard& wizard);

  // The partition page's Scan with the partition at this index of the list.
  void Start(int partitionIndex);
  // The catalogue at the wizard's cataloguePath; none, after saying so,
  // when it is missing or damaged (names no file type).
  std::optional<Catalogue> LoadCatalogue();

 private:
  // What the job found, handed to the interface thread when it ends: none
  // when the partition's parameters could not be read.
  struct Outcome {
    FsParams params;
    std::vector<FoundFile> files;
    std::optional<TraceTree> tree;  // over files
    // The hits left out for lying inside a file found before them (the
    // recovery setting), told at the end of the scan.
    std::size_t hitsInside = 0;
  };

  // The job's body, on the worker.
  void Scan(const PartitionEntry& entry, ScanControl& control);
  void End();

  Wizard& wizard_;
  Session& session_;
  std::optional<Outcome> outcome_;
};

}  // namespace dravik::app
