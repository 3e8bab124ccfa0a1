#include "download/stall_watchdog.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "download/download_run.h"

namespace {

using engine::kStallLimitMs;

// A clock whose Sleep moves the time at once and then lets the simulated
// worker act; a worker that ends at a chosen time.
class FakeWatch : public engine::Clock, public engine::WatchedWorker {
 public:
  explicit FakeWatch(uint32_t start) : start(start), now(start) {}

  const uint32_t start;
  uint32_t now;
  uint32_t endsAfterMs = UINT32_MAX;
  std::function<void()> afterSleep;
  std::function<void()> afterNow;  // runs once the value to return is taken
  std::string log;

  uint32_t Now() override {
    const uint32_t value = now;
    if (afterNow) afterNow();
    return value;
  }
  void Sleep(uint32_t ms) override {
    now += ms;
    if (afterSleep) afterSleep();
  }
  bool Running() override { return !ended_ && now - start < endsAfterMs; }
  void RequestStop() override { log += "stop@" + std::to_string(now - start) + " "; }
  void WaitUntilEnded() override {
    log += "wait ";
    ended_ = true;
  }

 private:
  bool ended_ = false;
};

// Each case runs from a start far from the wrap of the 32-bit tick and from
// one just before it.
class WatchdogTest : public testing::TestWithParam<uint32_t> {
 protected:
  bool Watch() {
    return engine::WatchForStall(control_, watch_, watch_, [this] { watch_.log += "report"; });
  }
  // The worker stores the tick whenever it receives something.
  void ActiveEvery(uint32_t periodMs) {
    watch_.afterSleep = [this, periodMs] {
      if ((watch_.now - watch_.start) % periodMs == 0) control_.lastActivityTick = watch_.now;
    };
  }

  FakeWatch watch_{GetParam()};
  engine::DownloadControl control_;  // its stale tick of 0 must not count
};

TEST_P(WatchdogTest, WorkerEndingByItselfIsNotReported) {
  watch_.endsAfterMs = 20000;
  EXPECT_FALSE(Watch());
  EXPECT_EQ(watch_.log, "");
  EXPECT_EQ(watch_.now - watch_.start, 20000u);
}

TEST_P(WatchdogTest, StallStopsTheWorkerWaitsForItThenReports) {
  EXPECT_TRUE(Watch());
  EXPECT_EQ(watch_.log, "stop@" + std::to_string(kStallLimitMs) + " wait report");
  EXPECT_EQ(control_.end.load(), engine::RunEnd::kTimedOut);
}

TEST_P(WatchdogTest, StallIsCountedFromTheLastActivity) {
  watch_.afterSleep = [this] {
    if (watch_.now - watch_.start == 20000) control_.lastActivityTick = watch_.now;
  };
  EXPECT_TRUE(Watch());
  EXPECT_EQ(watch_.log, "stop@" + std::to_string(20000 + kStallLimitMs) + " wait report");
}

TEST_P(WatchdogTest, ActivityEvery29SecondsNeverTimesOut) {
  ActiveEvery(29000);
  watch_.endsAfterMs = 600000;
  EXPECT_FALSE(Watch());
  EXPECT_EQ(watch_.log, "");
}

TEST_P(WatchdogTest, ActivityStoredRightAfterTheWatchdogReadsTheClockIsNotAStall) {
  // The worker, on another thread, reads a newer tick and stores it between
  // the watchdog's reading of the clock and its reading of the activity.
  watch_.afterNow = [this] { control_.lastActivityTick = ++watch_.now; };
  watch_.endsAfterMs = 60000;
  EXPECT_FALSE(Watch());
  EXPECT_EQ(watch_.log, "");
}

// The worker ends the run, then reports it to a window that takes longer
// than the limit to handle the report (it hashes large files again); or it
// ends the run at the very poll where the limit is reached. Either way it
// still runs when the limit passes, and the watchdog must neither stop it
// nor report a second end.
TEST_P(WatchdogTest, WorkerThatEndedTheRunIsNeitherStoppedNorReportedAtTheLimit) {
  for (const uint32_t endedAt : {uint32_t{20000}, kStallLimitMs}) {
    SCOPED_TRACE(endedAt);
    FakeWatch watch(GetParam());
    engine::DownloadControl control;
    watch.afterNow = [&] {
      if (watch.now - watch.start == endedAt) control.ClaimEnd(engine::RunEnd::kCompleted);
    };
    EXPECT_FALSE(engine::WatchForStall(control, watch, watch, [&] { watch.log += "report"; }));
    EXPECT_EQ(watch.log, "");
    EXPECT_EQ(control.end.load(), engine::RunEnd::kCompleted);
  }
}

INSTANTIATE_TEST_SUITE_P(Starts, WatchdogTest, testing::Values(100000u, 0xFFFFFFFFu - 15000),
                         [](const auto& info) {
                           return info.index == 0 ? "Plain" : "AcrossTheWrap";
                         });

}  // namespace
