#include "app/Session.h"

namespace dravik::app {

void Session::FreeResults() {
  tree.reset();
  contents.reset();
  store.Clear();
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
