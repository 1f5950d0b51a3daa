// Native results as Python values, and the `Name(field=value, ...)`
// representation every class prints.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ref.hpp"

namespace ulo::py {

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
inline PyObject* new_none() { return Py_NewRef(Py_None); }

// A new list holding make(v) for each element v of `values`; nullptr with
// the exception set when any conversion fails.
template <class Range, class Make>
PyObject* new_list(Range& values, Make make) {
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(values))));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (auto& v : values) {
    PyObject* o = make(v);
    if (o == nullptr) return nullptr;
    PyList_SetItem(out.get(), i++, o);  // steals o
  }
  return out.release();
}

// The result of a typed function as a Python value, chosen by its type (the
// forms for records and Results are in types.hpp and errors.hpp). A new
// reference, or nullptr with the exception set.
inline PyObject* to_python(PyObject* o) { return o; }
inline PyObject* to_python(std::string_view s) { return new_text(s); }
template <std::same_as<bool> B>
PyObject* to_python(B b) {
  return new_bool(b);
}
template <std::integral I>
  requires(!std::same_as<I, bool>)
PyObject* to_python(I i) {
  if constexpr (std::is_signed_v<I>) {
    return PyLong_FromLongLong(i);
  } else {
    return PyLong_FromUnsignedLongLong(i);
  }
}
inline PyObject* to_python(double d) { return PyFloat_FromDouble(d); }
// Fixed-size byte strings (keys, seeds, signatures) become bytes.
template <std::size_t N>
PyObject* to_python(const std::array<std::uint8_t, N>& b) {
  return new_bytes(b);
}

// Texts in quoted form, truth values as true/false, integers in decimal.
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

}  // namespace ulo::py
