#include "toolkit.hpp"

#include <cstdio>
#include <cstring>

#include "quote.hpp"

namespace ulo::py {

thread_local int detail::gil_depth __attribute__((tls_model("initial-exec"))) = 0;

// ---------------------------------------------------------------------------
// Faults and exceptions

namespace {
PyObject* g_panic_type = nullptr;

PyObject* type_name_of(PyObject* o) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__");
}
}  // namespace

void panic(std::string text, std::source_location where) {
  throw Panic{std::move(text), where};
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "ulo_protocol.PanicException",
        "Raised when native code called from Python meets an internal fault.\n\n"
        "It derives from BaseException so that ordinary `except Exception`\n"
        "handlers do not swallow a broken invariant.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

namespace {
void raise_fault_text(const char* text, const char* file, unsigned line) noexcept {
  std::fprintf(stderr, "ulo_protocol: internal fault at %s:%u: %s\n", file, line, text);
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyObject* msg = PyUnicode_FromString(text);
  if (msg == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}
}  // namespace

void raise_panic(const Panic& p) noexcept {
  raise_fault_text(p.text.c_str(), p.where.file_name(), p.where.line());
}

void raise_unknown_fault() noexcept {
  raise_fault_text("native code faulted without a message", "<unknown>", 0);
}

PyObject* raise(PyObject* type, std::string_view message) {
  PyObject* msg = new_text(message);
  if (msg == nullptr) return nullptr;
  // SetObject with a str value gives the exception exactly one argument.
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
  return nullptr;
}

PyObject* fetch_failure() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding

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

// ---------------------------------------------------------------------------
// Conversions

PyObject* cast_error(PyObject* o, const char* name, const char* expected) {
  PyObject* tname = type_name_of(o);
  if (tname == nullptr) return nullptr;
  PyObject* msg = PyUnicode_FromFormat("argument '%s': '%U' object cannot be cast as '%s'",
                                       name, tname, expected);
  Py_DECREF(tname);
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(PyExc_TypeError, msg);
  Py_DECREF(msg);
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
// True when o passes the interpreter's sequence check or is registered as a
// collections.abc.Sequence.
int is_sequence(PyObject* o) {
  if (PySequence_Check(o)) return 1;
  static PyObject* abc_sequence = nullptr;
  if (abc_sequence == nullptr) {
    PyObject* mod = PyImport_ImportModule("collections.abc");
    if (mod == nullptr) return -1;
    abc_sequence = PyObject_GetAttrString(mod, "Sequence");
    Py_DECREF(mod);
    if (abc_sequence == nullptr) return -1;
  }
  return PyObject_IsInstance(o, abc_sequence);
}

bool arg_failure(const char* name) {
  // Re-raise a conversion TypeError as "argument '<name>': <message>".
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (text == nullptr) return false;
  PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  if (msg != nullptr) {
    PyErr_SetObject(PyExc_TypeError, msg);
    Py_DECREF(msg);
  }
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
    PyObject* item = PySequence_GetItem(o, i);
    if (item == nullptr) return arg_failure(name);
    std::string_view text;
    bool ok = to_text(item, name, text);
    if (ok) out.emplace_back(text);
    Py_DECREF(item);
    if (!ok) return false;
  }
  return true;
}

bool check_instance(PyObject* o, const char* name, PyTypeObject* type, const char* type_name) {
  if (Py_TYPE(o) == type || PyObject_TypeCheck(o, type)) return true;
  cast_error(o, name, type_name);
  return false;
}

// ---------------------------------------------------------------------------
// json module bridges

namespace {
PyObject* json_function(const char* fn) {
  PyObject* mod = PyImport_ImportModule("json");
  if (mod == nullptr) return nullptr;
  PyObject* f = PyObject_GetAttrString(mod, fn);
  Py_DECREF(mod);
  return f;
}
}  // namespace

PyObject* json_loads(std::string_view text) {
  PyObject* loads = json_function("loads");
  if (loads == nullptr) return nullptr;
  PyObject* s = new_text(text);
  PyObject* result = s != nullptr ? PyObject_CallFunctionObjArgs(loads, s, nullptr) : nullptr;
  Py_XDECREF(s);
  Py_DECREF(loads);
  return result != nullptr ? result : fetch_failure();
}

PyObject* json_dumps(PyObject* d) {
  PyObject* dumps = json_function("dumps");
  if (dumps == nullptr) return nullptr;
  PyObject* result = PyObject_CallFunctionObjArgs(dumps, d, nullptr);
  Py_DECREF(dumps);
  return result != nullptr ? result : fetch_failure();
}

// ---------------------------------------------------------------------------
// Representations

Repr::Repr(std::string_view class_name) {
  out_.reserve(64);
  out_.append(class_name).append(1, '(');
}

void Repr::separator() {
  if (!first_) out_.append(", ");
  first_ = false;
}

Repr& Repr::text(std::string_view field, std::string_view value) {
  separator();
  out_.append(field).append(1, '=');
  append_quoted(out_, value);
  return *this;
}

Repr& Repr::raw(std::string_view field, std::string_view value) {
  separator();
  out_.append(field).append(1, '=').append(value);
  return *this;
}

Repr& Repr::integer(std::string_view field, long long value) {
  return raw(field, std::to_string(value));
}

Repr& Repr::boolean(std::string_view field, bool value) {
  return raw(field, value ? "true" : "false");
}

Repr& Repr::bare_text(std::string_view value) {
  separator();
  append_quoted(out_, value);
  return *this;
}

PyObject* Repr::finish() {
  out_.append(1, ')');
  return new_text(out_);
}

// ---------------------------------------------------------------------------
// Types and comparison

TypeCell::TypeCell(const ClassDef& def)
    : name_(def.name), qualified_name_(std::string("ulo_protocol.") + def.name) {
  auto add = [this](int slot, void* fn) {
    if (fn != nullptr) slots_.push_back({slot, fn});
  };
  add(Py_tp_doc, const_cast<char*>(def.doc));
  add(Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc));
  add(Py_tp_repr, reinterpret_cast<void*>(def.repr));
  add(Py_tp_str, reinterpret_cast<void*>(def.str));
  add(Py_tp_new, reinterpret_cast<void*>(def.construct));
  add(Py_tp_richcompare, reinterpret_cast<void*>(def.compare));
  add(Py_tp_hash, reinterpret_cast<void*>(def.hash));
  add(Py_tp_methods, def.methods);
  add(Py_tp_getset, def.getset);
  slots_.push_back({0, nullptr});
  // No BASETYPE flag: subclassing is refused by the interpreter.
  const auto flags = static_cast<unsigned>(
      Py_TPFLAGS_DEFAULT | (def.construct == nullptr ? Py_TPFLAGS_DISALLOW_INSTANTIATION : 0UL));
  spec_ = PyType_Spec{qualified_name_.c_str(), def.basicsize, 0, flags, slots_.data()};
}

PyTypeObject* TypeCell::get_or_create() {
  if (type_ != nullptr) return type_;
  PyObject* t = PyType_FromSpec(&spec_);
  if (t == nullptr) return nullptr;
  // Another thread may have won the race while the lock was dropped.
  if (type_ == nullptr) {
    type_ = reinterpret_cast<PyTypeObject*>(t);
  } else {
    Py_DECREF(t);
  }
  return type_;
}

PyTypeObject* TypeCell::get() {
  PyTypeObject* t = get_or_create();
  if (t == nullptr) {
    PyErr_Clear();
    panic(std::string("failed to create type object for `") + name_ + "`");
  }
  return t;
}

PyObject* not_equal_via_eq(PyObject* self, PyObject* other) {
  PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
  if (eq == nullptr) return nullptr;
  const int truth = PyObject_IsTrue(eq);
  Py_DECREF(eq);
  if (truth < 0) return nullptr;
  return new_bool(truth == 0);
}

PyObject* refuse_pickling(const char* class_name, const char* why) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object: %s", class_name, why);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Module helpers

int add_name(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(value);
      return -1;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) != 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
  }
  if (!PyList_Check(all)) {
    Py_DECREF(all);
    Py_DECREF(value);
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  PyObject* pyname = PyUnicode_FromString(name);
  const int appended = pyname != nullptr ? PyList_Append(all, pyname) : -1;
  Py_XDECREF(pyname);
  Py_DECREF(all);
  if (appended != 0) {
    Py_DECREF(value);
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  const int rc = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return rc;
}

PyObject* new_datetime(const CivilParts& t) {
  static PyObject* datetime_cls = nullptr;
  static PyObject* utc = nullptr;
  if (datetime_cls == nullptr) {
    PyObject* mod = PyImport_ImportModule("datetime");
    if (mod == nullptr) return nullptr;
    PyObject* cls = PyObject_GetAttrString(mod, "datetime");
    PyObject* tz = PyObject_GetAttrString(mod, "timezone");
    PyObject* u = tz != nullptr ? PyObject_GetAttrString(tz, "utc") : nullptr;
    Py_XDECREF(tz);
    Py_DECREF(mod);
    if (cls == nullptr || u == nullptr) {
      Py_XDECREF(cls);
      Py_XDECREF(u);
      return nullptr;
    }
    datetime_cls = cls;
    utc = u;
  }
  if (t.leap &&
      PyErr_WarnEx(PyExc_UserWarning,
                   "ignored leap-second, `datetime` does not support leap-seconds", 0) != 0) {
    return nullptr;
  }
  PyObject* args = Py_BuildValue("(LiiiiiiO)", t.year, t.month, t.day, t.hour, t.minute,
                                 t.second, t.microsecond, utc);
  if (args == nullptr) return nullptr;
  PyObject* result = PyObject_Call(datetime_cls, args, nullptr);
  Py_DECREF(args);
  return result;
}

}  // namespace ulo::py
