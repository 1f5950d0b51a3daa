// Argument binding for positional-or-keyword parameters, and the conversion
// of each argument to its native kind.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
bool to_text_list(PyObject* o, const char* name, std::vector<std::string>& out);
bool check_instance(PyObject* o, const char* name, PyTypeObject* type, const char* type_name);
// The cast-failure message for one argument.
PyObject* cast_error(PyObject* o, const char* name, const char* expected);

// A function's parameters, declared once: its name, the parameter names
// (which also fix their number) and how many are required.
template <std::size_t N>
struct Params {
  const char* function;
  std::array<const char*, N> names;
  std::size_t required;
  constexpr Signature signature() const { return {function, names, required}; }
};

template <std::size_t N>
constexpr Params<N> params(const char* function, const char* const (&names)[N],
                           std::size_t required = N) {
  Params<N> p{function, {}, required};
  for (std::size_t i = 0; i < N; ++i) p.names[i] = names[i];
  return p;
}

// The arguments of one call, bound to a Params declaration; conversions name
// the parameter by position.
template <std::size_t N>
class Args {
 public:
  explicit Args(const Params<N>& p) : p_(p) {}
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_fast(p_.signature(), args, nargs, kwnames, v_);
  }
  bool bind(PyObject* args, PyObject* kwargs) {
    return bind_tuple(p_.signature(), args, kwargs, v_);
  }
  PyObject* operator[](std::size_t i) const { return v_[i]; }
  bool given(std::size_t i) const { return v_[i] != nullptr; }

  bool text(std::size_t i, std::string_view& out) const { return to_text(v_[i], p_.names[i], out); }
  bool opt_text(std::size_t i, std::optional<std::string_view>& out) const {
    return to_opt_text(v_[i], p_.names[i], out);
  }
  bool bytes(std::size_t i, std::span<const std::uint8_t>& out) const {
    return to_bytes(v_[i], p_.names[i], out);
  }
  bool dict(std::size_t i) const { return to_dict(v_[i], p_.names[i]); }
  bool text_list(std::size_t i, std::vector<std::string>& out) const {
    return to_text_list(v_[i], p_.names[i], out);
  }
  bool instance(std::size_t i, PyTypeObject* type, const char* type_name) const {
    return check_instance(v_[i], p_.names[i], type, type_name);
  }

 private:
  const Params<N>& p_;
  PyObject* v_[N] = {};
};

}  // namespace ulo::py

// Shorthand for the PyMethodDef cast of a fast-call-with-keywords function.
#define ULO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
