// What the runtime's tests look at and change; for tests only.
#pragma once
#include <chrono>
#include <cstddef>

#include "runtime.hpp"

namespace ulo {

struct RuntimeTesting {
  // Live pool threads (the permanent one included).
  static std::size_t thread_count(const Runtime& rt);
  // How long an extra pool thread waits for work before it retires.
  static void set_idle_timeout(Runtime& rt, std::chrono::milliseconds t);
  // Makes the next creation by Runtime::get() fail with this OS error number.
  static void fail_next_start(int os_error) noexcept;
};

}  // namespace ulo
