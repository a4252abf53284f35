#pragma once
// The texts of the Extensive Scan, shared by every front end.

namespace dravik {

struct ExtensiveTexts {
  static constexpr const char* kStartNotValid = "Start sector value is not valid, It should be a positive number";
  static constexpr const char* kEndNotValid = "End sector value is not valid, It should be a positive number";
  static constexpr const char* kEndNotBigger = "End sector should be bigger than start sector";
  static constexpr const char* kTooMany = "Too many data structures found";
  static constexpr const char* kAnalyzing = "Analyzing the data found...";
  static constexpr const char* kNoneFoundMessage =
      "Dravik for VHD was unable to identify a file system in the selected sector range.\r\n"
      "Please make sure that you made appropriate selections on the previous step.\r\n"
      "Please go back to the previous step and select VHD/VHDX for full scan.";
  static constexpr const char* kExtractStep1 = "Extracting entries for the selected file system ( Step 1/5 )...";
  static constexpr const char* kExtractStep2 = "Searching for orphan entries ( Step 2/5 )...";
  static constexpr const char* kExtractStep3 = "Searching for lost FAT fragments ( Step 1/5 )...";
  static constexpr const char* kExtractStep4 = "Step 4 / 5...";
  static constexpr const char* kExtractStep5 = "Please wait creating tree ( Step 5/5 )...";
  // The labels of the search's counters in the progress pane.
  static constexpr const char* kBootSectorsFound = "Boot Sector(s) Found\t   :";
  static constexpr const char* kIndexEntriesFound = "Index Entries Found\t   :";
  static constexpr const char* kFilesFound = "File(s) Found\t\t   :";
  static constexpr const char* kFoldersFound = "Folder(s) Found\t\t   :";
  static constexpr const char* kCurrentSector = "Current Sector\t\t   :";
};

}  // namespace dravik
