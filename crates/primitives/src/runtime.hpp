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
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "result.hpp"

namespace ulo {

// A blocking step that ended without a result (it threw).
struct BlockingError {
  std::string text = "background task failed";
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
  template <class Op>
  auto block_on(Op&& op) -> Result<std::invoke_result_t<Op&>, std::string>;

  // get() then block_on(op(runtime)): the whole bridge for one call. The
  // error is the runtime's fault text (creation failed, or nested driving).
  template <class Op>
  static auto run(Op&& op)
      -> Result<std::invoke_result_t<Op&, Runtime&>, std::string>;

  // Live pool threads (the permanent one included).
  std::size_t thread_count() const;
  // How long an extra pool thread waits for work before it retires.
  void set_idle_timeout(std::chrono::milliseconds t);
  // Makes the next creation by get() fail with this OS error number.
  static void fail_next_start_for_testing(int os_error) noexcept;

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

  Runtime() = default;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;
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

template <class F>
auto Runtime::run_blocking(F&& f)
    -> Result<std::invoke_result_t<F&>, BlockingError> {
  using R = std::invoke_result_t<F&>;
  using Stored = std::conditional_t<std::is_void_v<R>, bool, R>;
  struct Task final : Completion {
    explicit Task(F& f_) : fn(f_) {}
    F& fn;
    std::optional<Stored> out;
    void run() noexcept override {
      try {
        if constexpr (std::is_void_v<R>) {
          std::invoke(fn);
          out.emplace(true);
        } else {
          out.emplace(std::invoke(fn));
        }
      } catch (...) {
        // A faulted step has no result; the caller sees BlockingError.
      }
      finish();
    }
  };
  Task task(f);
  submit(&task);
  task.wait();
  if (!task.out) return unexpected(BlockingError{});
  if constexpr (std::is_void_v<R>) {
    return {};
  } else {
    return std::move(*task.out);
  }
}

template <class F>
Result<void, BlockingError> Runtime::run_blocking_n(std::size_t n, F&& f) {
  struct Task final : Completion {
    Task(F& f_, std::size_t i_) : fn(f_), index(i_) {}
    F& fn;
    std::size_t index;
    bool ok = false;
    void run() noexcept override {
      try {
        std::invoke(fn, index);
        ok = true;
      } catch (...) {
        // Reported to the caller as BlockingError.
      }
      finish();
    }
  };
  std::deque<Task> tasks;  // stable addresses
  for (std::size_t i = 0; i < n; ++i) tasks.emplace_back(f, i);
  for (auto& t : tasks) submit(&t);
  bool ok = true;
  for (auto& t : tasks) {
    t.wait();
    ok = ok && t.ok;
  }
  if (!ok) return unexpected(BlockingError{});
  return {};
}

namespace detail {
// True while the current thread is inside Runtime::block_on.
bool& driving_runtime() noexcept;
}  // namespace detail

template <class Op>
auto Runtime::block_on(Op&& op)
    -> Result<std::invoke_result_t<Op&>, std::string> {
  bool& driving = detail::driving_runtime();
  if (driving) {
    return unexpected(std::string(
        "cannot run an operation to completion from a thread that is "
        "already driving the worker runtime"));
  }
  driving = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{driving};
  if constexpr (std::is_void_v<std::invoke_result_t<Op&>>) {
    std::invoke(op);
    return {};
  } else {
    return std::invoke(op);
  }
}

template <class Op>
auto Runtime::run(Op&& op)
    -> Result<std::invoke_result_t<Op&, Runtime&>, std::string> {
  auto rt = get();
  if (!rt) return unexpected(std::move(rt.error()));
  Runtime& r = **rt;
  return r.block_on([&] { return std::invoke(op, r); });
}

}  // namespace ulo
