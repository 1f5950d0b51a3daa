#include "runtime.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "os_error.hpp"
#include "runtime_testing.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ULO_CPU_RELAX() _mm_pause()
#else
#define ULO_CPU_RELAX() ((void)0)
#endif

namespace ulo {
namespace {

// Both sides spin this long before sleeping: waking a sleeping thread costs
// tens of microseconds, while a short blocking step ends well within it.
constexpr auto kSpin = std::chrono::microseconds(50);
// Upper bound on pool threads; past it, jobs wait for a busy thread.
constexpr std::size_t kMaxThreads = 512;
constexpr std::size_t kThreadStack = std::size_t{8} << 20;

std::mutex g_create_mu;
std::atomic<Runtime*> g_runtime{nullptr};
std::atomic<int> g_fail_next_start{0};
std::once_flag g_fork_handlers;
// Forks this process has come through, as a child.
std::atomic<std::uint64_t> g_forks{0};
// The stop flag of no call.
const std::atomic<bool> g_never_stop{false};

// Spins briefly, then yields the processor between checks, so that on a
// busy machine the thread being waited for can run on this core.
template <class Ready>
bool spin_until(Ready ready) {
  for (int i = 0; i < 64; ++i) {
    if (ready()) return true;
    ULO_CPU_RELAX();
  }
  const auto deadline = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    if (ready()) return true;
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() >= deadline) return ready();
  }
}

}  // namespace

// A forked child has only the thread that called fork: the pool's threads
// are gone, and the runtime's locks and queue may be frozen mid-use. The
// child therefore abandons the parent's runtime without touching it (no
// destructor, no lock) and builds its own at its next use. The creation
// lock is held across fork so that the child never inherits it locked.
void Runtime::before_fork() noexcept { g_create_mu.lock(); }

void Runtime::after_fork_in_parent() noexcept { g_create_mu.unlock(); }

void Runtime::after_fork_in_child() noexcept {
  if (Runtime* old = g_runtime.exchange(nullptr, std::memory_order_acq_rel)) {
    // Kept reachable: the memory is the parent's copy, not a leak to report.
    old->abandoned_next_ = abandoned_;
    abandoned_ = old;
  }
  g_forks.fetch_add(1, std::memory_order_relaxed);
  g_create_mu.unlock();
}

std::uint64_t Runtime::fork_count() noexcept { return g_forks.load(std::memory_order_relaxed); }

Runtime::Call*& Runtime::this_thread_call() noexcept {
  thread_local Call* call = nullptr;
  return call;
}

const std::atomic<bool>& Runtime::stop_requested() noexcept {
  Call* call = this_thread_call();
  return call ? call->stop : g_never_stop;
}

bool Runtime::orphaned() noexcept {
  Call* call = this_thread_call();
  return call && call->forks != fork_count();
}

bool Runtime::stopping() noexcept {
  Call* call = this_thread_call();
  return call && call->stop.load(std::memory_order_relaxed);
}

bool Runtime::check_interrupt(Call& call) noexcept {
  // The check may run operations of its own (a signal handler that pushes,
  // say): while it runs, this thread drives nothing.
  Call*& slot = this_thread_call();
  Call* const saved = std::exchange(slot, nullptr);
  const bool stop = call.interrupt.check(call.interrupt.context);
  slot = saved;
  return stop;
}

void Runtime::await(Completion& c) noexcept {
  Call* call = this_thread_call();
  if (call == nullptr || call->interrupt.check == nullptr) {
    c.wait();
    return;
  }
  if (spin_until([&c] { return c.done.load(std::memory_order_acquire); })) {
    // finish() sets `done` while holding the lock: wait() takes it, so that
    // the caller cannot destroy `c` while the pool thread still notifies.
    c.wait();
    return;
  }
  auto slice = std::chrono::milliseconds(1);
  for (;;) {
    if (call->forks != fork_count()) {
      // The check forked and this is the child: the job was the parent's
      // pool's, whose threads are not here. Nothing here will run it.
      call->stop.store(true, std::memory_order_relaxed);
      return;
    }
    if (call->stop.load(std::memory_order_relaxed)) {
      // Stopped: a job nobody took never runs; a running one is waited
      // for, as it works on the caller's memory.
      if (!withdraw(&c)) c.wait();
      return;
    }
    if (c.wait_for(slice)) return;
    if (check_interrupt(*call)) call->stop.store(true, std::memory_order_relaxed);
    slice = std::min(slice * 2, kPollInterval);
  }
}

bool Runtime::withdraw(Job* job) noexcept {
  std::lock_guard lk(mu_);
  const auto it = std::find(queue_.begin(), queue_.end(), job);
  if (it == queue_.end()) return false;
  queue_.erase(it);
  return true;
}

Result<Runtime*, std::string> Runtime::get() {
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  std::call_once(g_fork_handlers, [] {
    ::pthread_atfork(&Runtime::before_fork, &Runtime::after_fork_in_parent,
                     &Runtime::after_fork_in_child);
  });
  std::lock_guard guard(g_create_mu);
  if (Runtime* rt = g_runtime.load(std::memory_order_relaxed)) return rt;
  std::unique_ptr<Runtime> rt(new Runtime);
  // One thread is started with the runtime and stays; the rest come and go.
  int err = g_fail_next_start.exchange(0);
  if (err == 0) err = rt->start_thread(true);
  if (err != 0) {
    return unexpected("failed to start tokio runtime for ulo-protocol-py: " +
                      os_error_text(err));
  }
  g_runtime.store(rt.get(), std::memory_order_release);
  return rt.release();  // lives until the process ends
}

bool Runtime::exists() noexcept {
  return g_runtime.load(std::memory_order_acquire) != nullptr;
}

