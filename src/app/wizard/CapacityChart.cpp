#include "app/wizard/CapacityChart.h"

#include <QPainter>

namespace dravik::app {

namespace {

// 0x00BBGGRR as a colour.
QColor FromBgr(std::uint32_t value) {
  return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                static_cast<int>((value >> 16) & 0xFF));
}

}  // namespace

CapacityChart::CapacityChart(QWidget* parent) : QWidget(parent) { setMinimumSize(260, 160); }

void CapacityChart::SetSlices(std::vector<CapacitySlice> slices) {
  slices_ = std::move(slices);
  update();
}

void CapacityChart::paintEvent(QPaintEvent*) {
  if (slices_.empty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = std::min(height() - 8, width() / 2);
  const QRectF pie(4, (height() - side) / 2.0, side, side);
  int angle = 90 * 16;
  painter.setPen(QPen(palette().color(QPalette::Mid), 1));
  for (const CapacitySlice& slice : slices_) {
    const int span = -static_cast<int>(slice.percent) * 360 * 16 / 100;
    painter.setBrush(FromBgr(slice.color));
    if (slice.percent >= 100)
      painter.drawEllipse(pie);
    else if (span != 0)
      painter.drawPie(pie, angle, span);
    angle += span;
  }
  const QFontMetrics metrics(font());
  const int line = metrics.height() + 6;
  int y = static_cast<int>(pie.top()) + 4;
  const int x = static_cast<int>(pie.right()) + 16;
  for (const CapacitySlice& slice : slices_) {
    painter.setBrush(FromBgr(slice.color));
    painter.drawRect(x, y + 2, metrics.height() - 4, metrics.height() - 4);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(x + metrics.height() + 4, y + metrics.ascent(),
                     QStringLiteral("%1  %2 %").arg(QString::fromStdString(slice.label)).arg(slice.percent));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    y += line;
  }
}

}  // namespace dravik::app
