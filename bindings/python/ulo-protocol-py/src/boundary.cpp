#include "boundary.hpp"

#include <cstdio>

#include "ref.hpp"

namespace ulo::py {
namespace {

constinit SharedObject g_panic_type;

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// The source file's base name: the build machine's directories are nobody's
// business.
std::string_view base_name(std::string_view path) {
  return path.substr(path.find_last_of('/') + 1);
}

void raise_fault_text(const char* text, std::string_view file, unsigned line) noexcept {
  std::fprintf(stderr, "ulo_protocol: internal fault at %.*s:%u: %s\n",
               static_cast<int>(file.size()), file.data(), line, text);
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  Ref msg = Ref::steal(PyUnicode_FromString(text));
  if (!msg) abort_at_boundary();
  PyErr_SetObject(type, msg.get());
}


}  // namespace

// BaseException.add_note exists from 3.11; before it, the list it would
// keep is made by hand, so readers of __notes__ see the same on every
// version.
bool add_note(PyObject* exc, std::string_view note) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) return false;
  Ref method = Ref::steal(PyObject_GetAttrString(exc, "add_note"));
  if (method) {
    Ref done = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr));
    return static_cast<bool>(done);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  Ref notes = Ref::steal(PyObject_GetAttrString(exc, "__notes__"));
  if (!notes) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    notes = Ref::steal(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) != 0) return false;
  }
  return PyList_Append(notes.get(), text.get()) == 0;
}

void panic(std::string text, std::source_location where) {
  throw Panic{std::move(text), where};
}

PyObject* panic_exception_type() {
  return g_panic_type.get([] {
    return PyErr_NewExceptionWithDoc(
        "ulo_protocol.PanicException",
        "Raised when native code called from Python meets an internal fault.\n\n"
        "It derives from BaseException so that ordinary `except Exception`\n"
        "handlers do not swallow a broken invariant.",
        PyExc_BaseException, nullptr);
  });
}

void raise_panic(const Panic& p) noexcept {
  raise_fault_text(p.text.c_str(), base_name(p.where.file_name()), p.where.line());
}

void raise_unknown_fault() noexcept {
  raise_fault_text("native code faulted without a message", "<unknown>", 0);
}

PyObject* raise(PyObject* type, std::string_view message) {
  Ref msg = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  // SetObject with a str value gives the exception exactly one argument.
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

PyObject* raise_with_notes(PyObject* type, std::string_view message,
                           std::initializer_list<std::string_view> notes) {
  Ref msg = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!msg) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
  if (!exc) return nullptr;
  for (std::string_view note : notes) {
    if (!note.empty() && !add_note(exc.get(), note)) return nullptr;
  }
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

PendingError PendingError::take() noexcept {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PendingError e;
  e.type_ = Ref::steal(type);
  e.value_ = Ref::steal(value);
  e.traceback_ = Ref::steal(traceback);
  return e;
}

void PendingError::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyObject* fetch_failure() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

}  // namespace ulo::py
