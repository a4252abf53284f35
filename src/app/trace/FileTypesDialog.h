#pragma once
// "File Types": the catalogue's categories and types as a tree of check
// boxes under "File Types", how much to recover per found file, and the two
// recovery settings that shape what File Trace lists and saves. OK with
// nothing checked says so and stays open.

#include <QDialog>
#include <optional>

#include "app/Messenger.h"
#include "raw/Catalogue.h"
#include "save/RecoverySettings.h"

class QCheckBox;
class QComboBox;
class QTreeWidget;
class QTreeWidgetItem;

namespace dravik::app {

class FileTypesDialog : public QDialog {
  Q_OBJECT

 public:
  // catalogue is none when it could not be read: only the root is offered.
  FileTypesDialog(std::optional<Catalogue> catalogue, std::uint32_t lastCarveSizeMiB, const Messenger& messenger,
                  QWidget* parent = nullptr);
  // The recovery settings shown beside the size: the trim setting and the
  // one that leaves out hits inside files already found. Show takes them
  // from settings; Keep stores them there as the boxes are left.
  void ShowSettings(const RecoverySettings& settings);
  void KeepSettings(RecoverySettings& settings) const;
  // The types and size confirmed by OK.
  const TraceChoice& Choice() const { return choice_; }
  // Checks the type items of these extensions (for tests and defaults).
  void CheckExtensions(const QStringList& extensions);

  QTreeWidget* types;
  QComboBox* size;
  QCheckBox* trim;
  QCheckBox* skipInner;

  void accept() override;

 private:
  std::optional<Catalogue> catalogue_;
  const Messenger& messenger_;
  TraceChoice choice_;
};

}  // namespace dravik::app
