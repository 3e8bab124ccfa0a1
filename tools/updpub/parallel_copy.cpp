#include "updpub/parallel_copy.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace updpub {
namespace {

// Two workers keep a disk busy while the other sums; more only add seeks.
constexpr unsigned kMaxCopyWorkers = 4;

}  // namespace

unsigned CopyWorkerCount() {
  return std::clamp(std::thread::hardware_concurrency(), 2u, kMaxCopyWorkers);
}

ParallelCopy CopyInParallel(SiteFiles& files, const std::vector<CopyJob>& jobs, bool withSha256, unsigned workers,
                            const std::function<void(uint64_t)>& progress, const std::function<void()>& fileDone) {
  ParallelCopy result;
  std::vector<CopyOutcome>& outcomes = result.outcomes;
  outcomes.resize(jobs.size());
  std::vector<char> ran(jobs.size(), 0);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex reporting;
  const auto onBytes = [&](uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(reporting);
    if (progress) progress(bytes);
  };
  // No exception leaves a worker: one that throws fails its job.
  const auto work = [&] {
    std::vector<char> buffer;
    for (size_t i = next++; i < jobs.size() && !failed; i = next++) {
      ran[i] = 1;
      try {
        outcomes[i] = files.Copy(jobs[i].from, jobs[i].to, buffer, onBytes, withSha256);
      } catch (const std::exception& e) {
        outcomes[i].ok = false;
        outcomes[i].error = e.what();
      }
      if (!outcomes[i].ok) {
        failed = true;
      } else if (fileDone) {
        const std::lock_guard<std::mutex> lock(reporting);
        fileDone();
      }
    }
  };
  std::vector<std::thread> threads;
  const unsigned count = std::max(1u, std::min<unsigned>(workers, static_cast<unsigned>(jobs.size())));
  for (unsigned i = 1; i < count; ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer workers, same result
    }
  }
  work();
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < jobs.size() && !result.failed; ++i)
    if (ran[i] && !outcomes[i].ok) result.failed = i;
  return result;
}

}  // namespace updpub
