// Native results as Python values, and the `Name(field=value, ...)`
// representation every class prints.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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
template <class T, class F>
PyObject* new_optional(const std::optional<T>& v, F&& convert) {
  if (!v) Py_RETURN_NONE;
  return convert(*v);
}
inline PyObject* new_opt_text(const std::optional<std::string>& v) {
  if (!v) Py_RETURN_NONE;
  return new_text(*v);
}

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
