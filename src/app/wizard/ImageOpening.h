#pragma once
// Opening an image into the session, shared by the start page and by a
// snapshot that asks for its image: the open itself, with the offer to read
// a file that is no image as a raw disk, the question about missing or
// mismatched parents, and the session taking the opened image as its own.

#include <QString>

#include "app/Messenger.h"
#include "app/Session.h"

namespace dravik::app {

// Opens the file at path as asked. When it cannot be read as an image, says
// why and offers to read it as a raw disk; request.asRaw then tells how it
// was read. False when nothing was opened.
bool OpenDisk(Session& session, Messenger& messenger, const QString& path, OpenRequest& request);

// Asks whether to go on with an image whose parents are missing or do not match.
bool AcceptChainWarnings(const Session& session, Messenger& messenger);

// The session's image is now the one opened from path: its kind, its drive
// table and how it was read.
void TakeOpenedImage(Session& session, const QString& path, bool asRaw);

}  // namespace dravik::app
