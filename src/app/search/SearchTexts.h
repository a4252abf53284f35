#pragma once
// The texts of the Find File(s) and File Filters dialogs, kept in one
// place. The blanks inside them belong to the text. The filter list's
// refusals are the engine's (FilterList::Message).

namespace dravik::app {

struct SearchTexts {
  static constexpr const char* kFindTitle = "Find File(s)";
  static constexpr const char* kPatternLabel = "Enter pattern to search:";
  static constexpr const char* kStartSearch = "&Start Search";
  static constexpr const char* kStopSearch = "&Stop Search";
  static constexpr const char* kSelectAll = "Select All";
  static constexpr const char* kUnselectAll = "Unselect All";
  static constexpr const char* kSaveSelected = "&Save Selected File";
  static constexpr const char* kLastFile = "Last File  :";
  static constexpr const char* kFilesFound = "Files Found    :";
  static constexpr const char* kNoResults = "Search is complete. There are no results to display.";
  // %1 stands for the number of rows.
  static constexpr const char* kFilesFoundStatus = "There were %1 files found.";
  static constexpr const char* kStopQuestion = "Do you want to stop file searching ?";

  static constexpr const char* kFiltersTitle = "File Filters";
  static constexpr const char* kAdd = "&Add";
  static constexpr const char* kRemove = "&Remove";
};

}  // namespace dravik::app
