#pragma once
// The "Recovery Settings" dialog: what to do with names that exist already,
// which files to take by their deleted mark, and how many sectors the
// sector search reads at a time, whether File Trace cuts its found files at
// their recorded end. OK stores the choices; Cancel keeps the old.

#include <QDialog>

#include "save/RecoverySettings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;

namespace dravik::app {

class RecoverySettingsDialog : public QDialog {
  Q_OBJECT

 public:
  RecoverySettingsDialog(RecoverySettings& settings, QWidget* parent = nullptr);
  void accept() override;
  QButtonGroup* Duplicates() const { return duplicates_; }
  QButtonGroup* Deleted() const { return deleted_; }
  QComboBox* SectorsPerRead() const { return sectors_; }
  QCheckBox* TrimCarved() const { return trim_; }

 private:
  RecoverySettings& settings_;
  QButtonGroup* duplicates_;
  QButtonGroup* deleted_;
  QComboBox* sectors_;
  QCheckBox* trim_;
};

}  // namespace dravik::app
