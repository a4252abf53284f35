#include "app/workers/ScanWorker.h"

#include <QMetaObject>

namespace dravik::app {

ScanWorker::ScanWorker(QObject* parent) : QObject(parent) {
  delay_.setSingleShot(true);
  connect(&delay_, &QTimer::timeout, this, &ScanWorker::Deliver);
}

ScanWorker::~ScanWorker() {
  if (control_) control_->RequestStop();
  Join();
}

void ScanWorker::Start(Job job) {
  Join();
  delay_.stop();
  {
    std::lock_guard lock(mutex_);
    text_.clear();
    percent_ = -1;
    pending_ = false;
  }
  control_ = std::make_unique<ScanControl>([this](const ProgressUpdate& update) { Receive(update); });
  if (holdNext_) control_->Pause();
  holdNext_ = false;
  finished_ = false;
  running_ = true;
  thread_ = std::thread([this, job = std::move(job)] {
    job(*control_);
    running_ = false;
    finished_ = true;
    QMetaObject::invokeMethod(this, [this] { Q_EMIT Returned(); }, Qt::QueuedConnection);
  });
}

void ScanWorker::Pause() {
  if (control_) control_->Pause();
}

void ScanWorker::Resume() {
  if (control_) control_->Resume();
}

void ScanWorker::ConfirmStop() {
  finished_ = true;
  running_ = false;
  if (control_) control_->RequestStop();
}

void ScanWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

ScanTally ScanWorker::Counts() const { return control_ ? control_->Counts() : ScanTally{}; }

void ScanWorker::Receive(const ProgressUpdate& update) {
  std::lock_guard lock(mutex_);
  if (!update.text.empty()) text_ = QString::fromStdString(update.text);
  if (update.percent >= 0) percent_ = update.percent;
  if (pending_) return;
  pending_ = true;
  QMetaObject::invokeMethod(this, [this] { Schedule(); }, Qt::QueuedConnection);
}

void ScanWorker::Schedule() {
  const auto since = std::chrono::steady_clock::now() - lastDelivery_;
  if (since >= kMinInterval)
    Deliver();
  else
    delay_.start(std::chrono::ceil<std::chrono::milliseconds>(kMinInterval - since));
}

void ScanWorker::Deliver() {
  delay_.stop();
  QString text;
  int percent;
  {
    std::lock_guard lock(mutex_);
    pending_ = false;
    text = text_;
    percent = percent_;
  }
  lastDelivery_ = std::chrono::steady_clock::now();
  Q_EMIT Progress(text, percent);
}

void ScanWorker::Flush() { Deliver(); }

}  // namespace dravik::app
