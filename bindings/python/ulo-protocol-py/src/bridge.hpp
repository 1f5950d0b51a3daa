// The one place from which Python calls drive the worker runtime (queue,
// anchor and batch verification alike). Queue and anchor calls keep the
// interpreter lock while they wait: the runtime's threads never touch
// Python, so this cannot deadlock, and calls stay serialised. Batches
// release it (run_released).
//
// Either way the waiting thread answers signals: at least every 20 ms it
// runs the handlers of pending signals (only the main thread has any). A
// handler that raises stops the call; once the pool has let go of the
// call's memory, the handler's exception is raised from the call, whatever
// the operation made of being stopped. A handler that does not raise
// changes nothing.
#pragma once
#include "runtime.hpp"
#include "toolkit.hpp"

namespace ulo::py {

namespace detail {

// Runs pending signal handlers; remembers whether one raised.
struct SignalCheck {
  bool raised = false;
  bool operator()() {
    if (!raised) raised = PyErr_CheckSignals() != 0;
    return raised;
  }
};

// Whether signal handlers run on this thread: only the main thread's do.
// Elsewhere a check would take the interpreter lock back for nothing, and a
// thread that takes it back while the interpreter shuts down is ended on
// the spot, its call half-done.
// Finding out runs Python code, and with it any pending signal's handler:
// what that raises is the call's exception, never dropped (a dropped one
// is a signal lost, and a caller looping until it comes loops forever).
inline bool runs_signal_handlers() {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                       : Ref();
  Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
  if (!ident) throw ExceptionSet{};
  return PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
}

template <class R>
auto finish(R&& result, const SignalCheck& check) {
  if (check.raised) throw ExceptionSet{};
  if (!result) panic(result.error());
  return std::move(*result);
}

}  // namespace detail

// `op(Runtime&)` returns the operation's own Result. Failing to start the
// runtime, or re-entering it from a driving thread, is an internal fault.
template <class Op>
auto run_to_completion(Op&& op) {
  detail::SignalCheck check;
  auto result = Runtime::run(op, Interrupt::of(check));
  return detail::finish(std::move(result), check);
}

// The same with the interpreter lock released for the whole wait and taken
// back only to run signal handlers, on the main thread. Nothing `op` does
// may touch Python.
template <class Op>
auto run_released(Op&& op) {
  detail::SignalCheck check;
  const bool checks = detail::runs_signal_handlers();
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(state); }
  };
  auto result = [&] {
    Released released;
    auto locked_check = [&] {
      PyEval_RestoreThread(released.state);
      const bool stop = check();
      released.state = PyEval_SaveThread();
      return stop;
    };
    return Runtime::run(op, checks ? Interrupt::of(locked_check) : Interrupt{});
  }();
  return detail::finish(std::move(result), check);
}

}  // namespace ulo::py
