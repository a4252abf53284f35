#include "preview/DxfReader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <numbers>
#include <variant>

#include "util/Utf.h"

namespace dravik::preview {

namespace {

constexpr std::string_view kBinarySentinel = "AutoCAD Binary DXF";

// Group codes read here.
constexpr int kCodeMarker = 0;  // entity or section marker
constexpr int kCodeText = 1;
constexpr int kCodeName = 2;      // section, block or inserted block name
constexpr int kCodeTextMore = 3;  // MTEXT text before its last piece
constexpr int kCodeX = 10;
constexpr int kCodeX2 = 11;
constexpr int kCodeY = 20;
constexpr int kCodeY2 = 21;
constexpr int kCodeSize = 40;  // radius, text height
constexpr int kCodeScaleX = 41;
constexpr int kCodeScaleY = 42;
constexpr int kCodeAngle = 50;   // start angle, rotation
constexpr int kCodeAngle2 = 51;  // end angle
constexpr int kCodePaper = 67;   // 1: paper space
constexpr int kCodeFlags = 70;

// POLYLINE flags (70) and VERTEX flags.
constexpr int kPolylineClosed = 1;
constexpr int kVertexFaceRecord = 128;
constexpr int kVertexMeshPoint = 64;

struct Pair {
  int code = 0;
  std::string_view value;
};

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string_view TrimEnd(std::string_view text) {
  const auto last = text.find_last_not_of("\r");
  return last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
}

// All pairs of the file, or nothing when a code line is not a number or its value line is missing.
std::optional<std::vector<Pair>> SplitPairs(std::string_view bytes) {
  std::vector<Pair> pairs;
  std::size_t pos = 0;
  auto next_line = [&](std::string_view& line) {
    if (pos >= bytes.size()) return false;
    const auto end = std::min(bytes.find('\n', pos), bytes.size());
    line = bytes.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  std::string_view code_line;
  std::string_view value_line;
  while (next_line(code_line)) {
    const auto code_text = Trim(code_line);
    if (code_text.empty() && pos >= bytes.size()) break;  // the file's last line break
    int code = 0;
    const auto [end, error] = std::from_chars(code_text.data(), code_text.data() + code_text.size(), code);
    if (error != std::errc() || end != code_text.data() + code_text.size()) return std::nullopt;
    if (!next_line(value_line)) return std::nullopt;
    const bool text = code == kCodeText || code == kCodeTextMore;
    pairs.push_back({code, text ? TrimEnd(value_line) : Trim(value_line)});
  }
  return pairs;
}

bool ReadNumber(std::string_view text, double& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
  out = value;
  return true;
}

bool ReadInt(std::string_view text, int& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    if (lead >= 0x80) {
      if ((lead >> 5) == 6)
        extra = 1;
      else if ((lead >> 4) == 14)
        extra = 2;
      else if ((lead >> 3) == 30)
        extra = 3;
      else
        return false;
    }
    if (extra >= text.size() - i) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

// "\U+00E9" escapes (what older files use for characters outside their code
// page) decoded; text that is not UTF-8 read as Latin-1.
std::string DecodeText(std::string_view text) {
  const bool utf8 = IsUtf8(text);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned value = 0;
    if (text.substr(i, 3) == "\\U+" && i + 7 <= text.size()) {
      const auto hex = text.substr(i + 3, 4);
      const auto [end, error] = std::from_chars(hex.data(), hex.data() + 4, value, 16);
      if (error == std::errc() && end == hex.data() + 4) {
        AppendUtf8(out, value);
        i += 6;
        continue;
      }
    }
    const auto byte = static_cast<unsigned char>(text[i]);
    if (utf8 || byte < 0x80)
      out += text[i];
    else
      AppendUtf8(out, byte);
  }
  return out;
}

// TEXT's special characters: %%d degree, %%p plus-minus, %%c diameter.
std::string TextSpecials(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "%%" && i + 2 < text.size()) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 2])));
      const char* special = c == 'd' ? "\u00B0" : c == 'p' ? "\u00B1" : c == 'c' ? "\u2300" : c == '%' ? "%" : nullptr;
      if (special) {
        out += special;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// The values of one entity's pairs that the drawing needs.
struct Fields {
  std::vector<DxfPoint> points;  // every 10/20 in order (LWPOLYLINE vertices)
  DxfPoint second;
  double size = 0;
  double scale_x = 1;
  double scale_y = 1;
  double angle = 0;
  double angle2 = 0;
  int flags = 0;
  bool paper = false;
  std::string text;
  std::string text_more;
  std::string name;
};

bool ReadFields(const std::vector<Pair>& pairs, std::size_t begin, std::size_t end, Fields& f) {
  for (std::size_t i = begin; i < end; ++i) {
    const auto& [code, value] = pairs[i];
    double number = 0;
    const bool numeric = code == kCodeX || code == kCodeY || code == kCodeX2 || code == kCodeY2 || code == kCodeSize ||
                         code == kCodeScaleX || code == kCodeScaleY || code == kCodeAngle || code == kCodeAngle2;
    if (numeric && !ReadNumber(value, number)) return false;
    int flag = 0;
    switch (code) {
      case kCodeX: f.points.push_back({number, 0}); break;
      case kCodeY:
        if (!f.points.empty()) f.points.back().y = number;
        break;
      case kCodeX2: f.second.x = number; break;
      case kCodeY2: f.second.y = number; break;
      case kCodeSize: f.size = number; break;
      case kCodeScaleX: f.scale_x = number; break;
      case kCodeScaleY: f.scale_y = number; break;
      case kCodeAngle: f.angle = number; break;
      case kCodeAngle2: f.angle2 = number; break;
      case kCodeFlags:
        if (!ReadInt(value, flag)) return false;
        f.flags = flag;
        break;
      case kCodePaper: f.paper = Trim(value) == "1"; break;
      case kCodeText: f.text = value; break;
      case kCodeTextMore: f.text_more += value; break;
      case kCodeName: f.name = value; break;
      default: break;
    }
  }
  return true;
}

DxfPoint First(const Fields& f) { return f.points.empty() ? DxfPoint{} : f.points.front(); }

// A block placed at a point, scaled and turned.
struct Insert {
  std::string block;
  DxfPoint at;
  double scale_x = 1;
  double scale_y = 1;
  double rotation = 0;
};

using Item = std::variant<DxfEntity, Insert>;

struct Block {
  DxfPoint base;
  std::vector<Item> items;
};

// x' = a x + b y + e, y' = c x + d y + f.
struct Affine {
  double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

  DxfPoint Apply(DxfPoint p) const { return {a * p.x + b * p.y + e, c * p.x + d * p.y + f}; }
  Affine Then(const Affine& outer) const {
    return {outer.a * a + outer.b * c, outer.a * b + outer.b * d,           outer.c * a + outer.d * c,
            outer.c * b + outer.d * d, outer.a * e + outer.b * f + outer.e, outer.c * e + outer.d * f + outer.f};
  }
  double Scale() const { return std::sqrt(std::abs(a * d - b * c)); }
  bool Mirrors() const { return a * d - b * c < 0; }
  double Degrees() const { return std::atan2(c, a) * 180 / std::numbers::pi; }
};

// Where a block's entities go for one INSERT: base point to the origin, scale, turn, move.
Affine Placement(const Insert& insert, DxfPoint base) {
  const double turn = insert.rotation * std::numbers::pi / 180;
  const double cs = std::cos(turn);
  const double sn = std::sin(turn);
  Affine m;
  m.a = cs * insert.scale_x;
  m.b = -sn * insert.scale_y;
  m.c = sn * insert.scale_x;
  m.d = cs * insert.scale_y;
  const DxfPoint shifted = m.Apply({-base.x, -base.y});
  m.e = shifted.x + insert.at.x;
  m.f = shifted.y + insert.at.y;
  return m;
}

DxfPoint OnCircle(DxfPoint centre, double radius, double degrees) {
  const double r = degrees * std::numbers::pi / 180;
  return {centre.x + radius * std::cos(r), centre.y + radius * std::sin(r)};
}

double AngleTo(DxfPoint from, DxfPoint to) { return std::atan2(to.y - from.y, to.x - from.x) * 180 / std::numbers::pi; }

bool Finite(const DxfEntity& entity) {
  for (const auto& p : entity.points)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  return std::isfinite(entity.radius) && std::isfinite(entity.start_angle) && std::isfinite(entity.end_angle) &&
         std::isfinite(entity.height) && std::isfinite(entity.rotation);
}

std::optional<DxfEntity> Transformed(const DxfEntity& entity, const Affine& m) {
  DxfEntity out = entity;
  for (auto& p : out.points) p = m.Apply(p);
  if (entity.shape == DxfShape::kCircle || entity.shape == DxfShape::kArc) out.radius = entity.radius * m.Scale();
  if (entity.shape == DxfShape::kArc && !entity.points.empty()) {
    // The ends carried through the placement give the new angles; a mirror swaps them.
    const DxfPoint centre = out.points.front();
    const double start = AngleTo(centre, m.Apply(OnCircle(entity.points.front(), entity.radius, entity.start_angle)));
    const double end = AngleTo(centre, m.Apply(OnCircle(entity.points.front(), entity.radius, entity.end_angle)));
    out.start_angle = m.Mirrors() ? end : start;
    out.end_angle = m.Mirrors() ? start : end;
  }
  if (entity.shape == DxfShape::kText) {
    out.height = entity.height * m.Scale();
    out.rotation = entity.rotation + m.Degrees();
  }
  if (!Finite(out)) return std::nullopt;
  return out;
}

class Parser {
 public:
  explicit Parser(std::vector<Pair> pairs) : pairs_(std::move(pairs)) {}

  bool Run() {
    while (pos_ < pairs_.size()) {
      const Pair& pair = pairs_[pos_];
      if (pair.code == kCodeMarker && pair.value == "EOF") return entities_seen_;
      if (pair.code != kCodeMarker || pair.value != "SECTION") {
        ++pos_;
        continue;
      }
      ++pos_;
      const std::string_view name = pos_ < pairs_.size() && pairs_[pos_].code == kCodeName ? pairs_[pos_++].value : "";
      bool ok = false;
      if (name == "ENTITIES") {
        ok = ReadItems(model_, "ENDSEC", true);
        entities_seen_ = ok;
      } else if (name == "BLOCKS") {
        ok = ReadBlocks();
      } else {
        ok = SkipSection();
      }
      if (!ok) return false;
    }
    // No end marker: the file was cut short.
    return false;
  }

  DxfDrawing Finish() {
    DxfDrawing drawing;
    std::size_t budget = kDxfMaxExpanded;
    Place(model_, Affine{}, 0, drawing.entities, budget);
    drawing.counts = std::move(counts_);
    drawing.extents = ExtentsOf(drawing.entities);
    return drawing;
  }

 private:
  // The index of the next marker pair (code 0) after pos.
  std::size_t NextMarker(std::size_t pos) const {
    while (pos < pairs_.size() && pairs_[pos].code != kCodeMarker) ++pos;
    return pos;
  }

  bool SkipSection() {
    while (pos_ < pairs_.size()) {
      if (pairs_[pos_].code == kCodeMarker && pairs_[pos_].value == "ENDSEC") {
        ++pos_;
        return true;
      }
      ++pos_;
    }
    return false;
  }

  bool ReadBlocks() {
    while (pos_ < pairs_.size()) {
      pos_ = NextMarker(pos_);
      if (pos_ >= pairs_.size()) return false;
      const std::string_view marker = pairs_[pos_].value;
      if (marker == "ENDSEC") {
        ++pos_;
        return true;
      }
      const std::size_t begin = ++pos_;
      pos_ = NextMarker(pos_);
      if (marker != "BLOCK") continue;
      Fields header;
      if (!ReadFields(pairs_, begin, pos_, header)) return false;
      Block block;
      block.base = First(header);
      if (!ReadItems(block.items, "ENDBLK", false)) return false;
      blocks_.try_emplace(header.name, std::move(block));
    }
    return false;
  }

  // The entities up to the end marker; in the ENTITIES section they are also counted.
  bool ReadItems(std::vector<Item>& items, std::string_view end_marker, bool count) {
    while (true) {
      pos_ = NextMarker(pos_);
      if (pos_ >= pairs_.size()) return false;
      const std::string_view name = pairs_[pos_].value;
      if (name == end_marker) {
        pos_ = NextMarker(pos_ + 1);
        return true;
      }
      if (name == "ENDSEC" || name == "EOF") return false;
      const std::size_t begin = ++pos_;
      pos_ = NextMarker(pos_);
      Fields fields;
      if (!ReadFields(pairs_, begin, pos_, fields)) return false;
      if (name == "POLYLINE" && !ReadVertices(fields)) return false;
      if (fields.paper || name == "VERTEX" || name == "SEQEND" || name == "ATTRIB") continue;
      if (count) ++counts_[std::string(name)];
      if (auto item = MakeItem(name, std::move(fields))) items.push_back(std::move(*item));
    }
  }

  // A POLYLINE's VERTEX entities up to its SEQEND, as the polyline's points.
  bool ReadVertices(Fields& polyline) {
    polyline.points.clear();
    while (pos_ < pairs_.size() && pairs_[pos_].value == "VERTEX") {
      const std::size_t begin = ++pos_;
      pos_ = NextMarker(pos_);
      Fields vertex;
      if (!ReadFields(pairs_, begin, pos_, vertex)) return false;
      // Polyface meshes list their faces as vertices without a place.
      const bool face = (vertex.flags & kVertexFaceRecord) && !(vertex.flags & kVertexMeshPoint);
      if (!face) polyline.points.push_back(First(vertex));
    }
    if (pos_ < pairs_.size() && pairs_[pos_].value == "SEQEND") pos_ = NextMarker(pos_ + 1);
    return true;
  }

  static std::optional<Item> MakeItem(std::string_view name, Fields f) {
    DxfEntity e;
    if (name == "LINE") {
      e.shape = DxfShape::kSegments;
      e.points = {First(f), f.second};
    } else if (name == "LWPOLYLINE" || name == "POLYLINE") {
      if (f.points.empty()) return std::nullopt;
      e.shape = DxfShape::kSegments;
      e.points = std::move(f.points);
      e.closed = (f.flags & kPolylineClosed) != 0;
    } else if (name == "CIRCLE" || name == "ARC") {
      if (f.size < 0) return std::nullopt;
      e.shape = name == "CIRCLE" ? DxfShape::kCircle : DxfShape::kArc;
      e.points = {First(f)};
      e.radius = f.size;
      e.start_angle = f.angle;
      e.end_angle = f.angle2;
    } else if (name == "POINT") {
      e.points = {First(f)};
    } else if (name == "TEXT" || name == "MTEXT") {
      e.shape = DxfShape::kText;
      e.points = {First(f)};
      e.height = std::abs(f.size);
      e.rotation = f.angle;
      const std::string raw = DecodeText(f.text_more + f.text);
      e.text = name == "TEXT" ? TextSpecials(raw) : PlainMText(raw);
    } else if (name == "INSERT") {
      return Insert{std::move(f.name), First(f), f.scale_x, f.scale_y, f.angle};
    } else {
      return std::nullopt;
    }
    return e;
  }

  void Place(const std::vector<Item>& items, const Affine& m, int depth, std::vector<DxfEntity>& out,
             std::size_t& budget) const {
    for (const Item& item : items) {
      // Every placed item costs, inserts too: blocks that insert each other stop at the budget.
      if (depth > 0) {
        if (budget == 0) return;
        --budget;
      }
      if (const auto* entity = std::get_if<DxfEntity>(&item)) {
        if (auto placed = Transformed(*entity, m)) out.push_back(std::move(*placed));
        continue;
      }
      const auto& insert = std::get<Insert>(item);
      const auto block = blocks_.find(insert.block);
      if (depth >= kDxfMaxInsertDepth || block == blocks_.end()) continue;
      Place(block->second.items, Placement(insert, block->second.base).Then(m), depth + 1, out, budget);
    }
  }

  std::vector<Pair> pairs_;
  std::size_t pos_ = 0;
  std::map<std::string, Block, std::less<>> blocks_;
  std::vector<Item> model_;
  std::map<std::string, std::size_t> counts_;
  bool entities_seen_ = false;
};

struct Box {
  DxfExtents e{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  bool any = false;
  void Add(DxfPoint p) {
    e.min_x = std::min(e.min_x, p.x);
    e.min_y = std::min(e.min_y, p.y);
    e.max_x = std::max(e.max_x, p.x);
    e.max_y = std::max(e.max_y, p.y);
    any = true;
  }
};

double Normalised(double degrees) {
  const double d = std::fmod(degrees, 360.0);
  return d < 0 ? d + 360 : d;
}

// An arc's ends and the points at 0, 90, 180 and 270 degrees that lie on it.
void AddArc(Box& box, const DxfEntity& arc) {
  const DxfPoint centre = arc.points.front();
  const double start = Normalised(arc.start_angle);
  double span = Normalised(arc.end_angle) - start;
  if (span <= 0) span += 360;
  box.Add(OnCircle(centre, arc.radius, start));
  box.Add(OnCircle(centre, arc.radius, start + span));
  for (double quadrant = 0; quadrant < 360; quadrant += 90)
    if (Normalised(quadrant - start) <= span) box.Add(OnCircle(centre, arc.radius, quadrant));
}

// The box a line of text takes, its width guessed from the character count,
// so that the words at the edge of a drawing are not cut off.
void AddText(Box& box, const DxfEntity& text) {
  const DxfPoint at = text.points.front();
  const double width = 0.6 * text.height * static_cast<double>(text.text.size());
  const double turn = text.rotation * 3.14159265358979323846 / 180;
  const double c = std::cos(turn), s = std::sin(turn);
  for (const auto& [dx, dy] : {std::pair{0.0, 0.0}, {width, 0.0}, {0.0, text.height}, {width, text.height}})
    box.Add({at.x + dx * c - dy * s, at.y + dx * s + dy * c});
}

}  // namespace

std::optional<DxfExtents> ExtentsOf(const std::vector<DxfEntity>& entities) {
  Box box;
  for (const DxfEntity& entity : entities) {
    if (entity.points.empty()) continue;
    switch (entity.shape) {
      case DxfShape::kCircle: {
        const DxfPoint c = entity.points.front();
        box.Add({c.x - entity.radius, c.y - entity.radius});
        box.Add({c.x + entity.radius, c.y + entity.radius});
        break;
      }
      case DxfShape::kArc: AddArc(box, entity); break;
      case DxfShape::kText: AddText(box, entity); break;
      default:
        for (const DxfPoint& p : entity.points) box.Add(p);
        break;
    }
  }
  if (!box.any) return std::nullopt;
  return box.e;
}

std::string PlainMText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{' || c == '}') continue;
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    const char code = text[++i];
    switch (code) {
      case 'P': out += '\n'; break;
      case '~': out += ' '; break;
      case 'L':
      case 'l':
      case 'O':
      case 'o':
      case 'K':
      case 'k': break;
      case 'S': {
        // A stacked fraction "\S1^2;" shown as "1/2".
        const auto end = std::min(text.find(';', i), text.size());
        for (std::size_t k = i + 1; k < end; ++k) out += (text[k] == '^' || text[k] == '#') ? '/' : text[k];
        i = end;
        break;
      }
      case 'f':
      case 'F':
      case 'H':
      case 'h':
      case 'C':
      case 'c':
      case 'A':
      case 'a':
      case 'T':
      case 't':
      case 'Q':
      case 'q':
      case 'W':
      case 'w':
      case 'p': i = std::min(text.find(';', i), text.size()); break;
      default: out += code; break;
    }
  }
  return out;
}

std::optional<DxfDrawing> ReadDxf(std::string_view bytes) {
  if (bytes.substr(0, kBinarySentinel.size()) == kBinarySentinel) return std::nullopt;
  auto pairs = SplitPairs(bytes);
  if (!pairs) return std::nullopt;
  Parser parser(std::move(*pairs));
  if (!parser.Run()) return std::nullopt;
  return parser.Finish();
}

}  // namespace dravik::preview
