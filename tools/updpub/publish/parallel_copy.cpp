#include "updpub/publish/parallel_copy.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "updpub/host/parallel_jobs.h"

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
  std::mutex reporting;
  const auto onBytes = [&](uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(reporting);
    if (progress) progress(bytes);
  };
  const ParallelRun run = RunInParallel(jobs.size(), workers, [&](size_t i, std::string& error) {
    // One buffer a worker, kept for its next file.
    thread_local std::vector<char> buffer;
    outcomes[i] = files.Copy(jobs[i].from, jobs[i].to, buffer, onBytes, withSha256);
    if (!outcomes[i].ok) {
      error = outcomes[i].error;
      return false;
    }
    if (fileDone) {
      const std::lock_guard<std::mutex> lock(reporting);
      fileDone();
    }
    return true;
  });
  result.failed = run.failed;
  // A copy that threw left its outcome unfilled.
  if (run.failed) {
    outcomes[*run.failed].ok = false;
    outcomes[*run.failed].error = run.error;
  }
  return result;
}

}  // namespace updpub
