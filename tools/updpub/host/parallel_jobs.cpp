#include "updpub/host/parallel_jobs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace updpub {
namespace {

// Calls one job, which fails when it throws.
bool RunJob(const std::function<bool(size_t, std::string&)>& job, size_t i, std::string& error) {
  try {
    return job(i, error);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

// Starts `work` on `workers` threads, the caller's among them, and waits.
void OnThreads(size_t count, unsigned workers, const std::function<void()>& work) {
  std::vector<std::thread> threads;
  const unsigned threadCount = std::max(1u, static_cast<unsigned>(std::min<size_t>(workers, count)));
  for (unsigned i = 1; i < threadCount; ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer workers, same result
    }
  }
  work();
  for (std::thread& thread : threads) thread.join();
}

ParallelRun FirstFailure(std::vector<std::string>& errors, const std::vector<char>& failedJobs) {
  ParallelRun run;
  for (size_t i = 0; i < failedJobs.size(); ++i) {
    if (!failedJobs[i]) continue;
    run.failed = i;
    run.error = std::move(errors[i]);
    break;
  }
  return run;
}

}  // namespace

unsigned ProcessorWorkerCount() { return std::max(1u, std::thread::hardware_concurrency()); }

ParallelRun RunInParallel(size_t count, unsigned workers, const std::function<bool(size_t, std::string&)>& job) {
  std::vector<std::string> errors(count);
  std::vector<char> failedJobs(count, 0);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  OnThreads(count, workers, [&] {
    for (size_t i = next++; i < count && !failed; i = next++) {
      if (RunJob(job, i, errors[i])) continue;
      failedJobs[i] = 1;
      failed = true;
    }
  });
  return FirstFailure(errors, failedJobs);
}

ParallelRun RunWithinBudget(const std::vector<uint64_t>& costs, uint64_t budget, unsigned workers,
                            const std::function<bool(size_t, std::string&)>& job) {
  const size_t count = costs.size();
  std::vector<std::string> errors(count);
  std::vector<char> failedJobs(count, 0);
  std::vector<char> taken(count, 0);
  std::mutex lock;
  std::condition_variable finished;
  size_t firstFree = 0;  // every job before it is taken
  uint64_t held = 0;     // by the running jobs
  size_t running = 0;
  bool failed = false;
  // The first job not taken that fits beside the running ones; count when
  // none does now, or none is left.
  const auto fitting = [&] {
    for (size_t i = firstFree; i < count; ++i)
      if (!taken[i] && (running == 0 || costs[i] <= budget - std::min(budget, held))) return i;
    return count;
  };
  OnThreads(count, workers, [&] {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      while (firstFree < count && taken[firstFree]) ++firstFree;
      if (failed || firstFree == count) return;
      const size_t i = fitting();
      if (i == count) {
        finished.wait(guard);
        continue;
      }
      taken[i] = 1;
      held += costs[i];
      ++running;
      guard.unlock();
      const bool ok = RunJob(job, i, errors[i]);
      guard.lock();
      held -= costs[i];
      --running;
      if (!ok) {
        failedJobs[i] = 1;
        failed = true;
      }
      finished.notify_all();
    }
  });
  return FirstFailure(errors, failedJobs);
}

}  // namespace updpub
