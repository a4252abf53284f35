#pragma once
// Audio and video through Qt Multimedia: a video area, play/pause, a position
// slider with the time and the duration. Nothing plays until the user asks:
// the media is opened paused, which also shows a video's first frame.

#include <QSize>

#include "preview/Viewers.h"

class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QPushButton;
class QSlider;
class QVideoFrame;
class QVideoWidget;

namespace dravik::preview {

class MediaViewer : public Viewer {
  Q_OBJECT

 public:
  explicit MediaViewer(QWidget* parent = nullptr);
  ~MediaViewer() override;
  // Starts opening the file and returns at once; Loaded() or Failed() follows.
  bool Load(const QString& path) override;
  // Why opening failed, as the media framework says it.
  QString Problem() const { return problem_; }

  bool IsLoaded() const { return loaded_; }
  qint64 DurationMs() const;
  bool HasVideo() const;
  // The picture size of the video, from the stream's description or else the first frame shown.
  QSize FrameSize() const { return frame_size_; }
  bool IsPlaying() const;

 Q_SIGNALS:
  // The media is open, its duration and streams known.
  void Loaded();

 private:
  void OnStatus();
  void OnError();
  void OnFrame(const QVideoFrame& frame);
  void TogglePlay();
  void ShowPosition(qint64 position);
  void Fail(const QString& problem);

  QMediaPlayer* player_;
  QAudioOutput* audio_;
  QVideoWidget* video_;
  QPushButton* play_;
  QSlider* slider_;
  QLabel* time_;
  QSize frame_size_;
  QString problem_;
  bool loaded_ = false;
  bool failed_ = false;
};

// "m:ss", or "h:mm:ss" from an hour on.
QString MediaTime(qint64 ms);

}  // namespace dravik::preview
