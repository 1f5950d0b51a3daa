// The binding's shared machinery: the call guard, exceptions, argument
// binding and conversions, result conversions, quoted representations, rich
// comparison and heap-type creation. Every class file builds on this.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ulo::py {

// ---------------------------------------------------------------------------
// Call guard

// An internal fault: a broken invariant inside the module. Thrown, caught by
// the guard and raised as PanicException.
struct Panic {
  std::string text;
  std::source_location where = std::source_location::current();
};

[[noreturn]] void panic(std::string text,
                        std::source_location where = std::source_location::current());

// Sets the pending Python error for a caught fault (called by the guard).
void raise_panic(const Panic& p) noexcept;
void raise_unknown_fault() noexcept;
// The PanicException class (created on first use; never a module attribute).
PyObject* panic_exception_type();

namespace detail {
// initial-exec: a plain TLS offset, no lookup call on every entry.
extern thread_local int gil_depth __attribute__((tls_model("initial-exec")));
struct GilMark {
  GilMark() noexcept { ++gil_depth; }
  ~GilMark() { --gil_depth; }
  GilMark(const GilMark&) = delete;
  GilMark& operator=(const GilMark&) = delete;
};
}  // namespace detail

// Runs an entry from the interpreter. The body returns a new reference, or
// the slot's error value with a Python exception set.
template <class Ret, class F>
Ret guarded(Ret error_value, F&& body) noexcept {
  detail::GilMark mark;
  try {
    return body();
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

// ---------------------------------------------------------------------------
// Raising the module's own exceptions (each returns nullptr for convenience).

PyObject* raise(PyObject* type, std::string_view message);
inline PyObject* raise_value_error(std::string_view m) { return raise(PyExc_ValueError, m); }
inline PyObject* raise_type_error(std::string_view m) { return raise(PyExc_TypeError, m); }
// An interpreter call failed: keep its exception, or report that none was set.
PyObject* fetch_failure();

// ---------------------------------------------------------------------------
// Argument binding for positional-or-keyword parameters.

struct Signature {
  const char* function;  // "Class.method()" or "name()"
  std::span<const char* const> params;
  std::size_t required;  // the first `required` params have no default
};

// Fills out[i] with a borrowed reference, or nullptr for an omitted optional
// parameter. Returns false with TypeError set on a binding failure.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. Each returns false with the exception set; a type mismatch is
// "argument '<name>': '<type>' object cannot be cast as '<expected>'".
bool to_text(PyObject* o, const char* name, std::string_view& out);
bool to_opt_text(PyObject* o, const char* name, std::optional<std::string_view>& out);
bool to_bytes(PyObject* o, const char* name, std::span<const std::uint8_t>& out);
bool to_dict(PyObject* o, const char* name);
bool to_text_list(PyObject* o, const char* name, std::vector<std::string>& out);
bool check_instance(PyObject* o, const char* name, PyTypeObject* type, const char* type_name);
// The cast-failure message for one argument.
PyObject* cast_error(PyObject* o, const char* name, const char* expected);

// ---------------------------------------------------------------------------
// Result conversions.

inline PyObject* new_text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* new_bytes(std::span<const std::uint8_t> b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}
inline PyObject* new_bytes(std::string_view b) {
  return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}
inline PyObject* new_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }
inline PyObject* new_none() { Py_RETURN_NONE; }
template <class T, class F>
PyObject* new_optional(const std::optional<T>& v, F&& convert) {
  if (!v) Py_RETURN_NONE;
  return convert(*v);
}

// json.loads(text) and json.dumps(d): the dict forms of records.
PyObject* json_loads(std::string_view text);
// Returns the text of json.dumps(d) (a new str reference) or nullptr.
PyObject* json_dumps(PyObject* d);

// ---------------------------------------------------------------------------
// Representations: `Name(field=value, ...)` with texts in quoted form.

class Repr {
 public:
  explicit Repr(std::string_view class_name);
  Repr& text(std::string_view field, std::string_view value);
  Repr& raw(std::string_view field, std::string_view value);
  Repr& integer(std::string_view field, long long value);
  Repr& boolean(std::string_view field, bool value);
  // Only the quoted value, as ProtocolAddress("tov://...") prints.
  Repr& bare_text(std::string_view value);
  PyObject* finish();

 private:
  void separator();
  std::string out_;
  bool first_ = true;
};

// ---------------------------------------------------------------------------
// Heap types holding one native record by value.

template <class R>
struct Instance {
  PyObject_HEAD
  R record;
};

// What one class is made of; its TypeCell turns it into a heap type that
// cannot be subclassed and has no instance __dict__.
struct ClassDef {
  const char* name;  // the class name; the module is "ulo_protocol"
  const char* doc;   // with a text-signature header for constructible classes
  int basicsize;
  destructor dealloc;
  reprfunc repr;
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getset = nullptr;
  newfunc construct = nullptr;    // none: instances cannot be created from Python
  richcmpfunc compare = nullptr;  // none: identity equality
  hashfunc hash = nullptr;        // none with `compare`: unhashable
  reprfunc str = nullptr;
};

// A once-per-process cell for one class's type object.
class TypeCell {
 public:
  explicit TypeCell(const ClassDef& def);
  TypeCell(const TypeCell&) = delete;
  TypeCell& operator=(const TypeCell&) = delete;
  // Created on first use; nullptr with an exception set on failure.
  PyTypeObject* get_or_create();
  // The type outside registration: failure to create is an internal fault.
  PyTypeObject* get();
  const char* name() const { return name_; }

 private:
  const char* name_;
  std::string qualified_name_;
  std::vector<PyType_Slot> slots_;
  PyType_Spec spec_{};
  PyTypeObject* type_ = nullptr;
};

template <class R>
void dealloc_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<Instance<R>*>(self)->record.~R();
  PyObject_Free(self);  // the pair of alloc_instance
  Py_DECREF(tp);
}

