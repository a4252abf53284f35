#include "app/wizard/JobRunner.h"

#include <QScrollArea>
#include <utility>

#include "app/AppTexts.h"
#include "app/wizard/ProgressPane.h"

namespace dravik::app {

JobRunner::JobRunner(ScanWorker& worker, ProgressPane* idlePane, QObject* parent)
    : QObject(parent), worker_(worker), idlePane_(idlePane) {
  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, &JobRunner::Poll);
  connect(&worker_, &ScanWorker::Returned, this, &JobRunner::Poll);
  connect(&worker_, &ScanWorker::Progress, this, &JobRunner::OnProgress);
}

void JobRunner::Start(Job job, ScanWorker::Job body) {
  ProgressPane* pane = job.pane;
  pane->SetLabels(job.counterLabels);
  // On a small screen the pane can lie below the fold of its page's scroll
  // area: it is brought into view once the page is laid out with it.
  QTimer::singleShot(0, pane, [pane] {
    for (QWidget* up = pane->parentWidget(); up; up = up->parentWidget())
      if (auto* area = qobject_cast<QScrollArea*>(up)) {
        area->ensureWidgetVisible(pane, 0, 0);
        return;
      }
  });
  running_ = std::move(job);
  stopped_ = false;
  worker_.Start(std::move(body));
  poll_.start();
  Q_EMIT BusyChanged();
}

void JobRunner::Poll() {
  if (!running_) {
    poll_.stop();
    return;
  }
  running_->pane->SetCounts(running_->counterValues(worker_.Counts()));
  if (worker_.Running() || !worker_.Finished()) return;
  poll_.stop();
  // A confirmed stop marks the work finished before the worker has left its
  // current step: wait for it before reading what it built.
  worker_.Join();
  worker_.Flush();
  const std::function<void()> end = std::exchange(running_, std::nullopt)->end;
  end();
  Q_EMIT BusyChanged();
}

const char* JobRunner::StopQuestion() const {
  return running_ && running_->stopQuestion ? running_->stopQuestion : AppTexts::kStopScan;
}

void JobRunner::OnProgress(const QString& text, int percent) { Pane()->SetStatus(text, percent); }

void JobRunner::StopAndWait() {
  if (!running_) return;
  worker_.ConfirmStop();
  worker_.Join();
  poll_.stop();
  running_.reset();
}

}  // namespace dravik::app
