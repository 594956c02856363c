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

// True on the pool's own threads.
bool on_pool_worker() noexcept;

// Calls body(begin, end) on disjoint ranges of at most `grain` items that
// together cover [0, n), and returns when all of them are done. Workers claim
// work adaptively, large pieces first and single items last, and check before
// every range whether the call is being abandoned, so a failure or a
// cancellation stops them at their next range.
//
// If a body throws, work not yet started is abandoned and one of the thrown
// exceptions is rethrown here, on the calling thread, after every running body
// has returned. While it waits, the calling thread polls for cancellation
// every few tens of milliseconds (with the pool's lock released); an exception
// from the hook abandons the work the same way and is rethrown once the
// workers have left it.
//
// Inside a body, and for an operation that does not own the pool (see
// OperationScope), the ranges run on the calling thread in order, with the
// same polling between ranges.
void parallel_for(std::size_t n, const std::function<void(std::size_t begin, std::size_t end)>& body,
                  std::size_t grain = 1);

// Held by the calling thread for the length of one operation. The first
// operation in flight owns the pool. One that starts while another is in
// flight (on another thread, or on this one from inside a cancellation hook)
// runs every parallel_for on its own calling thread: same results, and
// operations never share the pool's state.
class OperationScope {
 public:
  OperationScope() noexcept;
  ~OperationScope();
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

  // Whether this operation's parallel work goes to the pool.
  bool owns_pool() const noexcept { return owner_; }

 private:
  bool owner_ = false;
  bool was_inline_;
};

}  // namespace vorlinde::runtime
