#include "preview/MediaViewer.h"

#include <QAudioDecoder>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMediaDevices>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

#include "preview/PreviewWorkspace.h"

namespace dravik::preview {

namespace {

// A damaged file can leave the player loading for ever without an error (seen
// with GStreamer on a cut AVI opened after another damaged one): after this
// long it counts as a file that does not open.
constexpr int kOpenTimeoutMs = 10000;

// What the decoder turns sound into when it only measures it. Without a format
// of its own it fails on files it otherwise reads (Sun audio, MP3).
QAudioFormat MeasuringFormat() {
  QAudioFormat format;
  format.setSampleFormat(QAudioFormat::Int16);
  format.setChannelCount(2);
  format.setSampleRate(48000);
  return format;
}

}  // namespace

QString MediaTime(qint64 ms) {
  const qint64 seconds = qMax<qint64>(ms, 0) / 1000;
  const QChar zero(u'0');
  if (seconds < 3600) return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, zero).arg(seconds % 60, 2, 10, zero);
  return QStringLiteral("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, zero)
      .arg(seconds / 60 % 60, 2, 10, zero)
      .arg(seconds % 60, 2, 10, zero);
}

MediaViewer::MediaViewer(const std::shared_ptr<PreviewWorkspace>& workspace, Sound sound, QWidget* parent)
    : Viewer(parent) {
  if (workspace) workspace->KeepMediaRegistryInside();
  player_ = new QMediaPlayer(this);
  if (sound == Sound::kDetect && !QMediaDevices::audioOutputs().isEmpty()) {
    audio_ = new QAudioOutput(this);
    player_->setAudioOutput(audio_);
  }
  video_ = new QVideoWidget;
  player_->setVideoOutput(video_);
  // Shown once the file proves to hold a picture: sound alone gets the panel
  // instead of a black area.
  video_->hide();
  soundPanel_ = new QWidget;
  soundIcon_ = new QLabel;
  soundName_ = new QLabel;
  soundName_->setTextFormat(Qt::PlainText);
  soundName_->setWordWrap(true);
  QFont bold = soundName_->font();
  bold.setBold(true);
  soundName_->setFont(bold);
  soundDuration_ = new QLabel;
  auto* panel = new QVBoxLayout(soundPanel_);
  panel->addStretch();
  for (QLabel* label : {soundIcon_, soundName_, soundDuration_}) {
    label->setAlignment(Qt::AlignCenter);
    panel->addWidget(label);
  }
  panel->addStretch();
  notice_ = new QLabel(audio_ ? QString() : tr("Sound cannot be played on this computer."));
  notice_->setVisible(!audio_);

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
  layout->addWidget(soundPanel_, 1);
  layout->addWidget(notice_);
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
  name_ = file.fileName();
  player_->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  QTimer::singleShot(kOpenTimeoutMs, this, [this] {
    if (!loaded_) Fail(tr("The file did not open."));
  });
  return !failed_;
}

qint64 MediaViewer::DurationMs() const { return measured_ms_ > 0 ? measured_ms_ : player_->duration(); }

bool MediaViewer::HasVideo() const { return player_->hasVideo(); }

bool MediaViewer::IsPlaying() const { return player_->playbackState() == QMediaPlayer::PlayingState; }

QString MediaViewer::SoundNotice() const { return notice_->text(); }

bool MediaViewer::ShowsVideoArea() const { return video_->isVisibleTo(this); }

QString MediaViewer::SoundDurationText() const { return soundDuration_->text(); }

void MediaViewer::OnStatus() {
  if (decoder_) return;
  const QMediaPlayer::MediaStatus status = player_->mediaStatus();
  if (status == QMediaPlayer::InvalidMedia) return OnError();
  if (status != QMediaPlayer::LoadedMedia || loaded_ || failed_) return;
  // Without an audio output the player cannot run a file that holds only sound.
  if (!audio_ && !player_->hasVideo()) return MeasureSound();
  // A stream whose header survived but whose data did not opens with nothing to play.
  if (!player_->hasVideo() && (!player_->hasAudio() || player_->duration() <= 0))
    return Fail(tr("The file holds nothing that can be played."));
  const QSize described = player_->metaData().value(QMediaMetaData::Resolution).toSize();
  if (described.isValid() && !described.isEmpty()) frame_size_ = described;
  ShowLoaded();
}

void MediaViewer::OnError() {
  if (decoder_) return;
  if (!audio_ && !player_->hasVideo() && !loaded_) return MeasureSound();
  Fail(player_->errorString());
}

void MediaViewer::MeasureSound() {
  if (decoder_ || loaded_ || failed_) return;
  decoder_ = new QAudioDecoder(this);
  decoder_->setAudioFormat(MeasuringFormat());
  // Decoded sound is not kept: the decoder stops once it knows the duration.
  connect(decoder_, &QAudioDecoder::bufferReady, this, [this] { decoder_->read(); });
  connect(decoder_, &QAudioDecoder::durationChanged, this, [this](qint64 ms) {
    if (ms <= 0 || loaded_ || failed_) return;
    measured_ms_ = ms;
    ShowLoaded();
    decoder_->stop();
  });
  connect(decoder_, qOverload<QAudioDecoder::Error>(&QAudioDecoder::error), this, [this] {
    if (!loaded_) Fail(decoder_->errorString());
  });
  connect(decoder_, &QAudioDecoder::finished, this, [this] {
    if (!loaded_) Fail(tr("The file holds nothing that can be played."));
  });
  decoder_->setSource(player_->source());
  decoder_->start();
}

void MediaViewer::ShowLoaded() {
  loaded_ = true;
  const bool playable = player_->hasVideo() || audio_;
  slider_->setRange(0, static_cast<int>(qMin<qint64>(DurationMs(), INT_MAX)));
  slider_->setEnabled(playable && player_->isSeekable());
  play_->setEnabled(playable);
  ShowPosition(0);
  if (player_->hasVideo()) {
    soundPanel_->hide();
    video_->show();
  } else {
    const int side = style()->pixelMetric(QStyle::PM_LargeIconSize) * 2;
    // The desktop theme's sound icon where there is one; the style's own (a
    // small one) elsewhere.
    const QIcon icon = QIcon::fromTheme(QStringLiteral("audio-x-generic"), style()->standardIcon(QStyle::SP_MediaVolume));
    soundIcon_->setPixmap(icon.pixmap(side, side));
    soundName_->setText(name_);
    soundDuration_->setText(tr("Duration: %1").arg(MediaTime(DurationMs())));
  }
  // Paused, not stopped: the pipeline prerolls and the video area shows the first frame.
  if (player_->hasVideo()) player_->pause();
  Q_EMIT Loaded();
}

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
  time_->setText(MediaTime(position) + QStringLiteral(" / ") + MediaTime(DurationMs()));
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
