#include "preview/MediaViewer.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

namespace dravik::preview {

namespace {

// A damaged file can leave the player loading for ever without an error (seen
// with GStreamer on a cut AVI opened after another damaged one): after this
// long it counts as a file that does not open.
constexpr int kOpenTimeoutMs = 10000;

}  // namespace

QString MediaTime(qint64 ms) {
  const qint64 seconds = qMax<qint64>(ms, 0) / 1000;
  const QChar zero(u'0');
  if (seconds < 3600) return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, zero);
  return QStringLiteral("%1:%2:%3")
      .arg(seconds / 3600)
      .arg(seconds / 60 % 60, 2, 10, zero)
      .arg(seconds % 60, 2, 10, zero);
}

MediaViewer::MediaViewer(QWidget* parent) : Viewer(parent) {
  player_ = new QMediaPlayer(this);
  // The audio output is set even where the machine has no sound device: without
  // one the audio-only pipelines of this Qt version fail to open at all.
  audio_ = new QAudioOutput(this);
  player_->setAudioOutput(audio_);
  video_ = new QVideoWidget;
  player_->setVideoOutput(video_);

  play_ = new QPushButton(tr("Play"));
  play_->setEnabled(false);
  slider_ = new QSlider(Qt::Horizontal);
  slider_->setEnabled(false);
  time_ = new QLabel(MediaTime(0) + QStringLiteral(" / ") + MediaTime(0));
  auto* controls = new QHBoxLayout;
  controls->addWidget(play_);
  controls->addWidget(slider_, 1);
  controls->addWidget(time_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(video_, 1);
  layout->addLayout(controls);

  connect(player_, &QMediaPlayer::mediaStatusChanged, this, &MediaViewer::OnStatus);
  connect(player_, &QMediaPlayer::errorOccurred, this, &MediaViewer::OnError);
  connect(player_, &QMediaPlayer::positionChanged, this, &MediaViewer::ShowPosition);
  connect(player_, &QMediaPlayer::playbackStateChanged, this, [this](QMediaPlayer::PlaybackState state) {
    play_->setText(state == QMediaPlayer::PlayingState ? tr("Pause") : tr("Play"));
  });
  connect(video_->videoSink(), &QVideoSink::videoFrameChanged, this, &MediaViewer::OnFrame);
  connect(play_, &QPushButton::clicked, this, &MediaViewer::TogglePlay);
  connect(slider_, &QSlider::sliderMoved, player_, &QMediaPlayer::setPosition);
}

MediaViewer::~MediaViewer() {
  // The pipeline stops before the video widget it draws into goes away.
  player_->stop();
  player_->setVideoOutput(nullptr);
}

bool MediaViewer::Load(const QString& path) {
  const QFileInfo file(path);
  if (!file.isFile() || file.size() == 0) return false;
  player_->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  QTimer::singleShot(kOpenTimeoutMs, this, [this] {
    if (!loaded_) Fail(tr("The file did not open."));
  });
  return !failed_;
}

qint64 MediaViewer::DurationMs() const { return player_->duration(); }

bool MediaViewer::HasVideo() const { return player_->hasVideo(); }

bool MediaViewer::IsPlaying() const { return player_->playbackState() == QMediaPlayer::PlayingState; }

void MediaViewer::OnStatus() {
  const QMediaPlayer::MediaStatus status = player_->mediaStatus();
  if (status == QMediaPlayer::InvalidMedia) return Fail(player_->errorString());
  if (status != QMediaPlayer::LoadedMedia || loaded_ || failed_) return;
  // A stream whose header survived but whose data did not opens with nothing to play.
  if (!player_->hasVideo() && (!player_->hasAudio() || player_->duration() <= 0))
    return Fail(tr("The file holds nothing that can be played."));
  loaded_ = true;
  const QSize described = player_->metaData().value(QMediaMetaData::Resolution).toSize();
  if (described.isValid() && !described.isEmpty()) frame_size_ = described;
  slider_->setRange(0, static_cast<int>(qMin<qint64>(player_->duration(), INT_MAX)));
  slider_->setEnabled(player_->isSeekable());
  play_->setEnabled(true);
  ShowPosition(0);
  // Paused, not stopped: the pipeline prerolls and the video area shows the first frame.
  if (player_->hasVideo()) player_->pause();
  Q_EMIT Loaded();
}

void MediaViewer::OnError() { Fail(player_->errorString()); }

void MediaViewer::OnFrame(const QVideoFrame& frame) {
  if (frame_size_.isEmpty() && frame.isValid() && !frame.size().isEmpty()) frame_size_ = frame.size();
}

void MediaViewer::TogglePlay() {
  if (IsPlaying())
    player_->pause();
  else
    player_->play();
}

void MediaViewer::ShowPosition(qint64 position) {
  if (!slider_->isSliderDown()) slider_->setValue(static_cast<int>(qMin<qint64>(position, INT_MAX)));
  time_->setText(MediaTime(position) + QStringLiteral(" / ") + MediaTime(player_->duration()));
}

void MediaViewer::Fail(const QString& problem) {
  if (failed_) return;
  failed_ = true;
  problem_ = problem;
  play_->setEnabled(false);
  slider_->setEnabled(false);
  Q_EMIT Failed();
}

}  // namespace dravik::preview
