// The process's worker runtime: a small thread pool to which operations hand
// their blocking steps (file-system calls), while the calling thread drives
// the operation and waits. Created at the first use, never before, and kept
// until the process ends; a forked child starts its own at its first use.
// Contains nothing of Python.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "result.hpp"

namespace ulo {

// A blocking step that ended without a result: it threw, or it was never
// run because its call had been stopped.
struct BlockingError {
  std::string text = "background task failed";
};

// Gives up ownership without freeing: after a fork that cut a call off
// from the pool, memory a pool thread of the parent was writing is left as
// the fork found it.
template <class T>
void leave_to_fork(std::unique_ptr<T>& owner) noexcept {
  [[maybe_unused]] T* left = owner.release();
}

// How a caller that waits for the pool learns that it should give up. The
// check runs on the waiting thread, first 1 ms into a wait and then at
// least every kPollInterval until the wait ends; it may run any code of the
// caller's, new operations included. Returning true stops the call.
struct Interrupt {
  bool (*check)(void*) = nullptr;
  void* context = nullptr;

  template <class F>
  static Interrupt of(F& f) noexcept {
    return {[](void* c) { return static_cast<bool>((*static_cast<F*>(c))()); }, &f};
  }
};
inline constexpr std::chrono::milliseconds kPollInterval{20};

// CPUs in the calling process's affinity mask; at least 1.
std::size_t available_cpus() noexcept;

// How a loop over n items is shared among pool tasks: one task per
// `per_task` items, at most `max_tasks` of them, each taking blocks of
// about a sixteenth of its share, capped at `max_block` and rounded up to
// whole multiples of `round_to`.
struct Split {
  std::size_t per_task = 1;
  std::size_t max_tasks = 0;  // 0: one per available CPU
  std::size_t max_block = 1;
  std::size_t round_to = 1;
  // A lone task still goes to the pool, so that the waiting caller keeps
  // answering its interrupt while the task blocks in the kernel; without
  // this it runs on the calling thread.
  bool blocking = true;
};
// Tasks and block size for n items: no tasks when n is 0.
struct Plan {
  std::size_t tasks = 0;
  std::size_t block = 1;
};
Plan plan(std::size_t n, const Split& split) noexcept;

// Memory a pool task writes, owned by the call that waits for it. When a
// fork in the call's interrupt check cut this process (the child) off from
// the pool, that memory may be half-written: it is left alone (leaked), not
// destroyed.
template <class T>
class PoolOwned {
 public:
  template <class... A>
  explicit PoolOwned(A&&... a) : p_(std::make_unique<T>(std::forward<A>(a)...)) {}
  PoolOwned(const PoolOwned&) = delete;
  PoolOwned& operator=(const PoolOwned&) = delete;
  ~PoolOwned();
  T& operator*() const noexcept { return *p_; }
  T* operator->() const noexcept { return p_.get(); }
  // Ownership passes to the caller, once the pool is done with it.
  std::unique_ptr<T> release() noexcept { return std::move(p_); }

 private:
  std::unique_ptr<T> p_;
};

class Runtime {
 public:
  // The runtime, created on the first call. On failure to start its first
  // thread the error is "failed to start tokio runtime for ulo-protocol-py: "
  // plus the OS error; nothing is kept, so a later call tries again.
  static Result<Runtime*, std::string> get();
  // Whether get() has succeeded in this process.
  static bool exists() noexcept;

  // Runs `f` on a pool thread and waits for its result.
  template <class F>
  auto run_blocking(F&& f) -> Result<std::invoke_result_t<F&>, BlockingError>;

  // Runs f(0) ... f(n-1) on pool threads at the same time and waits for all
  // of them; an error when any of them threw.
  template <class F>
  Result<void, BlockingError> run_blocking_n(std::size_t n, F&& f);

