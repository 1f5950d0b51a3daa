// The one place from which Python calls drive the worker runtime (queue,
// anchor and batch verification alike). For queue and anchor calls the
// thread keeps the interpreter lock while it waits: the runtime's threads
// never touch Python, so this cannot deadlock, and calls stay serialised.
#pragma once
#include "runtime.hpp"
#include "toolkit.hpp"

namespace ulo::py {

// `op(Runtime&)` returns the operation's own Result. Failing to start the
// runtime, or re-entering it from a driving thread, is an internal fault.
template <class Op>
auto run_to_completion(Op&& op) {
  auto result = Runtime::run(std::forward<Op>(op));
  if (!result) panic(result.error());
  return std::move(*result);
}

}  // namespace ulo::py
