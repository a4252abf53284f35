#pragma once
// What the snapshot commands say, word for word, in both front ends.

namespace dravik {

struct SnapshotTexts {
  static constexpr const char* kExtension = ".dvsf";
  static constexpr const char* kSaveTitle = "Save Sanpshot";
  static constexpr const char* kFilter = "*.dvsf";
  // After the path.
  static constexpr const char* kReplaceQuestion = " already exists.\r\nDo you want to replace it?";
  static constexpr const char* kDoesNotExist = " does not exists.";
  static constexpr const char* kCannotOpen = "Unable to open the file.";
  static constexpr const char* kCannotOpenTrace = "Unable to open the file";
  static constexpr const char* kInvalidFile = "Invalid File.";
  static constexpr const char* kInvalidSnapshot = "Invalid Snapshot File. Please Load respective valid Snapshot. ";
  static constexpr const char* kWrongTag = "Invalid version of the file found : ";
  static constexpr const char* kWrongVersion = "version of file does not match with current version 1.0";
  static constexpr const char* kMismatch = "Source file and load recovery snapshot mismatch";
  static constexpr const char* kOpening = "Opening the file...";
  static constexpr const char* kFolders = "Enumerating the Folders...";
  static constexpr const char* kFiles = "Enumerating the Files...";
  static constexpr const char* kTree = "Creating the Folders Files Tree...";
  static constexpr const char* kSaveOnClose =
      "Highly recommended to save Sanpshot to avoid performing the whole scanning process of respective file "
      "again.\nDo you want to save Snapshot? ";
  static constexpr const char* kSaveOnBack =
      "Highly recommended to save snapshot for future purpose.Please save the Snapshot before going back.\nDo you "
      "want to save Snapshot?";
};

}  // namespace dravik
