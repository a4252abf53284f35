#include "preview/DxfViewer.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "preview/PreviewFile.h"

namespace dravik::preview {

namespace {

constexpr int kMargin = 8;
constexpr double kPixelLimit = 1e6;  // coordinates beyond this many pixels are not drawn
constexpr int kArcSegments = 72;     // per full turn

// Drawing units to widget pixels, Y flipped.
class View {
 public:
  View(const DxfExtents& e, const QRectF& room) {
    const double width = std::max(e.max_x - e.min_x, 0.0);
    const double height = std::max(e.max_y - e.min_y, 0.0);
    const double by_width = width > 0 ? room.width() / width : HUGE_VAL;
    const double by_height = height > 0 ? room.height() / height : HUGE_VAL;
    scale_ = std::min(by_width, by_height);
    if (scale_ == HUGE_VAL) scale_ = 1;  // a single point
    // The drawing centred in the room.
    cx_ = (e.min_x + e.max_x) / 2;
    cy_ = (e.min_y + e.max_y) / 2;
    centre_ = room.center();
  }
  bool Usable() const { return std::isfinite(scale_) && scale_ > 0 && std::isfinite(cx_) && std::isfinite(cy_); }
  double Scale() const { return scale_; }
  // Nothing for a point too far out to draw.
  std::optional<QPointF> Map(DxfPoint p) const {
    const double x = centre_.x() + (p.x - cx_) * scale_;
    const double y = centre_.y() - (p.y - cy_) * scale_;
    if (!(std::abs(x) < kPixelLimit && std::abs(y) < kPixelLimit)) return std::nullopt;
    return QPointF(x, y);
  }

 private:
  double scale_ = 1;
  double cx_ = 0;
  double cy_ = 0;
  QPointF centre_;
};

DxfPoint OnCircle(DxfPoint centre, double radius, double degrees) {
  const double r = degrees * std::numbers::pi / 180;
  return {centre.x + radius * std::cos(r), centre.y + radius * std::sin(r)};
}

void DrawPath(QPainter& painter, const View& view, const std::vector<DxfPoint>& points, bool closed) {
  QPainterPath path;
  bool open = false;
  for (const DxfPoint& p : points) {
    const auto at = view.Map(p);
    if (!at) {
      open = false;
      continue;
    }
    if (open)
      path.lineTo(*at);
    else
      path.moveTo(*at);
    open = true;
  }
  if (closed && points.size() > 2) path.closeSubpath();
  painter.drawPath(path);
}

// Circles and arcs as short segments, counter-clockwise in drawing units.
void DrawArc(QPainter& painter, const View& view, const DxfEntity& e, bool full) {
  double start = e.start_angle;
  double span = full ? 360 : std::fmod(e.end_angle - e.start_angle, 360.0);
  if (!full && span <= 0) span += 360;
  if (full) start = 0;
  const int steps = std::max(2, static_cast<int>(std::ceil(span / 360 * kArcSegments)));
  std::vector<DxfPoint> points;
  for (int k = 0; k <= steps; ++k) points.push_back(OnCircle(e.points.front(), e.radius, start + span * k / steps));
  DrawPath(painter, view, points, false);
}

void DrawText(QPainter& painter, const View& view, const DxfEntity& e) {
  const auto at = view.Map(e.points.front());
  const double pixels = e.height * view.Scale();
  if (!at || e.text.empty() || !(pixels >= 1 && pixels < 4000)) return;
  QFont font = painter.font();
  font.setPixelSize(static_cast<int>(pixels));
  painter.save();
  painter.setFont(font);
  painter.translate(*at);
  painter.rotate(-e.rotation);
  const QStringList lines = QString::fromUtf8(e.text).split(QLatin1Char('\n'));
  for (int i = 0; i < lines.size(); ++i) painter.drawText(QPointF(0, -pixels * 1.4 * (lines.size() - 1 - i)), lines[i]);
  painter.restore();
}

}  // namespace

DxfViewer::DxfViewer(QWidget* parent) : Viewer(parent) {
  setAutoFillBackground(true);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
}

bool DxfViewer::Load(const QString& path) {
  const std::optional<QByteArray> bytes = ReadPreviewFile(path);
  if (!bytes) return false;
  auto drawing = ReadDxf(std::string_view(bytes->constData(), static_cast<std::size_t>(bytes->size())));
  if (!drawing) return false;
  drawing_ = std::move(*drawing);
  update();
  return true;
}

std::size_t DxfViewer::Count(const std::string& name) const {
  const auto found = drawing_.counts.find(name);
  return found == drawing_.counts.end() ? 0 : found->second;
}

void DxfViewer::paintEvent(QPaintEvent*) {
  if (!drawing_.extents) return;
  const QRectF room = QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
  if (room.width() <= 0 || room.height() <= 0) return;
  const View view(*drawing_.extents, room);
  if (!view.Usable()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::black, 0));
  for (const DxfEntity& e : drawing_.entities) {
    if (e.points.empty()) continue;
    switch (e.shape) {
      case DxfShape::kSegments: DrawPath(painter, view, e.points, e.closed); break;
      case DxfShape::kCircle: DrawArc(painter, view, e, true); break;
      case DxfShape::kArc: DrawArc(painter, view, e, false); break;
      case DxfShape::kPoint:
        if (const auto at = view.Map(e.points.front())) painter.drawEllipse(*at, 1.5, 1.5);
        break;
      case DxfShape::kText: DrawText(painter, view, e); break;
    }
  }
}

}  // namespace dravik::preview
