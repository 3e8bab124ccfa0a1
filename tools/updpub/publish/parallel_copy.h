#pragma once
// Copies many files at once: while one file waits on the disk or the system
// call, another is read and summed, so a release of many small files is not
// bound by one thread's round trips. Each worker owns one copy buffer, so
// memory stays flat whatever the release's size.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "updpub/publish/site_files.h"

namespace updpub {

struct CopyJob {
  fs::path from;
  fs::path to;  // its folder exists
};

// The number of workers a publish uses on this machine.
unsigned CopyWorkerCount();

struct ParallelCopy {
  std::vector<CopyOutcome> outcomes;  // outcomes[i] belongs to jobs[i]
  // The first job in list order that failed; no new copy starts after a
  // failure, so later jobs may not have run.
  std::optional<size_t> failed;
};

// Copies every job with `workers` threads. `progress` hears of the bytes
// written and `fileDone` of each copied file, one call at a time.
ParallelCopy CopyInParallel(SiteFiles& files, const std::vector<CopyJob>& jobs, bool withSha256, unsigned workers,
                            const std::function<void(uint64_t)>& progress, const std::function<void()>& fileDone);

}  // namespace updpub