  // Runs `op` to completion on the calling thread; blocking steps inside it
  // go to the pool through run_blocking. A thread that is already driving an
  // operation cannot start a second one: that is refused with an error text.
  //
  // While the thread waits for the pool, `interrupt` is checked. Once it
  // says stop, steps not yet started are withdrawn, later run_blocking calls
  // fail at once, and the loops of running steps see stop_requested(); each
  // wait still lasts until the pool has let go of the caller's memory. The
  // operation then ends with whatever it makes of those failures.
  template <class Op>
  auto block_on(Op&& op, Interrupt interrupt = {})
      -> Result<std::invoke_result_t<Op&>, std::string>;

  // get() then block_on(op(runtime)): the whole bridge for one call. The
  // error is the runtime's fault text (creation failed, or nested driving).
  template <class Op>
  static auto run(Op&& op, Interrupt interrupt = {})
      -> Result<std::invoke_result_t<Op&, Runtime&>, std::string>;

  // The stop flag of the call this thread drives (one that never turns true
  // when it drives none). Loops of a step check it between items: capture
  // the reference on the driving thread, read it on any.
  static const std::atomic<bool>& stop_requested() noexcept;
  // Whether this thread's call has been cut off from the pool by a fork in
  // its interrupt check: this process is the child, and steps that were
  // running may have left the data they wrote half-done. Such data must be
  // left alone (leaked), not read or destroyed.
  static bool orphaned() noexcept;

  // Runs body(begin, end) over [0, n) in blocks, on as many pool tasks as
  // `split` makes worth it; the tasks take the next block from a shared
  // cursor, so one slowed core does not hold up the rest. A stopped call
  // leaves the blocks not yet taken undone and fails; so does a body that
  // throws. Blocks are claimed in no particular order: write by index.
  template <class Body>
  Result<void, BlockingError> parallel_for(std::size_t n, const Split& split, Body&& body);

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

 private:
  struct Job {
    virtual void run() noexcept = 0;

   protected:
    ~Job() = default;
  };

  // Completion handshake between a pool thread and the waiting caller.
  struct Completion : Job {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> done{false};
    void finish() noexcept;
    void wait() noexcept;
    bool wait_for(std::chrono::milliseconds t) noexcept;
    // Virtual so that the final tasks deriving from it are well-formed
    // polymorphic classes; they are never deleted through a base pointer.
    virtual ~Completion() = default;
  };

  // A pool thread waiting for work; lives on that thread's stack.
  struct Idle {
    std::atomic<Job*> job{nullptr};
    std::condition_variable cv;
    bool sleeping = false;
  };

  // The call a thread drives: its interrupt and stop flag.
  struct Call {
    Interrupt interrupt;
    std::atomic<bool> stop{false};
    std::uint64_t forks;  // fork_count() when the call began
  };

  friend struct RuntimeTesting;
  Runtime() = default;
  // Waits for `c`, checking the current call's interrupt meanwhile.
  void await(Completion& c) noexcept;
  // Takes a job back from the queue; false when a thread has it already.
  bool withdraw(Job* job) noexcept;
  static bool check_interrupt(Call& call) noexcept;
  static std::uint64_t fork_count() noexcept;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;
  // The call this thread drives inside block_on, if any.
  static Call*& this_thread_call() noexcept;
  // Whether the call this thread drives has been stopped.
  static bool stopping() noexcept;
  int start_thread(bool permanent);  // 0 or an OS error number
  void submit(Job* job);
  void worker_loop(bool permanent);

  mutable std::mutex mu_;
  std::deque<Job*> queue_;    // jobs no idle thread could take yet
  std::vector<Idle*> idle_;   // most recently idle last
  std::size_t threads_ = 0;
  std::size_t starting_ = 0;  // started threads that have not taken work yet
  std::chrono::milliseconds idle_timeout_{10'000};
  Runtime* abandoned_next_ = nullptr;  // chain of runtimes left by forks
  static inline Runtime* abandoned_ = nullptr;
};

}  // namespace ulo

#include "runtime_impl.hpp"  // IWYU pragma: export
