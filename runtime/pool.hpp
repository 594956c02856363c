#pragma once
// The process-wide worker pool. Created on first use, sized once from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processors available to
// the process (affinity mask capped by a cgroup CPU quota). A child made by
// fork() gets a fresh pool on its first use.

#include <cstddef>
#include <functional>

namespace vorlinde::runtime {

// Number of worker threads (creates the pool if needed).
std::size_t pool_size();

// Calls body(begin, end) on disjoint ranges that together cover [0, n), on the
// pool's workers, and returns when all of them are done. Ranges are handed out
// adaptively: large first, down to single items. If a body throws, work not yet
// started is abandoned and one of the thrown exceptions is rethrown here, on the
// calling thread, after every running body has returned.
void parallel_for(std::size_t n, const std::function<void(std::size_t begin, std::size_t end)>& body);

}  // namespace vorlinde::runtime
