#pragma once
// Runs one long job off the interface thread. The page that starts it polls
// Running() and Finished() with its timer, and Returned tells it at once when
// the job has returned, so that the end-of-work step does not wait for the
// timer's next tick; progress reaches the page through a queued signal that
// is coalesced, so however often the engine reports (texts as well as
// percentages), at most one delivery is pending and deliveries come at most
// every kMinInterval; what comes sooner waits for the end of the interval,
// never longer. Stop pauses the job at its next check while the question is
// open; a confirmed stop ends it there.

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "util/ScanControl.h"

namespace dravik::app {

class ScanWorker : public QObject {
  Q_OBJECT

 public:
  using Job = std::function<void(ScanControl&)>;
  static constexpr std::chrono::milliseconds kMinInterval{50};

  explicit ScanWorker(QObject* parent = nullptr);
  ~ScanWorker() override;

  void Start(Job job);
  // The next job starts held at its first check, as if the stop question
  // were open, until Resume or ConfirmStop.
  void HoldNextStart() { holdNext_ = true; }
  bool Running() const { return running_.load(); }
  bool Finished() const { return finished_.load(); }
  // The stop question: Pause before asking, then Resume (No) or ConfirmStop (Yes).
  void Pause();
  void Resume();
  void ConfirmStop();
  // Waits for the job's thread to return. The end-of-work step calls it
  // before it touches what the job built.
  void Join();
  ScanTally Counts() const;
  // The latest text and percentage, delivered now.
  void Flush();

 Q_SIGNALS:
  void Progress(const QString& text, int percent);
  // Queued from the job's thread as its last act: the job has returned.
  void Returned();

 private:
  void Receive(const ProgressUpdate& update);
  // On the interface thread: delivers now, or when kMinInterval has passed
  // since the last delivery.
  void Schedule();
  void Deliver();

  std::thread thread_;
  std::unique_ptr<ScanControl> control_;
  std::atomic<bool> running_{false};
  std::atomic<bool> finished_{false};
  std::mutex mutex_;
  QString text_;
  int percent_ = -1;
  bool pending_ = false;
  bool holdNext_ = false;
  // The interface thread's: when the last delivery went, and the wait for the next.
  std::chrono::steady_clock::time_point lastDelivery_{};
  QTimer delay_;
};

}  // namespace dravik::app
