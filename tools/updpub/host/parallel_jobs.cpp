#include "updpub/host/parallel_jobs.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace updpub {

unsigned ProcessorWorkerCount() { return std::max(1u, std::thread::hardware_concurrency()); }

ParallelRun RunInParallel(size_t count, unsigned workers, const std::function<bool(size_t, std::string&)>& job) {
  std::vector<std::string> errors(count);
  std::vector<char> failedJobs(count, 0);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto work = [&] {
    for (size_t i = next++; i < count && !failed; i = next++) {
      bool ok = false;
      try {
        ok = job(i, errors[i]);
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
      if (!ok) {
        failedJobs[i] = 1;
        failed = true;
      }
    }
  };
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
  ParallelRun run;
  for (size_t i = 0; i < count; ++i) {
    if (!failedJobs[i]) continue;
    run.failed = i;
    run.error = std::move(errors[i]);
    break;
  }
  return run;
}

}  // namespace updpub
