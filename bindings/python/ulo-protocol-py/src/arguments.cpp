#include "arguments.hpp"

#include "boundary.hpp"
#include "modules.hpp"
#include "ref.hpp"

namespace ulo::py {

namespace {

void append_name_list(std::string& msg, const std::vector<const char*>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) msg += ',';
      msg += (i == names.size() - 1) ? " and " : " ";
    }
    msg += '\'';
    msg += names[i];
    msg += '\'';
  }
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string msg = sig.function;
  const char* was = given == 1 ? "was" : "were";
  if (sig.required != sig.params.size()) {
    msg += " takes from " + std::to_string(sig.required) + " to " +
           std::to_string(sig.params.size());
  } else {
    msg += " takes " + std::to_string(sig.params.size());
  }
  msg += " positional arguments but " + std::to_string(given) + " " + was + " given";
  raise_type_error(msg);
  return false;
}

// Matches one keyword to a parameter; false with TypeError set on failure.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t len = 0;
  const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (k == nullptr) {
    if (!PyErr_Occurred()) raise_type_error(std::string(sig.function) + " keywords must be strings");
    return false;
  }
  std::string_view kv(k, static_cast<std::size_t>(len));
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (kv == sig.params[i]) {
      if (out[i] != nullptr) {
        raise_type_error(std::string(sig.function) + " got multiple values for argument '" +
                         std::string(kv) + "'");
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  raise_type_error(std::string(sig.function) + " got an unexpected keyword argument '" +
                   std::string(kv) + "'");
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  std::string msg = std::string(sig.function) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": ";
  append_name_list(msg, missing);
  raise_type_error(msg);
  return false;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames == nullptr && nargs == nparams) return true;  // the usual call: all by position
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

PyObject* cast_error(PyObject* o, const char* name, const char* expected) {
  Ref tname = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
  if (!tname) return nullptr;
  Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': '%U' object cannot be cast as '%s'",
                                            name, tname.get(), expected));
  if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
  return nullptr;
}

bool to_text(PyObject* o, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    cast_error(o, name, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (s == nullptr) return false;  // lone surrogates: UnicodeEncodeError passes through
  out = std::string_view(s, static_cast<std::size_t>(len));
  return true;
}

bool to_opt_text(PyObject* o, const char* name, std::optional<std::string_view>& out) {
  if (o == nullptr || o == Py_None) {
    out.reset();
    return true;
  }
  std::string_view v;
  if (!to_text(o, name, v)) return false;
  out = v;
  return true;
}

bool to_int(PyObject* o, const char* name, std::int64_t& out) {
  if (!PyLong_Check(o) || PyBool_Check(o)) {
    cast_error(o, name, "int");
    return false;
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': integer out of range", name);
    return false;
  }
  return out != -1 || PyErr_Occurred() == nullptr;
}

bool to_bytes(PyObject* o, const char* name, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(o)) {
    cast_error(o, name, "bytes");
    return false;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(o, &data, &len) != 0) return false;
  out = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                      static_cast<std::size_t>(len));
  return true;
}

bool to_dict(PyObject* o, const char* name) {
  if (PyDict_Check(o)) return true;
  cast_error(o, name, "dict");
  return false;
}

namespace {

bool arg_failure(const char* name) {
  // Re-raise a conversion TypeError as "argument '<name>': <message>".
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  const PendingError e = PendingError::take();
  Ref text = Ref::steal(e.value() != nullptr ? PyObject_Str(e.value()) : nullptr);
  if (!text) return false;
  Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
  return false;
}
}  // namespace

bool to_text_list(PyObject* o, const char* name, std::vector<std::string>& out) {
  if (PyUnicode_Check(o)) {
    raise_type_error(std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    return false;
  }
  const int seq = is_sequence(o);
  if (seq < 0) return false;
  if (seq == 0) {
    cast_error(o, name, "Sequence");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return arg_failure(name);
  out.clear();
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(o, i));
    if (!item) return arg_failure(name);
    std::string_view text;
    if (!to_text(item.get(), name, text)) return false;
    out.emplace_back(text);
  }
  return true;
}

bool check_instance(PyObject* o, const char* name, PyTypeObject* type, const char* type_name) {
  if (Py_TYPE(o) == type || PyObject_TypeCheck(o, type)) return true;
  cast_error(o, name, type_name);
  return false;
}

}  // namespace ulo::py
