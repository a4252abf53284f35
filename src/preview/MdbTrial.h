#pragma once
// libmdb trusts what a database says of itself: a damaged catalog can make it
// loop for a very long time or read out of range (a fuzz run of our reader
// found a catalog on which mdb_read_catalog does not return). So the first
// reading of a database happens in a child process that reads the catalog
// and every user table, and is killed when it takes too long; only a file
// whose trial ends well is read again in the program itself.

#include <QByteArray>

namespace dravik::preview {

// How long the trial reading may take before the file counts as damaged.
inline constexpr int kMdbTrialMs = 5000;

// True when a child process read the whole database and exited normally in time.
bool MdbTrialSucceeds(const QByteArray& bytes, int timeoutMs = kMdbTrialMs);

}  // namespace dravik::preview
