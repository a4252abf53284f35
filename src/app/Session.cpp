#include "app/Session.h"

namespace dravik::app {

void Session::FreeResults() {
  result.reset();
  contents.reset();
  snapshot.reset();
  traceTree.reset();
  traced.clear();
  traceChoice = {};
}

void Session::FreeScan() {
  FreeResults();
  findings.Clear();
  params = {};
  partitions.Clear();
  selectedPartition = -1;
}

}  // namespace dravik::app
