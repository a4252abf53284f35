#pragma once
// One long job at a time on the wizard's ScanWorker. The controller that
// starts a job names the progress pane its counters go to, how to read them
// from the worker's tally, the question a stop asks and its end step. The
// pane is polled once a second; the end step runs once, on the interface
// thread, after the worker has returned: at the poll that finds it so, or
// at once when the worker says it has returned.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "app/workers/ScanWorker.h"

namespace dravik::app {

class ProgressPane;

class JobRunner : public QObject {
  Q_OBJECT

 public:
  static constexpr int kPollMs = 1000;

  struct Job {
    ProgressPane* pane = nullptr;
    std::vector<QString> counterLabels;
    std::function<std::vector<QString>(const ScanTally&)> counterValues;
    const char* stopQuestion = nullptr;
    std::function<void()> end;
  };

  // Progress that arrives while no job runs (queued before the last one
  // ended) goes to idlePane.
  JobRunner(ScanWorker& worker, ProgressPane* idlePane, QObject* parent = nullptr);

  void Start(Job job, ScanWorker::Job body);
  bool Busy() const { return running_.has_value(); }
  // The question the stop button asks of the job running.
  const char* StopQuestion() const;
  // The user confirmed a stop; the end step can tell a stopped job from a failed one.
  void MarkStopped() { stopped_ = true; }
  bool Stopped() const { return stopped_; }
  // Stops the job running and waits for it, without its end step (closing the program).
  void StopAndWait();

 Q_SIGNALS:
  // A job started, or ended and its end step has run.
  void BusyChanged();

 private:
  void Poll();
  void OnProgress(const QString& text, int percent);
  ProgressPane* Pane() const { return running_ ? running_->pane : idlePane_; }

  ScanWorker& worker_;
  ProgressPane* idlePane_;
  QTimer poll_;
  std::optional<Job> running_;
  bool stopped_ = false;
};

}  // namespace dravik::app