void RuntimeTesting::fail_next_start(int os_error) noexcept {
  g_fail_next_start.store(os_error);
}

std::size_t RuntimeTesting::thread_count(const Runtime& rt) {
  std::lock_guard lk(rt.mu_);
  return rt.threads_;
}

void RuntimeTesting::set_idle_timeout(Runtime& rt, std::chrono::milliseconds t) {
  std::lock_guard lk(rt.mu_);
  rt.idle_timeout_ = t;
  for (Runtime::Idle* w : rt.idle_) w->cv.notify_one();  // sleepers restart their wait
}

std::size_t available_cpus() noexcept {
  // The fixed-size set covers 1024 CPUs; larger machines need a bigger one.
  for (int ncpus = CPU_SETSIZE; ncpus <= (1 << 16); ncpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(ncpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    const bool too_small = rc != 0 && errno == EINVAL;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
    if (!too_small) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

Plan plan(std::size_t n, const Split& split) noexcept {
  if (n == 0) return {};
  const std::size_t cap = split.max_tasks != 0 ? split.max_tasks : available_cpus();
  const std::size_t tasks = std::clamp<std::size_t>(n / std::max<std::size_t>(split.per_task, 1),
                                                    1, std::max<std::size_t>(cap, 1));
  // About sixteen blocks a task: small enough that a slowed core's share is
  // taken up by the others, large enough that the cursor costs nothing.
  std::size_t block = std::clamp<std::size_t>(n / (tasks * 16), 1, std::max<std::size_t>(split.max_block, 1));
  const std::size_t round = std::max<std::size_t>(split.round_to, 1);
  block = (block + round - 1) / round * round;
  return {tasks, block};
}

// Called with mu_ held (or before the runtime is published).
int Runtime::start_thread(bool permanent) {
  ++threads_;
  ++starting_;
  // Pool threads are born with asynchronous signals blocked, so the kernel
  // delivers those to the caller's threads, where the interpreter handles
  // them, and never cuts a pool thread's system call short. Signals that a
  // thread's own action raises (faults, a write past the file-size limit)
  // stay deliverable.
  sigset_t blocked, old;
  ::sigfillset(&blocked);
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGXFSZ, SIGPIPE}) {
    ::sigdelset(&blocked, sig);
  }
  ::pthread_sigmask(SIG_BLOCK, &blocked, &old);
  struct Start {
    Runtime* rt;
    bool permanent;
  };
  auto* start = new Start{this, permanent};
  // The stack size is set, not left to the C library: glibc's default is
  // the stack limit (8 MiB), musl's 128 KiB, too little for deep decoding.
  pthread_attr_t attr;
  int err = ::pthread_attr_init(&attr);
  if (err == 0) {
    err = ::pthread_attr_setstacksize(&attr, kThreadStack);
    if (err == 0) err = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (err == 0) {
      err = ::pthread_create(
          &thread, &attr,
          [](void* arg) -> void* {
            const std::unique_ptr<Start> s(static_cast<Start*>(arg));
            s->rt->worker_loop(s->permanent);
            return nullptr;
          },
          start);
    }
    ::pthread_attr_destroy(&attr);
  }
  if (err != 0) {
    delete start;
    --threads_;
    --starting_;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

void Runtime::submit(Job* job) {
  std::lock_guard lk(mu_);
  if (!idle_.empty()) {
    // Hand the job straight to the most recently idle thread, which is the
    // one most likely still spinning.
    Idle* w = idle_.back();
    idle_.pop_back();
    w->job.store(job, std::memory_order_release);
    if (w->sleeping) w->cv.notify_one();
    return;
  }
  queue_.push_back(job);
  // Threads already starting will each take a queued job. If no thread can
  // be started the job waits for a busy one; the permanent thread exists.
  if (queue_.size() > starting_ && threads_ < kMaxThreads) start_thread(false);
}

void Runtime::worker_loop(bool permanent) {
  Idle self;
  std::unique_lock lk(mu_);
  --starting_;
  for (;;) {
    Job* job = nullptr;
    if (!queue_.empty()) {
      job = queue_.front();
      queue_.pop_front();
    } else {
      idle_.push_back(&self);
      lk.unlock();
      spin_until([&] { return self.job.load(std::memory_order_acquire); });
      lk.lock();
      for (;;) {
        job = self.job.exchange(nullptr, std::memory_order_acquire);
        if (job) break;
        self.sleeping = true;
        const bool timed_out =
            self.cv.wait_for(lk, idle_timeout_) == std::cv_status::timeout;
        self.sleeping = false;
        if (!timed_out || permanent ||
            self.job.load(std::memory_order_acquire)) {
          continue;  // woken, or a change of timeout: look again
        }
        // Idle too long: leave the pool. Under mu_ nobody can pick us now.
        std::erase(idle_, &self);
        --threads_;
        return;
      }
    }
    lk.unlock();
    job->run();
    lk.lock();
  }
}

void Runtime::Completion::finish() noexcept {
  // Notify under the lock: the waiter cannot leave wait(), and so cannot
  // destroy this object, until the lock is released.
  std::lock_guard lk(m);
  done.store(true, std::memory_order_release);
  cv.notify_one();
}

void Runtime::Completion::wait() noexcept {
  spin_until([this] { return done.load(std::memory_order_acquire); });
  std::unique_lock lk(m);
  cv.wait(lk, [this] { return done.load(std::memory_order_acquire); });
}

bool Runtime::Completion::wait_for(std::chrono::milliseconds t) noexcept {
  std::unique_lock lk(m);
  return cv.wait_for(lk, t, [this] { return done.load(std::memory_order_acquire); });
}

}  // namespace ulo
