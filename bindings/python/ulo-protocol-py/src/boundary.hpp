// The error boundary: every entry from the interpreter runs under guard(),
// which turns an internal fault into PanicException; the raising of the
// module's own exceptions; the pending exception held while it is looked
// at; the interpreter lock released around work that touches no Python; and
// an object's own lock where there is no interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <initializer_list>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "ref.hpp"

namespace ulo::py {

// An internal fault: a broken invariant inside the module. Thrown, caught by
// the guard and raised as PanicException.
struct Panic {
  std::string text;
  std::source_location where = std::source_location::current();
};

[[noreturn]] void panic(std::string text,
                        std::source_location where = std::source_location::current());

// Thrown where the interpreter already holds the exception to raise (a
// signal handler raised it while a call waited): the guard leaves it as it
// is.
struct ExceptionSet {};

// Sets the pending Python error for a caught fault (called by the guard).
void raise_panic(const Panic& p) noexcept;
void raise_unknown_fault() noexcept;
// The PanicException class (created on first use; never a module attribute).
PyObject* panic_exception_type();

// Runs an entry from the interpreter. The body returns a new reference, or
// the slot's error value with a Python exception set.
template <class Ret, class F>
Ret guarded(Ret error_value, F&& body) noexcept {
  try {
    return body();
  } catch (const ExceptionSet&) {
    // Already set.
  } catch (const Panic& p) {
    raise_panic(p);
  } catch (const std::bad_alloc&) {
    // Allocation failure is not a fault to recover from.
    std::abort();
  } catch (...) {
    raise_unknown_fault();
  }
  return error_value;
}

template <class F>
PyObject* guard(F&& body) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

// Raising the module's own exceptions (each returns nullptr for convenience).
PyObject* raise(PyObject* type, std::string_view message);
inline PyObject* raise_value_error(std::string_view m) { return raise(PyExc_ValueError, m); }
inline PyObject* raise_type_error(std::string_view m) { return raise(PyExc_TypeError, m); }
// The same exception with PEP 678 notes beside the message, which stays
// exactly the message; empty notes are left out.
PyObject* raise_with_notes(PyObject* type, std::string_view message,
                           std::initializer_list<std::string_view> notes);
// Adds a PEP 678 note to the exception `exc` (by hand before 3.11); false
// with an exception set when it cannot.
bool add_note(PyObject* exc, std::string_view note);
// An interpreter call failed: keep its exception, or report that none was set.
PyObject* fetch_failure();

// The pending exception, taken out of the interpreter (normalised) so that
// other calls can be made while it is looked at; restore() hands it back.
class PendingError {
 public:
  static PendingError take() noexcept;
  PyObject* value() const noexcept { return value_.get(); }
  // The exception object, owned by the caller; nothing is restored.
  Ref release_value() noexcept { return std::move(value_); }
  void restore() noexcept;

 private:
  PendingError() = default;
  Ref type_, value_, traceback_;
};

// The interpreter lock released for the holder's lifetime and taken back on
// every way out, an exception included. Nothing done meanwhile may touch
// Python.
class WithoutInterpreter {
 public:
  WithoutInterpreter() noexcept : saved_(PyEval_SaveThread()) {}
  WithoutInterpreter(const WithoutInterpreter&) = delete;
  WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;
  ~WithoutInterpreter() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

// An object's own lock for the holder's lifetime, where there is no
// interpreter lock to serialise its users: a critical section, which the
// interpreter suspends whenever the thread detaches (WithoutInterpreter, a
// wait on another lock), so that it can deadlock neither with the
// interpreter's pauses nor with another thread's. Invariants must therefore
// hold at every call that may detach. Nothing under the interpreter lock.
class ObjectLock {
 public:
#ifdef Py_GIL_DISABLED
  explicit ObjectLock(PyObject* o) noexcept { PyCriticalSection_Begin(&section_, o); }
  ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
  explicit ObjectLock(PyObject*) noexcept {}
#endif
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

}  // namespace ulo::py
