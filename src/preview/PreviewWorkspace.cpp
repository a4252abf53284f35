#include "preview/PreviewWorkspace.h"

#include <QDir>
#include <QFile>
#include <QUrl>

namespace dravik::preview {

namespace {

// What ties a program to the user's desktop session: through these it could
// reach services that write on its behalf outside the folder.
constexpr const char* kSessionVariables[] = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                                             "SESSION_MANAGER"};
// The media framework's registry, which helpers find in their private cache folder.
constexpr const char* kRegistryVariables[] = {"GST_REGISTRY_1_0", "GST_REGISTRY"};

}  // namespace

QString EncodedFileUrl(const QString& path) {
  // Only "/" and the unreserved characters stay as they are: LibreOffice also
  // reads "$" and "\" in its -env: values as the start of its own macros.
  return QStringLiteral("file://") + QString::fromLatin1(QUrl::toPercentEncoding(QDir(path).absolutePath(), "/"));
}

bool PreviewWorkspace::Ensure() {
  if (!root_ || !root_->isValid()) root_ = std::make_unique<QTemporaryDir>();
  return root_->isValid();
}

QString PreviewWorkspace::Path() { return Ensure() ? root_->path() : QString(); }

std::unique_ptr<QTemporaryDir> PreviewWorkspace::NewFolder(const QString& prefix) {
  if (!Ensure()) return nullptr;
  auto folder = std::make_unique<QTemporaryDir>(root_->filePath(prefix + QStringLiteral("-XXXXXX")));
  if (!folder->isValid()) return nullptr;
  return folder;
}

std::optional<QProcessEnvironment> PreviewWorkspace::HelperEnvironment() {
  if (!Ensure()) return std::nullopt;
  const QString home = root_->filePath(QStringLiteral("home"));
  const QString temp = root_->filePath(QStringLiteral("tmp"));
  const QString runtime = root_->filePath(QStringLiteral("runtime"));
  const QString config = home + QStringLiteral("/.config");
  const QString cache = home + QStringLiteral("/.cache");
  const QString data = home + QStringLiteral("/.local/share");
  const QString state = home + QStringLiteral("/.local/state");
  for (const QString& folder : {temp, runtime, config, cache, data, state})
    if (!QDir().mkpath(folder)) return std::nullopt;
  // The runtime folder is private to its user, as programs that use it expect.
  if (!QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
    return std::nullopt;

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : kSessionVariables) environment.remove(QString::fromLatin1(name));
  for (const char* name : kRegistryVariables) environment.remove(QString::fromLatin1(name));
  environment.insert(QStringLiteral("HOME"), home);
  for (const char* name : {"TMPDIR", "TMP", "TEMP"}) environment.insert(QString::fromLatin1(name), temp);
  environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
  environment.insert(QStringLiteral("XDG_CACHE_HOME"), cache);
  environment.insert(QStringLiteral("XDG_DATA_HOME"), data);
  environment.insert(QStringLiteral("XDG_STATE_HOME"), state);
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
  return environment;
}

int PreviewWorkspace::AcquireProfile() {
  if (!Ensure()) return -1;
  std::size_t index = 0;
  while (index < busy_.size() && busy_[index]) ++index;
  if (index == busy_.size()) busy_.push_back(false);
  busy_[index] = true;
  return int(index);
}

void PreviewWorkspace::ReleaseProfile(int index) {
  if (index >= 0 && std::size_t(index) < busy_.size()) busy_[std::size_t(index)] = false;
}

QString PreviewWorkspace::ProfileUrl(int index) {
  if (!Ensure()) return {};
  return EncodedFileUrl(root_->filePath(QStringLiteral("profile%1").arg(index)));
}

void PreviewWorkspace::KeepMediaRegistryInside() {
  for (const char* name : kRegistryVariables)
    if (qEnvironmentVariableIsSet(name)) return;
  if (!Ensure()) return;
  qputenv(kRegistryVariables[1], QFile::encodeName(root_->filePath(QStringLiteral("gstreamer.registry"))));
}

}  // namespace dravik::preview
