#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/cancellation.hpp"
#include "runtime/cpu_count.hpp"
#include "runtime/failure.hpp"
#include "runtime/stack_scrub.hpp"

namespace vorlinde::runtime {

namespace {

using Body = std::function<void(std::size_t, std::size_t)>;

// Set on the pool's own threads: a parallel_for made from inside a body runs
// inline rather than waiting on workers that may all be busy waiting too.
thread_local bool t_is_worker = false;

// Set on a calling thread whose operation does not own the pool.
thread_local bool t_inline = false;

// Whether some operation owns the pool (see OperationScope).
std::atomic<bool> g_pool_owned{false};

// How often a calling thread polls for cancellation while its work runs.
constexpr std::chrono::milliseconds kPollInterval{25};

// Runs the ranges of [0, n) in order on this thread, polling for
// cancellation between ranges when this is an operation's calling thread.
void run_inline(std::size_t n, const Body& body, std::size_t grain) {
  const bool poll = !t_is_worker && cancellation_hook_installed();
  auto last_poll = std::chrono::steady_clock::now();
  for (std::size_t begin = 0; begin < n;) {
    const std::size_t end = begin + std::min(n - begin, grain);
    body(begin, end);
    begin = end;
    if (poll && begin < n) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll >= kPollInterval) {
        poll_cancellation();
        last_poll = now;
      }
    }
  }
}

// The pool pointer and the lock that serialises its creation. Around fork the
// lock is held, so the child never inherits it mid-creation; in the child the
// pool is forgotten: its workers did not survive the fork and its mutex may be
// held by one of them, so it is leaked and a new pool is made on first use.
std::mutex g_create;
class Pool;
std::atomic<Pool*> g_pool{nullptr};

// One parallel_for call. Chunks are claimed from `cursor` by guided
// self-scheduling: each claim takes max(1, remaining / divisor) items, so the
// first chunks are large (little contention) and the last ones single items
// (good balance at the end).
struct Job {
  std::size_t n;
  const Body* body;
  std::size_t grain;
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

  void run(std::size_t n, const Body& body, std::size_t grain) {
    Job job;
    job.n = n;
    job.body = &body;
    job.grain = grain;
    job.divisor = 2 * workers_.size();
    const auto done = [&] { return job.drained && job.active == 0; };
    std::unique_lock lock(mutex_);
    jobs_.push_back(&job);
    work_ready_.notify_all();
    if (!cancellation_hook_installed()) {
      job.finished.wait(lock, done);
    } else {
      while (!job.finished.wait_for(lock, kPollInterval, done)) {
        // The hook may run arbitrary host code, operations included: never
        // with the pool's lock held.
        lock.unlock();
        std::exception_ptr cancelled;
        try {
          poll_cancellation();
        } catch (...) {
          cancelled = std::current_exception();
        }
        if (g_pool.load(std::memory_order_acquire) != this) {
          // The hook forked and this is the child: the workers running this
          // job, and whatever locks they held, did not come along.
          throw Failure("the operation cannot go on in a process forked while it ran");
        }
        lock.lock();
        if (cancelled) {
          abandon(job);
          job.finished.wait(lock, [&] { return job.active == 0; });
          std::rethrow_exception(cancelled);
        }
      }
    }
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
      take_off_queue(job);
      if (--job.active == 0) job.finished.notify_all();
    }
  }

  // Nothing more of `job` is handed out. Requires mutex_.
  void take_off_queue(Job& job) {
    if (job.drained) return;
    job.drained = true;
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
  }

  // Stops the job: workers leave it before their next range. Requires mutex_.
  void abandon(Job& job) {
    job.failed.store(true, std::memory_order_relaxed);
    job.cursor.store(job.n, std::memory_order_relaxed);
    take_off_queue(job);
  }

  // Claims and runs chunks, range by range, until none are left or the job
  // has failed or been abandoned.
  static std::exception_ptr run_chunks(Job& job) {
    std::size_t begin = job.cursor.load(std::memory_order_relaxed);
    for (;;) {
      if (begin >= job.n || job.failed.load(std::memory_order_relaxed)) return nullptr;
      std::size_t take = std::max<std::size_t>(1, (job.n - begin) / job.divisor);
      if (!job.cursor.compare_exchange_weak(begin, begin + take, std::memory_order_relaxed)) continue;
      try {
        const std::size_t chunk_end = begin + take;
        for (std::size_t at = begin; at < chunk_end;) {
          if (job.failed.load(std::memory_order_relaxed)) return nullptr;
          const std::size_t end = at + std::min(chunk_end - at, job.grain);
          (*job.body)(at, end);
          at = end;
        }
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


void before_fork() noexcept { g_create.lock(); }
void after_fork_in_parent() noexcept { g_create.unlock(); }
void after_fork_in_child() noexcept {
  g_pool.store(nullptr, std::memory_order_relaxed);
  // The operation that owned the parent's pool went on there, not here.
  g_pool_owned.store(false, std::memory_order_relaxed);
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

bool on_pool_worker() noexcept { return t_is_worker; }

void parallel_for(std::size_t n, const Body& body, std::size_t grain) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  if (t_is_worker || t_inline) {
    run_inline(n, body, grain);
    return;
  }
  Pool& p = pool();
  if (p.threads() == 0) {
    run_inline(n, body, grain);
    return;
  }
  p.run(n, body, grain);
}

OperationScope::OperationScope() noexcept : was_inline_(t_inline) {
  if (!t_inline && !g_pool_owned.exchange(true, std::memory_order_acquire)) {
    owner_ = true;
  } else {
    t_inline = true;
  }
}

OperationScope::~OperationScope() {
  if (owner_) g_pool_owned.store(false, std::memory_order_release);
  t_inline = was_inline_;
}

}  // namespace vorlinde::runtime
