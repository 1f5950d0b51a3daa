// The template bodies of runtime.hpp, which includes this file at its end;
// not included on its own.
#pragma once
#include <algorithm>

#include "runtime.hpp"

namespace ulo {

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
  if (stopping()) return unexpected(BlockingError{});
  Task task(f);
  submit(&task);
  await(task);
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
  if (stopping()) return unexpected(BlockingError{});
  std::deque<Task> tasks;  // stable addresses
  for (std::size_t i = 0; i < n; ++i) tasks.emplace_back(f, i);
  for (auto& t : tasks) submit(&t);
  bool ok = true;
  for (auto& t : tasks) {
    await(t);
    ok = ok && t.ok;
  }
  if (!ok) return unexpected(BlockingError{});
  return {};
}

template <class Op>
auto Runtime::block_on(Op&& op, Interrupt interrupt)
    -> Result<std::invoke_result_t<Op&>, std::string> {
  Call*& current = this_thread_call();
  if (current) {
    return unexpected(std::string(
        "cannot run an operation to completion from a thread that is "
        "already driving the worker runtime"));
  }
  Call call{interrupt, {}, fork_count()};
  current = &call;
  struct Reset {
    Call*& slot;
    ~Reset() { slot = nullptr; }
  } reset{current};
  if constexpr (std::is_void_v<std::invoke_result_t<Op&>>) {
    std::invoke(op);
    return {};
  } else {
    return std::invoke(op);
  }
}

template <class Op>
auto Runtime::run(Op&& op, Interrupt interrupt)
    -> Result<std::invoke_result_t<Op&, Runtime&>, std::string> {
  auto rt = get();
  if (!rt) return unexpected(std::move(rt.error()));
  Runtime& r = **rt;
  return r.block_on([&] { return std::invoke(op, r); }, interrupt);
}


template <class Body>
Result<void, BlockingError> Runtime::parallel_for(std::size_t n, const Split& split, Body&& body) {
  const Plan p = plan(n, split);
  if (p.tasks == 0) return {};
  const std::atomic<bool>& stop = stop_requested();
  std::atomic<std::size_t> cursor{0};
  auto task = [&](std::size_t) {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = cursor.fetch_add(p.block, std::memory_order_relaxed);
      if (begin >= n) return;
      std::invoke(body, begin, std::min(n, begin + p.block));
    }
  };
  Result<void, BlockingError> ran;
  if (p.tasks > 1) {
    ran = run_blocking_n(p.tasks, task);
  } else if (split.blocking) {
    ran = run_blocking([&] { task(0); });
  } else {
    task(0);
  }
  if (ran && stop.load(std::memory_order_relaxed)) return unexpected(BlockingError{});
  return ran;
}

template <class T>
PoolOwned<T>::~PoolOwned() {
  if (Runtime::orphaned()) leave_to_fork(p_);
}

}  // namespace ulo
