#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/cpu_count.hpp"
#include "runtime/stack_scrub.hpp"

namespace vorlinde::runtime {

namespace {

using Body = std::function<void(std::size_t, std::size_t)>;

// Set on the pool's own threads: a parallel_for made from inside a body runs
// inline rather than waiting on workers that may all be busy waiting too.
thread_local bool t_is_worker = false;

// One parallel_for call. Chunks are claimed from `cursor` by guided
// self-scheduling: each claim takes max(1, remaining / divisor) items, so the
// first chunks are large (little contention) and the last ones single items
// (good balance at the end).
struct Job {
  std::size_t n;
  const Body* body;
  std::size_t divisor;
  std::atomic<std::size_t> cursor{0};
  std::atomic<bool> failed{false};
  // Guarded by Pool::mutex_.
  std::exception_ptr error;
  std::size_t active = 0;  // workers that took the job and have not left it
  bool drained = false;    // nothing left to claim; the job is off the queue
  std::condition_variable finished;
};

class Pool {
 public:
  explicit Pool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // the system refused another thread: go on with those we have
      }
    }
  }
  // Never destroyed: it lives until the process exits (or is abandoned in a
  // fork child), so its threads are never joined.
  ~Pool() = delete;

  std::size_t threads() const noexcept { return workers_.size(); }

  void run(std::size_t n, const Body& body) {
    Job job;
    job.n = n;
    job.body = &body;
    job.divisor = 2 * workers_.size();
    std::unique_lock lock(mutex_);
    jobs_.push_back(&job);
    work_ready_.notify_all();
    job.finished.wait(lock, [&] { return job.drained && job.active == 0; });
    if (job.error) std::rethrow_exception(job.error);
  }

 private:
  void work() {
    t_is_worker = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return !jobs_.empty(); });
      Job& job = *jobs_.front();
      ++job.active;
      lock.unlock();
      std::exception_ptr error = run_chunks(job);
      scrub_stack();  // the chunks' secrets (scalars, digits, spills) lie below this frame
      lock.lock();
      if (error && !job.error) job.error = error;
      if (!job.drained) {
        job.drained = true;
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
      }
      if (--job.active == 0) job.finished.notify_all();
    }
  }

  // Claims and runs chunks until none are left or a body has failed.
  static std::exception_ptr run_chunks(Job& job) {
    std::size_t begin = job.cursor.load(std::memory_order_relaxed);
    for (;;) {
      if (begin >= job.n || job.failed.load(std::memory_order_relaxed)) return nullptr;
      std::size_t take = std::max<std::size_t>(1, (job.n - begin) / job.divisor);
      if (!job.cursor.compare_exchange_weak(begin, begin + take, std::memory_order_relaxed)) continue;
      try {
        (*job.body)(begin, begin + take);
      } catch (...) {
        job.failed.store(true, std::memory_order_relaxed);
        job.cursor.store(job.n, std::memory_order_relaxed);
        return std::current_exception();
      }
      begin = job.cursor.load(std::memory_order_relaxed);
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Job*> jobs_;  // jobs with items left to claim, oldest first
};

// The pool pointer and the lock that serialises its creation. Around fork the
// lock is held, so the child never inherits it mid-creation; in the child the
// pool is forgotten: its workers did not survive the fork and its mutex may be
// held by one of them, so it is leaked and a new pool is made on first use.
std::mutex g_create;
std::atomic<Pool*> g_pool{nullptr};

void before_fork() noexcept { g_create.lock(); }
void after_fork_in_parent() noexcept { g_create.unlock(); }
void after_fork_in_child() noexcept {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create.unlock();
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) [[likely]]
    return *p;
  std::lock_guard lock(g_create);
  static const bool fork_handlers = [] {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return true;
  }();
  (void)fork_handlers;
  p = g_pool.load(std::memory_order_relaxed);
  if (p == nullptr) {
    p = new Pool(configured_thread_count());
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

std::size_t pool_size() { return std::max<std::size_t>(pool().threads(), 1); }

void parallel_for(std::size_t n, const Body& body) {
  if (n == 0) return;
  if (t_is_worker) {
    body(0, n);
    return;
  }
  Pool& p = pool();
  if (p.threads() == 0) {
    body(0, n);
    return;
  }
  p.run(n, body);
}

}  // namespace vorlinde::runtime
