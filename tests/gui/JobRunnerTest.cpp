// The runner of the wizard's jobs: when and where a job's end step runs, what it is told of a stop; the
// progress pane's clocks and time left.

#include <gtest/gtest.h>

#include <QTest>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "app/ProgressTimes.h"
#include "app/wizard/JobRunner.h"
#include "app/wizard/ProgressPane.h"

namespace dravik::app {
namespace {

constexpr int kTimeoutMs = 10000;

// A job that runs until it is stopped.
void RunUntilStopped(ScanControl& control) {
  while (control.Continue()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class JobRunnerTest : public ::testing::Test {
 protected:
  JobRunner::Job JobWithEnd(std::function<void()> end) {
    return {&pane_,
            {QStringLiteral("Files :")},
            [](const ScanTally& counts) -> std::vector<QString> { return {QString::number(counts.files)}; },
            nullptr,
            std::move(end)};
  }

  ScanWorker worker_;
  ProgressPane idlePane_;
  ProgressPane pane_;
  JobRunner runner_{worker_, &idlePane_};
};

TEST_F(JobRunnerTest, EndStepRunsOnceOnTheInterfaceThreadAfterTheJobReturned) {
  int busyChanges = 0;
  QObject::connect(&runner_, &JobRunner::BusyChanged, [&] { ++busyChanges; });
  bool built = false, sawBuilt = false, busyInEnd = true;
  int ends = 0;
  std::thread::id endThread;
  runner_.Start(JobWithEnd([&] {
                  ++ends;
                  sawBuilt = built;
                  busyInEnd = runner_.Busy();
                  endThread = std::this_thread::get_id();
                }),
                [&](ScanControl& control) {
                  control.Count(0, 7, 0);
                  built = true;
                });
  EXPECT_TRUE(runner_.Busy());
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends > 0; }, kTimeoutMs));
  // The worker's own word that it returned and the poll both come: still one end.
  QTest::qWait(2 * JobRunner::kPollMs);
  EXPECT_EQ(ends, 1);
  EXPECT_TRUE(sawBuilt);
  EXPECT_FALSE(busyInEnd);
  EXPECT_EQ(endThread, std::this_thread::get_id());
  EXPECT_EQ(pane_.Counter(0), QStringLiteral("7"));
  EXPECT_EQ(busyChanges, 2);
}

TEST_F(JobRunnerTest, AStopIsToldToTheEndOfTheStoppedJobOnly) {
  std::optional<bool> stoppedAtEnd;
  runner_.Start(JobWithEnd([&] { stoppedAtEnd = runner_.Stopped(); }), RunUntilStopped);
  worker_.Pause();
  runner_.MarkStopped();
  worker_.ConfirmStop();
  ASSERT_TRUE(QTest::qWaitFor([&] { return stoppedAtEnd.has_value(); }, kTimeoutMs));
  EXPECT_TRUE(*stoppedAtEnd);
  // The next job fails on its own: its end must not take it for a stop.
  stoppedAtEnd.reset();
  runner_.Start(JobWithEnd([&] { stoppedAtEnd = runner_.Stopped(); }), [](ScanControl&) {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return stoppedAtEnd.has_value(); }, kTimeoutMs));
  EXPECT_FALSE(*stoppedAtEnd);
}

TEST_F(JobRunnerTest, StopAndWaitLeavesNoJobAndRunsNoEndStep) {
  bool ended = false;
  runner_.Start(JobWithEnd([&] { ended = true; }), RunUntilStopped);
  runner_.StopAndWait();
  EXPECT_FALSE(runner_.Busy());
  EXPECT_FALSE(worker_.Running());
  QTest::qWait(2 * JobRunner::kPollMs);
  EXPECT_FALSE(ended);
}

TEST(ProgressTimesTest, ClocksHaveTwoDigitFieldsAndTimeLeftWaitsForASteadyRate) {
  EXPECT_EQ(ClockText(((1 * 60 + 2) * 60 + 3) * 1000 + 999), QStringLiteral("01:02:03"));
  EXPECT_EQ(ClockText(qint64{100} * 3600 * 1000), QStringLiteral("100:00:00"));
  EXPECT_EQ(TimeLeft(60000, 0.25), std::optional<qint64>(180000));
  EXPECT_EQ(TimeLeft(4000, 0.5), std::nullopt) << "the first seconds";
  EXPECT_EQ(TimeLeft(60000, 0.01), std::nullopt) << "the first percent";
  EXPECT_EQ(TimeLeft(60000, 1.0), std::optional<qint64>(0));
}

}  // namespace
}  // namespace dravik::app
