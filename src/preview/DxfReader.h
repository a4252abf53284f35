#pragma once
// A reader of ASCII DXF drawings for the preview: the group-code/value pairs
// (CRLF or LF lines), the model-space entities of the ENTITIES section and the
// blocks that INSERT entities place. Plain C++ without Qt, so that it can be
// fuzzed alone.
//
// A file is a list of pairs, each two lines: an integer group code, then its
// value. Code 0 starts an entity or a section marker, code 2 names a section
// or block, 10/20 (11/21) are the X/Y of the first (second) point, 40 a
// radius or text height, 50/51 angles in degrees, 70 flags, 1 and 3 text.
//
//   0 SECTION / 2 HEADER ... 0 ENDSEC
//   0 SECTION / 2 BLOCKS / 0 BLOCK ... entities ... 0 ENDBLK ... 0 ENDSEC
//   0 SECTION / 2 ENTITIES / 0 LINE ... 0 ENDSEC
//   0 EOF

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::preview {

struct DxfPoint {
  double x = 0;
  double y = 0;
};

enum class DxfShape {
  kSegments,  // LINE, LWPOLYLINE, POLYLINE: points joined in order
  kCircle,
  kArc,  // counter-clockwise from start_angle to end_angle
  kPoint,
  kText,  // TEXT and MTEXT, as plain text at the first point
};

// One thing to draw, in drawing units with Y up.
struct DxfEntity {
  DxfShape shape = DxfShape::kPoint;
  std::vector<DxfPoint> points;  // the centre of circles and arcs
  bool closed = false;
  double radius = 0;
  double start_angle = 0;  // degrees
  double end_angle = 0;
  double height = 0;    // of text
  double rotation = 0;  // of text, degrees
  std::string text;
};

struct DxfExtents {
  double min_x = 0;
  double min_y = 0;
  double max_x = 0;
  double max_y = 0;
};

struct DxfDrawing {
  // What is drawn: the model-space entities, with those of inserted blocks.
  std::vector<DxfEntity> entities;
  // The model-space entities of the ENTITIES section by name ("LINE", "INSERT", ...),
  // also those that are not drawn; the vertices of a POLYLINE belong to it.
  std::map<std::string, std::size_t> counts;
  // The box around what is drawn; absent when nothing is.
  std::optional<DxfExtents> extents;
};

// Bounds against hostile files.
inline constexpr int kDxfMaxInsertDepth = 4;
inline constexpr std::size_t kDxfMaxExpanded = 200000;  // entities placed by INSERTs, in all

// The drawing, or nothing when the bytes are not a complete ASCII DXF file
// (binary DXF, a pair whose code is not a number, a number that does not
// read, no ENTITIES section, a section that does not end, no EOF marker).
std::optional<DxfDrawing> ReadDxf(std::string_view bytes);

// The box around the entities; absent for none.
std::optional<DxfExtents> ExtentsOf(const std::vector<DxfEntity>& entities);

// MTEXT's formatting codes removed: \P as a line break, fonts, heights and braces dropped.
std::string PlainMText(std::string_view text);

}  // namespace dravik::preview
