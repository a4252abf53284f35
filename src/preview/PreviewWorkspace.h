#pragma once
// The run's private folder for previews, owned by the preview pane and lent to
// the viewers it makes. Whatever a viewer writes (a converter's output) and
// whatever a program it starts may write (LibreOffice's profile, temporary
// files, caches, settings) lies inside it, and the folder goes with the last
// owner. Programs are started with HOME, TMPDIR and the XDG folders pointed
// into it and without the user's desktop session, so even one that misbehaves
// can only touch this folder.
//
//   <folder>/home             HOME, with .config, .cache and .local/share (the XDG folders)
//   <folder>/tmp              TMPDIR, TMP, TEMP
//   <folder>/runtime          XDG_RUNTIME_DIR (mode 0700)
//   <folder>/profileN         LibreOffice profiles, one per converter running at a time
//   <folder>/convert-XXXXXX   one conversion's output
//   <folder>/gstreamer.registry  the media framework's plugin registry

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <vector>

namespace dravik::preview {

class PreviewWorkspace {
 public:
  // The folder is made in the system's temporary folder on first use.
  PreviewWorkspace() = default;
  PreviewWorkspace(const PreviewWorkspace&) = delete;
  PreviewWorkspace& operator=(const PreviewWorkspace&) = delete;

  // The folder's path; empty when it cannot be made.
  QString Path();

  // A new empty folder inside, removed with the returned object; nothing when
  // it cannot be made.
  std::unique_ptr<QTemporaryDir> NewFolder(const QString& prefix);

  // The environment for a program a viewer starts, its folders made; nothing
  // when they cannot be made (the program must then not run).
  std::optional<QProcessEnvironment> HelperEnvironment();

  // A LibreOffice profile lent to one converter at a time (a LibreOffice that
  // finds another one running on its profile hands its document over to it
  // instead of converting it); -1 when the folder cannot be made. Profiles are
  // kept until the folder goes, as a new one costs LibreOffice several seconds.
  int AcquireProfile();
  void ReleaseProfile(int index);
  // The profile's folder as a file URL, every character outside the URL's
  // unreserved set percent-encoded (the folder's name holds blanks).
  QString ProfileUrl(int index);

  // Points the media framework's plugin registry (GStreamer's, which the
  // plugin scanner it starts would otherwise write under HOME) into the
  // folder, unless the user chose one. The framework reads the setting once,
  // when it starts: call this before the first media player is made.
  void KeepMediaRegistryInside();

 private:
  bool Ensure();

  std::unique_ptr<QTemporaryDir> root_;
  std::vector<bool> busy_;
};

// Encodes a local path as a file URL for a program's command line: blanks,
// "%", "#", "?" and every non-ASCII character percent-encoded.
QString EncodedFileUrl(const QString& path);

}  // namespace dravik::preview
