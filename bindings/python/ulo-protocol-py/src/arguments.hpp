// Argument binding for positional-or-keyword parameters, and the conversion
// of each argument to its native kind, chosen by the parameter's type.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types.hpp"

namespace ulo::py {

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
// An int (not a bool); one beyond 64 bits is ValueError.
bool to_int(PyObject* o, const char* name, std::int64_t& out);
bool to_text_list(PyObject* o, const char* name, std::vector<std::string>& out);
bool check_instance(PyObject* o, const char* name, PyTypeObject* type, const char* type_name);
// The cast-failure message for one argument.
PyObject* cast_error(PyObject* o, const char* name, const char* expected);

// A dict argument, borrowed for the call.
struct Dict {
  PyObject* object;
};

// How an argument becomes a parameter of type T: load() converts (false
// with the exception set), get() hands the value to the function.
template <class T>
struct Param;

template <class T>
struct ByValue {
  using Held = T;
  static T get(Held& h) { return h; }
};

template <>
struct Param<std::string_view> : ByValue<std::string_view> {
  static bool load(PyObject* o, const char* name, Held& out) { return to_text(o, name, out); }
};
template <>
struct Param<std::span<const std::uint8_t>> : ByValue<std::span<const std::uint8_t>> {
  static bool load(PyObject* o, const char* name, Held& out) { return to_bytes(o, name, out); }
};
template <>
struct Param<std::int64_t> : ByValue<std::int64_t> {
  static bool load(PyObject* o, const char* name, Held& out) { return to_int(o, name, out); }
};
template <>
struct Param<Dict> : ByValue<Dict> {
  static bool load(PyObject* o, const char* name, Held& out) {
    out.object = o;
    return to_dict(o, name);
  }
};
// Any object, for the function to inspect itself.
template <>
struct Param<PyObject*> : ByValue<PyObject*> {
  static bool load(PyObject* o, const char*, Held& out) {
    out = o;
    return true;
  }
};
// An instance of one of the module's classes, as its record.
template <HasClass R>
struct Param<const R&> {
  using Held = const R*;
  static bool load(PyObject* o, const char* name, Held& out) {
    TypeCell& cell = cell_of<R>();
    if (!check_instance(o, name, cell.get(), cell.name())) return false;
    out = &record_of<R>(o);
    return true;
  }
  static const R& get(Held& h) { return *h; }
};

}  // namespace ulo::py
