#pragma once
// A DXF drawing drawn onto the widget: white background, the entities in
// black, zoomed so that the extents fill the widget with Y up.

#include <cstddef>
#include <optional>
#include <string>

#include "preview/DxfReader.h"
#include "preview/Viewers.h"

namespace dravik::preview {

class DxfViewer : public Viewer {
  Q_OBJECT

 public:
  explicit DxfViewer(QWidget* parent = nullptr);
  // False for a file that is not a complete ASCII DXF drawing.
  bool Load(const QString& path) override;
  // The model-space entities of that name ("LINE", "INSERT", ...).
  std::size_t Count(const std::string& name) const;
  // The entities drawn, with those placed by INSERTs.
  std::size_t Drawn() const { return drawing_.entities.size(); }
  std::optional<DxfExtents> Extents() const { return drawing_.extents; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  DxfDrawing drawing_;
};

}  // namespace dravik::preview
