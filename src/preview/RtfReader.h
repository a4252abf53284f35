#pragma once
// A reader of RTF documents for the preview: the text in paragraphs of styled
// runs (bold, italic, underline, strike-through, size, colour). Plain C++
// without Qt, so that it can be fuzzed alone; RichTextViewer makes a
// QTextDocument of the result.
//
// RTF is text: groups in braces, each keeping the character state of the
// group around it until it closes; control words (a backslash, letters, an
// optional signed number, an optional space); control symbols (a backslash and
// one other character, \'hh a byte in the current code page); other bytes are
// text. Groups that start with a destination (\fonttbl, \colortbl, \info, \*
// and others) hold no document text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::preview {

struct RtfStyle {
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strike = false;
  int half_points = 24;                 // \fs: 12 points when not said
  std::optional<std::uint32_t> colour;  // 0xRRGGBB from the colour table; absent for the default

  bool operator==(const RtfStyle&) const = default;
};

struct RtfRun {
  std::string text;  // UTF-8; '\n' for a line break, '\t' for a tab
  RtfStyle style;
};

struct RtfParagraph {
  std::vector<RtfRun> runs;
};

struct RtfDocument {
  std::vector<RtfParagraph> paragraphs;
};

// Bounds against hostile files.
inline constexpr int kRtfMaxDepth = 256;            // groups inside groups
inline constexpr std::size_t kRtfMaxRuns = 100000;  // past this, style changes join the last run

// The document, or nothing when the bytes do not start with "{\rtf", a group
// is nested deeper than kRtfMaxDepth or the document's group does not close.
std::optional<RtfDocument> ReadRtf(std::string_view bytes);

// The text of the document, paragraphs separated by '\n'.
std::string PlainText(const RtfDocument& document);

}  // namespace dravik::preview