// Raw storage for an instance, its record still to be constructed in place.
// The types are not garbage-collected and free with PyObject_Free, so plain
// PyObject_Malloc serves, without tp_alloc's zero fill.
template <class R>
PyObject* alloc_instance(PyTypeObject* type) {
  void* mem = PyObject_Malloc(sizeof(Instance<R>));
  if (mem == nullptr) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(mem), type);
}

// A new instance of `type` owning `record`.
template <class R>
PyObject* wrap(PyTypeObject* type, R&& record) {
  using Rec = std::decay_t<R>;
  PyObject* obj = alloc_instance<Rec>(type);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Instance<Rec>*>(obj)->record) Rec(std::forward<R>(record));
  return obj;
}

// The parts every record class shares: layout, deallocation, repr.
template <class R>
ClassDef record_class(const char* name, const char* doc, reprfunc repr) {
  return ClassDef{name, doc, static_cast<int>(sizeof(Instance<R>)), dealloc_instance<R>, repr};
}

// A new instance holding a default record, for the caller to fill before
// the object is shared.
template <class R>
PyObject* new_default(PyTypeObject* type, R*& record) {
  PyObject* obj = alloc_instance<R>(type);
  if (obj == nullptr) return nullptr;
  record = new (&reinterpret_cast<Instance<R>*>(obj)->record) R();
  return obj;
}

template <class R>
const R& record_of(PyObject* self) {
  return reinterpret_cast<Instance<R>*>(self)->record;
}

// Rich comparison for classes with content equality: == and != by content,
// != through the full protocol, ordering not implemented.
PyObject* not_equal_via_eq(PyObject* self, PyObject* other);

template <class R>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  return guard([&]() -> PyObject* {
    switch (op) {
      case Py_EQ:
        if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
        return new_bool(record_of<R>(self) == record_of<R>(other));
      case Py_NE:
        return not_equal_via_eq(self, other);
      default:
        Py_RETURN_NOTIMPLEMENTED;
    }
  });
}

// __reduce__ of a class whose objects must not be pickled.
PyObject* refuse_pickling(const char* class_name, const char* why);

// Getter adaptor: `Fn(const R&)` returns a new reference.
template <class R, PyObject* (*Fn)(const R&)>
PyObject* getter(PyObject* self, void*) {
  return guard([&] { return Fn(record_of<R>(self)); });
}

// No-argument method adaptor.
template <class R, PyObject* (*Fn)(const R&)>
PyObject* method0(PyObject* self, PyObject*) {
  return guard([&] { return Fn(record_of<R>(self)); });
}

template <class R, PyObject* (*Fn)(const R&)>
PyObject* repr_slot(PyObject* self) {
  return guard([&] { return Fn(record_of<R>(self)); });
}

// ---------------------------------------------------------------------------
// Module registration.

// Appends `name` to the module's __all__ and sets the attribute (steals value).
int add_name(PyObject* module, const char* name, PyObject* value);

// Timestamps become aware UTC datetimes (microsecond precision).
struct CivilParts {
  long long year;
  int month, day, hour, minute, second, microsecond;
  bool leap;
};
PyObject* new_datetime(const CivilParts& t);

}  // namespace ulo::py

// Shorthand for the PyMethodDef cast of a fast-call-with-keywords function.
#define ULO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
