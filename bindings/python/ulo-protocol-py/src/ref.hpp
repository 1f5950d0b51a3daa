// One owned reference to a Python object: released when the holder goes, so
// failure paths need no hand-written decrements.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace ulo::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (nullptr after a failed call is fine).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (a result, or a stealing call).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// A process-wide object made at its first use and kept until the process
// ends. Threads that meet it unmade each make one and the first to publish
// wins; the others drop theirs. No lock is held while the object is made:
// making it runs Python code, and a thread waiting on a lock while attached
// to a free-threaded interpreter would hold up its stop-the-world pauses.
class SharedObject {
 public:
  constexpr SharedObject() noexcept = default;
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;

  // The object (borrowed), or nullptr with the exception of make() set.
  template <class Make>
  PyObject* get(Make make) {
    if (PyObject* o = p_.load(std::memory_order_acquire)) return o;
    Ref made = Ref::steal(make());
    if (!made) return nullptr;
    PyObject* winner = nullptr;
    if (p_.compare_exchange_strong(winner, made.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      return made.release();
    }
    return winner;
  }

 private:
  std::atomic<PyObject*> p_{nullptr};
};

}  // namespace ulo::py
