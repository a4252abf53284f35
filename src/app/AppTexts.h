#pragma once
// The texts of the desktop program's frame and wizard, kept in one place.
// Many carry leading or trailing blanks, tabs or line breaks; those belong
// to the text.

namespace dravik::app {

struct AppTexts {
  static constexpr const char* kProduct = "Dravik for VHD";
  static constexpr const char* kVersion = "Version 19.12";
  static constexpr const char* kInstanceLock = "Global\\{719967F0-DCC6-49b5-9C61-DE91175C1786-DRAVIK_FOR_VHD}";
  static constexpr const char* kAnotherInstance = "Another Instance of Software is already running.";
  static constexpr const char* kInvalidFile = "Invalid File.";
  static constexpr const char* kHelpFile = "Dravik for VHD.chm";
  static constexpr const char* kHelpMissing = "Dravik for VHD.chm not found";
  static constexpr const char* kSaveSnapshotOnClose =
      "Highly recommended to save Sanpshot to avoid performing the whole scanning process of respective file "
      "again.\nDo you want to save Snapshot? ";
  static constexpr const char* kCloseQuestion = "Are you sure, close the software?";

  // Start page.
  static constexpr const char* kSelectHeading = "Please select VHD / VHDX file. ";
  static constexpr const char* kQuickHover = "\tSelect this mode to recover data from minor corruptions of VHD/VHDX files.";
  static constexpr const char* kExtensiveHover =
      "  Select this mode to recover data from high corruptions of VHD/VHDX files.";
  static constexpr const char* kTraceHover =
      "\t    Select the File Trace mode if both Quick scan and Extensive scan mode do not work for you.";
  static constexpr const char* kNoHover = "Please Select Recovery Option.";
  static constexpr const char* kBrowseTitle = "Add VHD or VHDX file to recover.";
  static constexpr const char* kEmptyPath = "\nPlease Select VHD/VHDX file...";
  static constexpr const char* kNotExists = " file does not exists.";
  static constexpr const char* kReadAsRawBox = "Read the file as a raw disk";
  static constexpr const char* kReadAsRawTip =
      "Reads the file's bytes as the disk itself, as for a disk copied byte for byte (.img, .raw, .dd): for an "
      "image whose own structures are damaged beyond repair, or any other file that holds a disk.";
  // Asked after an image could not be opened.
  static constexpr const char* kReadAsRawQuestion =
      "Read the file as a raw disk?\n\nIts bytes are then read as the disk itself, without the image's own "
      "structures. Partitions and files that lie whole in the file can still be found; the file is not changed.";

  // The page shown before the drive page when the image's structures are damaged.
  static constexpr const char* kDamagedHeading = "The image is damaged";
  static constexpr const char* kDamagedExplanation =
      "Some of the image's own structures (headers, tables or metadata) are damaged. Dravik for VHD worked around "
      "them in memory as listed below; the image file itself is never changed.";
  static constexpr const char* kDamagedHint =
      "If files come out incomplete, try the Extensive Scan, or go back to the first page and read the file as a "
      "raw disk.";

  // Drive and partition pages.
  static constexpr const char* kNoDrive =
      "Please select the drive that contain the lost data \r\nfrom the left panel and click [Next].";
  static constexpr const char* kDriveHint =
      " Please select the Virtual Hard Disk ( VHD/VHDX ) that contains data from left panel and click [Next] to "
      "continue with recovery.";
  static constexpr const char* kPleaseWait = "Please wait...";
  static constexpr const char* kQuickPartitionHint =
      "Please Select a Partition From The Left Panel and press [Scan] to continue with recovery.";
  static constexpr const char* kPartitionHint =
      "Please select a partition from the left panel and press [Scan] to continue with recovery.";
  static constexpr const char* kNoPartitionFound = "Please use the Extensive Scan, as no data is found in Quick Scan.";
  static constexpr const char* kNoPartitionSelected =
      "Please select the partition that you want to recover \r\nfrom the left panel and click [Scan].";
  static constexpr const char* kNoParams =
      "Dravik for VHD was unable to find correct partition parameters. \r\nPlease go back to the first step and "
      "select Extensive Scan \r\nfor recovery.";
  static constexpr const char* kStopPartitionSearch = "Do you want to stop partition searching ?";
  static constexpr const char* kStopScan =
      "Do you want to stop file searching? This may result in incomplete \r\nrecovery and you will need to restart "
      "the process again.";
  static constexpr const char* kStopFileSystemScan = "Do you want to stop file searching ?";
  static constexpr const char* kFileSystemHint =
      "\nPlease select a file system from the left panel and click [Next] to continue with recovery. \r\nCheck all "
      "the file systems one by one for the required data.";
  static constexpr const char* kNoFileSystemSelected =
      "Please select a File System from the left panel and then click [Next] to continue with recovery.";
  static constexpr const char* kNoFileSystemHint =
      "Dravik for VHD was unable to identify a file system in the selected sector range.";
  static constexpr const char* kTraceNoPartitionSelected =
      "Please select the partition that you want to recover \r\nfrom the left panel and click [Next].";
  static constexpr const char* kTraceDamaged =
      "Please use the Extensive Scan, as the selected file is damaged and unable to perform File Trace.";
  static constexpr const char* kSearchingLostData = "Searching for lost data. Please wait...";

  // Progress pane.
  static constexpr const char* kHideProgress = "Hide Progress";
  static constexpr const char* kShowProgress = "Show Progress";
  static constexpr const char* kProgressHint =
      "Selecting \"Hide Progress\" will improve the performance. You may return to view the progress details at any "
      "time by selecting \"Show Progress\".";
  static constexpr const char* kFoldersFound = "Folder(s) Found  :";
  static constexpr const char* kFilesFound = "File(s) Found    :";
  static constexpr const char* kCurrentSector = "Current Sector    :";
  static constexpr const char* kLastItem = "Last File/Folder   :";

  // Results page.
  static constexpr const char* kRecoverButton = "Recover selected files and folders";
  static constexpr const char* kBackSnapshot =
      "Highly recommended to save snapshot for future purpose.Please save the Snapshot before going back.\nDo you "
      "want to save Snapshot?";
  static constexpr const char* kNothingMarked =
      "Please mark the file(s) and folder(s) that you want to save\r\nby clicking on check box.";
  static constexpr const char* kChooseDestination = "Please select the path to save the data";

  // Save dialog.
  static constexpr const char* kSaveTitle = "Data is Saving please wait...";
  static constexpr const char* kStopSaving = "&Stop Saving";
  static constexpr const char* kStopSavingTip = "Stop Saving the files";
  static constexpr const char* kSkipFile = "S&kip File";
  static constexpr const char* kSkipFileTip = "Skip this file from saving.";
  static constexpr const char* kStopSavingQuestion = "Do you want to stop the saving process?";
  static constexpr const char* kStopSavingFirst = "Please Stop the Saving process first.";
  static constexpr const char* kSavedSuccessfully = "Files Saved Successfully.";
};

}  // namespace dravik::app
