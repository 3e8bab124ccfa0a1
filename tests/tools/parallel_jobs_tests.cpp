// Jobs run side by side within a memory budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "updpub/host/parallel_jobs.h"

namespace {

TEST(ParallelJobs, JobsRunSideBySideOnlyWithinTheBudget) {
  // The 12 is larger than the budget: it runs, alone.
  const std::vector<uint64_t> costs{12, 6, 5, 4, 3, 3, 2, 1, 1, 1};
  constexpr uint64_t kBudget = 8;
  std::mutex lock;
  uint64_t held = 0;
  size_t running = 0;
  uint64_t mostHeldTogether = 0;
  size_t mostRunning = 0;
  size_t runningBesideTheLargest = 0;
  std::vector<int> runs(costs.size(), 0);
  const updpub::ParallelRun run = updpub::RunWithinBudget(costs, kBudget, 4, [&](size_t i, std::string&) {
    {
      const std::lock_guard<std::mutex> guard(lock);
      ++runs[i];
      held += costs[i];
      ++running;
      if (running > 1) mostHeldTogether = std::max(mostHeldTogether, held);
      mostRunning = std::max(mostRunning, running);
      if (i == 0) runningBesideTheLargest = running - 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::lock_guard<std::mutex> guard(lock);
    if (i == 0) runningBesideTheLargest = std::max(runningBesideTheLargest, running - 1);
    held -= costs[i];
    --running;
    return true;
  });
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(runs, std::vector<int>(costs.size(), 1));
  EXPECT_LE(mostHeldTogether, kBudget);
  EXPECT_EQ(runningBesideTheLargest, 0u);
  EXPECT_GT(mostRunning, 1u);  // small jobs still share the budget
}

TEST(ParallelJobs, NoJobStartsAfterOneFailed) {
  const std::vector<uint64_t> costs(6, 5);
  std::vector<int> runs(costs.size(), 0);
  const updpub::ParallelRun run = updpub::RunWithinBudget(costs, 8, 4, [&](size_t i, std::string& error) {
    ++runs[i];  // one job at a time: each takes more than half the budget
    error = "broken";
    return i != 1;
  });
  ASSERT_TRUE(run.failed);
  EXPECT_EQ(*run.failed, 1u);
  EXPECT_EQ(run.error, "broken");
  EXPECT_EQ(runs, (std::vector<int>{1, 1, 0, 0, 0, 0}));
}

}  // namespace
