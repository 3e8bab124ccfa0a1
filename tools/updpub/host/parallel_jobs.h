#pragma once
// Runs independent jobs on several threads: each worker takes the next job,
// no new job starts after one fails, and no exception leaves a worker (one
// that throws fails its job).
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace updpub {

// One worker per core: compressing is bound by the processor.
unsigned ProcessorWorkerCount();

struct ParallelRun {
  std::optional<size_t> failed;  // the first job in order that failed
  std::string error;             // its error
};

// Calls job(i, error) for i < count; a job returns false with `error` set
// when it failed.
ParallelRun RunInParallel(size_t count, unsigned workers, const std::function<bool(size_t, std::string&)>& job);

// The same for jobs that each hold costs[i] bytes of memory while they run:
// a job starts only while the running ones and it stay within `budget`,
// taking the first such job in order; one larger than the budget runs alone.
ParallelRun RunWithinBudget(const std::vector<uint64_t>& costs, uint64_t budget, unsigned workers,
                            const std::function<bool(size_t, std::string&)>& job);

}  // namespace updpub
