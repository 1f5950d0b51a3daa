#include "runtime.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime_testing.hpp"

namespace {

using namespace std::chrono_literals;

// Threads of this process as the kernel counts them.
int os_threads() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!p()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

ulo::Runtime& runtime() {
  auto rt = ulo::Runtime::get();
  EXPECT_TRUE(rt.has_value());
  return **rt;
}

class RuntimeDeathTest : public ::testing::Test {
 protected:
  // Re-run the test in a fresh process, where no runtime exists yet.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(RuntimeDeathTest, LazyCreationAndRetryAfterFailure) {
  EXPECT_EXIT(
      {
        const int before = os_threads();
        if (ulo::Runtime::exists()) std::_Exit(1);
        ulo::RuntimeTesting::fail_next_start(EAGAIN);
        auto failed = ulo::Runtime::get();
        if (failed || failed.error() !=
                          "failed to start tokio runtime for ulo-protocol-py: "
                          "Resource temporarily unavailable (os error 11)")
          std::_Exit(2);
        if (ulo::Runtime::exists() || os_threads() > before) std::_Exit(3);
        auto ok = ulo::Runtime::get();  // the failure left nothing behind
        if (!ok || !ulo::Runtime::exists()) std::_Exit(4);
        if (ulo::RuntimeTesting::thread_count(**ok) != 1 || os_threads() <= before)
          std::_Exit(5);
        if (*ulo::Runtime::get() != *ok) std::_Exit(6);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Runtime, RunBlockingRunsOnAnotherThreadAndReportsFaults) {
  auto& rt = runtime();
  const auto caller = std::this_thread::get_id();
  auto r = rt.run_blocking([&] { return std::this_thread::get_id() != caller; });
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(*r);

  int side = 0;
  auto v = rt.run_blocking([&] { side = 42; });
  EXPECT_TRUE(v.has_value());
  EXPECT_EQ(side, 42);

  auto s = rt.run_blocking([] { return std::string(1000, 'x'); });
  EXPECT_EQ(s->size(), 1000u);

  // A faulting step is reported, and the pool carries on.
  auto f = rt.run_blocking([]() -> int { throw std::runtime_error("boom"); });
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().text, "background task failed");
  EXPECT_EQ(rt.run_blocking([] { return 7; }).value(), 7);
}

TEST(Runtime, RunBlockingNRunsEveryIndexOnceAndReportsFaults) {
  auto& rt = runtime();
  std::vector<std::atomic<int>> hits(37);
  ASSERT_TRUE(rt.run_blocking_n(hits.size(), [&](std::size_t i) { ++hits[i]; }));
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
  auto r = rt.run_blocking_n(5, [](std::size_t i) {
    if (i == 3) throw std::runtime_error("boom");
  });
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text, "background task failed");
}

TEST(Runtime, BlockOnRunsOnCallerAndRefusesNesting) {
  auto& rt = runtime();
  const auto caller = std::this_thread::get_id();
  auto r = rt.block_on([&] {
    auto inner = rt.block_on([] { return 1; });
    EXPECT_FALSE(inner.has_value());
    auto step = rt.run_blocking([] { return 5; });
    return std::this_thread::get_id() == caller ? *step : -1;
  });
  EXPECT_EQ(r.value(), 5);
  EXPECT_TRUE(rt.block_on([] {}).has_value());  // the refusal left no mark
}

TEST(Runtime, ThreadsStartOnDemandAndRetireWhenIdle) {
  auto& rt = runtime();
  ulo::RuntimeTesting::set_idle_timeout(rt, 100ms);
  ASSERT_TRUE(eventually([&] { return ulo::RuntimeTesting::thread_count(rt) == 1; }, 15s));
  // Threads that have just left the pool may still be on their way out.
  int base = os_threads();
  ASSERT_TRUE(eventually([&] {
    const int now = std::exchange(base, os_threads());
    return now == base;
  }));

  constexpr int kCallers = 4;
  std::atomic<int> inside{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&] {
      auto r = rt.run_blocking([&] {
        ++inside;
        // Hold every pool thread until all steps run at once.
        eventually([&] { return inside.load() == kCallers; });
        return 1;
      });
      EXPECT_TRUE(r.has_value());
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(inside.load(), kCallers);
  EXPECT_GE(ulo::RuntimeTesting::thread_count(rt), std::size_t{kCallers});

  // Extra threads leave after the idle period; the permanent one stays.
  EXPECT_TRUE(eventually([&] { return ulo::RuntimeTesting::thread_count(rt) == 1; }));
  EXPECT_TRUE(eventually([&] { return os_threads() == base; }));
  EXPECT_EQ(rt.run_blocking([] { return 3; }).value(), 3);
  ulo::RuntimeTesting::set_idle_timeout(rt, 10'000ms);
}

TEST(Runtime, ManyCallersShareThePool) {
  auto& rt = runtime();
  std::atomic<long> sum{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) sum += rt.run_blocking([=] { return t + i; }).value();
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(sum.load(), 8L * (1999L * 2000 / 2) + 2000L * (0 + 7) * 8 / 2);
}

// A forked child has none of the parent's pool threads; its runtime calls
// must not wait for them. Checked with the pool idle (threads parked in the
// idle list) and busy (jobs in flight on other threads) at the fork.
class RuntimeFork : public ::testing::TestWithParam<bool> {};

TEST_P(RuntimeFork, ChildBuildsItsOwnRuntime) {
  const bool busy = GetParam();
  auto& rt = runtime();
  ASSERT_EQ(rt.run_blocking([] { return 1; }).value(), 1);
  std::atomic<int> started{0};
  std::atomic<bool> release{false};
  std::thread driver;
  if (busy) {
    driver = std::thread([&] {
      (void)rt.run_blocking_n(3, [&](std::size_t) {
        ++started;
        while (!release) std::this_thread::sleep_for(1ms);
      });
    });
    ASSERT_TRUE(eventually([&] { return started == 3; }));
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(20);  // a hang ends the child with SIGALRM
    auto again = ulo::Runtime::get();
    if (!again || *again == &rt) std::_Exit(2);
    if ((*again)->run_blocking([] { return 7; }).value_or(0) != 7) std::_Exit(3);
    std::atomic<int> n{0};
    if (!(*again)->run_blocking_n(4, [&](std::size_t) { ++n; }) || n != 4) std::_Exit(4);
    auto nested = ulo::Runtime::run([](ulo::Runtime& r) { return ulo::RuntimeTesting::thread_count(r); });
    if (!nested || *nested < 1) std::_Exit(5);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  release = true;
  if (driver.joinable()) driver.join();
  EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent keeps its runtime.
  EXPECT_EQ(*ulo::Runtime::get(), &rt);
  EXPECT_EQ(rt.run_blocking([] { return 2; }).value(), 2);
}

INSTANTIATE_TEST_SUITE_P(PoolState, RuntimeFork, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "Busy" : "Idle"; });

// A call whose interrupt says stop: steps no thread has taken are withdrawn,
// running ones see stop_requested() and are waited for, later steps fail at
// once, and the runtime serves the next call.
TEST(RuntimeInterrupt, StopsTheCallAndWaitsForThePool) {
  auto& rt = runtime();
  int checks = 0;
  auto check = [&] { return ++checks == 3; };
  std::atomic<int> started{0}, finished{0};
  const auto begin = std::chrono::steady_clock::now();
  auto r = rt.block_on(
      [&] {
        const std::atomic<bool>& stop = ulo::Runtime::stop_requested();
        (void)rt.run_blocking_n(64, [&](std::size_t) {
          ++started;
          while (!stop.load()) std::this_thread::sleep_for(1ms);
          ++finished;
        });
        return rt.run_blocking([] { return 1; }).has_value();
      },
      ulo::Interrupt::of(check));
  EXPECT_FALSE(r.value());
  EXPECT_EQ(checks, 3);  // none after the stop
  EXPECT_EQ(started.load(), finished.load());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(ulo::Runtime::stop_requested().load(), false);  // outside any call
  EXPECT_EQ(rt.run_blocking([] { return 2; }).value(), 2);
}

// The check may run operations of its own (a signal handler that pushes),
// and a check that never says stop changes nothing.
TEST(RuntimeInterrupt, CheckMayRunOperationsAndNeverStopping) {
  auto& rt = runtime();
  int nested = 0;
  auto check = [&] {
    nested += ulo::Runtime::run([](ulo::Runtime& r) { return r.run_blocking([] { return 1; }); })
                  .value()
                  .value();
    return false;
  };
  auto r = rt.block_on(
      [&] {
        return rt.run_blocking([] {
          std::this_thread::sleep_for(60ms);
          return 7;
        });
      },
      ulo::Interrupt::of(check));
  EXPECT_EQ(r.value().value(), 7);
  EXPECT_GE(nested, 3);  // 1, 2, 4, 8, 16, 20 ms... into the wait
}

TEST(RuntimeInterrupt, PoolThreadsBlockAsynchronousSignals) {
  auto& rt = runtime();
  auto masks = rt.run_blocking([] {
    sigset_t set;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return std::pair(::sigismember(&set, SIGINT) == 1 && ::sigismember(&set, SIGALRM) == 1,
                     ::sigismember(&set, SIGSEGV) == 0 && ::sigismember(&set, SIGXFSZ) == 0);
  });
  EXPECT_EQ(masks.value(), std::pair(true, true));
  sigset_t mine;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(::sigismember(&mine, SIGINT), 0);  // the caller's mask is untouched
}

// Every index once, with sizes at a block's edges, on one task (on the
// caller or the pool) and on several. Blocks are 8 items (the rounding).
class ParallelFor
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {};

TEST_P(ParallelFor, CoversEveryIndexOnce) {
  const auto [n, tasks, blocking] = GetParam();
  const ulo::Split split{.per_task = 1, .max_tasks = tasks, .round_to = 8, .blocking = blocking};
  std::vector<std::atomic<int>> hits(n);
  std::atomic<int> misshapen{0};
  auto r = ulo::Runtime::run([&](ulo::Runtime& rt) {
    return rt.parallel_for(n, split, [&](std::size_t begin, std::size_t end) {
      if (begin % 8 != 0 || end <= begin || end - begin > 8) ++misshapen;
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
  });
  ASSERT_TRUE(r.has_value() && r->has_value());
  EXPECT_EQ(misshapen.load(), 0);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelFor,
                         ::testing::Combine(::testing::Values<std::size_t>(0, 1, 7, 8, 9, 1000),
                                            ::testing::Values<std::size_t>(1, 3),
                                            ::testing::Bool()));

// Each block waits for the stop, so no task gets past its first block
// however loaded the machine; the 10 s limit only ends a hang.
TEST(ParallelForStop, LeavesTheRestUndone) {
  auto& rt = runtime();
  constexpr std::size_t kN = 1000;
  std::vector<std::atomic<int>> hits(kN);
  auto check = [] { return true; };
  const auto limit = std::chrono::steady_clock::now() + 10s;
  auto r = rt.block_on(
      [&] {
        const std::atomic<bool>& stop = ulo::Runtime::stop_requested();
        return rt.parallel_for(kN, {.per_task = 1, .max_tasks = 3},
                               [&](std::size_t begin, std::size_t end) {
                                 for (std::size_t i = begin; i < end; ++i) ++hits[i];
                                 while (!stop.load() && std::chrono::steady_clock::now() < limit) {
                                   std::this_thread::sleep_for(1ms);
                                 }
                               });
      },
      ulo::Interrupt::of(check));
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->has_value());
  int done = 0;
  for (auto& h : hits) done += h.load();
  EXPECT_LE(done, 3);  // a block of one item per task, at most
}

}  // namespace
