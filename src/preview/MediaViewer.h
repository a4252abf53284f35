#pragma once
// Audio and video through Qt Multimedia: play/pause, a position slider with
// the time and the duration, above them a video area for a video and for
// sound a plain panel with the file's name and duration. Nothing plays until
// the user asks: the media is opened paused, which also shows a video's
// first frame.
//
// Where the machine has no audio output (no sound server, no device) no audio
// sink is ever opened: a sink that has nothing to play into may fail or wait
// for a server that never answers. The viewer then says that sound cannot be
// played here; a video still shows its first frame and duration and plays
// without sound, and a sound file's duration is measured by decoding it.

#include <QSize>
#include <memory>

#include "preview/Viewers.h"

class QAudioDecoder;
class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QPushButton;
class QSlider;
class QVideoFrame;
class QVideoWidget;

namespace dravik::preview {

class PreviewWorkspace;

class MediaViewer : public Viewer {
  Q_OBJECT

 public:
  // kDetect plays sound through the default audio output when the machine
  // has one; kNone never opens an audio output, as where there is none.
  enum class Sound { kDetect, kNone };

  // workspace, when given, keeps the media framework's plugin registry (see
  // PreviewWorkspace::KeepMediaRegistryInside).
  explicit MediaViewer(const std::shared_ptr<PreviewWorkspace>& workspace = nullptr, Sound sound = Sound::kDetect,
                       QWidget* parent = nullptr);
  ~MediaViewer() override;
  // Starts opening the file and returns at once; Loaded() or Failed() follows.
  bool Load(const QString& path) override;
  // Why opening failed, as the media framework says it.
  QString Problem() const override { return problem_; }

  bool IsLoaded() const { return loaded_; }
  qint64 DurationMs() const;
  bool HasVideo() const;
  // The picture size of the video, from the stream's description or else the first frame shown.
  QSize FrameSize() const { return frame_size_; }
  bool IsPlaying() const;
  // Whether sound goes to an audio output.
  bool PlaysSound() const { return audio_ != nullptr; }
  // The notice that sound cannot be played here; empty where it can.
  QString SoundNotice() const;
  // Whether the video area is shown (a video), or the sound panel.
  bool ShowsVideoArea() const;
  // The duration as the sound panel shows it; empty before a sound file has loaded.
  QString SoundDurationText() const;

 Q_SIGNALS:
  // The media is open, its duration and streams known.
  void Loaded();

 private:
  void OnStatus();
  void OnError();
  void OnFrame(const QVideoFrame& frame);
  void MeasureSound();
  void ShowLoaded();
  void TogglePlay();
  void ShowPosition(qint64 position);
  void Fail(const QString& problem);

  QMediaPlayer* player_;
  QAudioOutput* audio_ = nullptr;
  QAudioDecoder* decoder_ = nullptr;
  QVideoWidget* video_;
  QWidget* soundPanel_;
  QLabel* soundIcon_;
  QLabel* soundName_;
  QLabel* soundDuration_;
  QLabel* notice_;
  QPushButton* play_;
  QSlider* slider_;
  QLabel* time_;
  QSize frame_size_;
  QString problem_;
  QString name_;
  // The duration the decoder measured, for sound that the player cannot open without an output.
  qint64 measured_ms_ = 0;
  bool loaded_ = false;
  bool failed_ = false;
};

// "mm:ss", or "hh:mm:ss" from an hour on.
QString MediaTime(qint64 ms);

}  // namespace dravik::preview
