// OSError subclasses by error number, whose str() stays the module's message.
//
// Python formats an OSError that has a filename as "[Errno 2] ...: 'path'",
// so the builtin classes cannot carry both the fixed message and the
// attributes. Each builtin class the errors meet gets one subclass, made on
// first use, that shows its first argument and pickles as the builtin class.
#include <atomic>
#include <string>

#include "conversions.hpp"
#include "errors.hpp"
#include "os_error.hpp"

namespace ulo::py {
namespace {

// Pickled as the builtin base with the message and `path`: the subclass is
// no module attribute that pickle could find.
PyObject* reduce_os_error(PyObject* self, PyObject* /*unused*/) {
  Ref base = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                               "__base__"));
  Ref args = Ref::steal(base ? PyObject_GetAttrString(self, "args") : nullptr);
  Ref dict = Ref::steal(args ? PyObject_GetAttrString(self, "__dict__") : nullptr);
  if (!dict) return nullptr;
  return PyTuple_Pack(3, base.get(), args.get(), dict.get());
}

PyMethodDef g_reduce_def = {"__reduce__", reduce_os_error, METH_NOARGS, nullptr};

// builtin class -> its subclass: a list that only grows, its nodes and
// both classes kept for the life of the process. Lock-free, so that no
// thread can hold it across a fork or without the interpreter lock.
struct ClassNode {
  PyObject* base;
  PyObject* sub;
  ClassNode* next;
};
std::atomic<ClassNode*> g_classes{nullptr};

PyObject* find_class(PyObject* base, ClassNode* from = g_classes.load(std::memory_order_acquire)) {
  for (const ClassNode* n = from; n != nullptr; n = n->next) {
    if (n->base == base) return n->sub;
  }
  return nullptr;
}

PyObject* make_class(PyObject* base) {
  Ref name = Ref::steal(PyObject_GetAttrString(base, "__name__"));
  Ref str = Ref::steal(name ? PyObject_GetAttrString(PyExc_BaseException, "__str__") : nullptr);
  Ref reduce = Ref::steal(
      str ? PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(PyExc_OSError), &g_reduce_def)
          : nullptr);
  Ref ns = Ref::steal(reduce ? PyDict_New() : nullptr);
  Ref module = Ref::steal(ns ? PyUnicode_FromString("ulo_protocol") : nullptr);
  Ref doc = Ref::steal(module ? PyObject_GetAttrString(base, "__doc__") : nullptr);
  if (!doc || PyDict_SetItemString(ns.get(), "__module__", module.get()) != 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) != 0 ||
      PyDict_SetItemString(ns.get(), "__str__", str.get()) != 0 ||
      PyDict_SetItemString(ns.get(), "__reduce__", reduce.get()) != 0) {
    return nullptr;
  }
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!bases) return nullptr;
  Ref made = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                     name.get(), bases.get(), ns.get(), nullptr));
  if (!made) return nullptr;
  auto* node = new ClassNode{base, made.get(), g_classes.load(std::memory_order_acquire)};
  while (!g_classes.compare_exchange_weak(node->next, node, std::memory_order_acq_rel)) {
    if (PyObject* first = find_class(base, node->next)) {
      delete node;  // another thread was first; ours is dropped
      return first;
    }
  }
  Py_INCREF(base);
  return made.release();
}

// The builtin class Python itself picks for `err`.
Ref builtin_class(int err) {
  if (err == 0) return Ref::borrow(PyExc_OSError);
  Ref probe = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", err, ""));
  if (!probe) return Ref();
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
}

bool set_attr(PyObject* o, const char* name, PyObject* value) {
  return value == nullptr || PyObject_SetAttrString(o, name, value) == 0;
}

}  // namespace

PyObject* new_os_error(PyObject* message, int err, PyObject* path) {
  Ref base = builtin_class(err);
  if (!base) return nullptr;
  PyObject* cls = find_class(base.get());
  if (cls == nullptr) cls = make_class(base.get());
  if (cls == nullptr) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(cls, message, nullptr));
  if (!exc) return nullptr;
  Ref number = Ref::steal(err == 0 ? nullptr : PyLong_FromLong(err));
  Ref text = Ref::steal(err == 0 ? nullptr : new_text(os_error_description(err)));
  if ((err != 0 && (!number || !text)) || !set_attr(exc.get(), "errno", number.get()) ||
      !set_attr(exc.get(), "strerror", text.get()) || !set_attr(exc.get(), "filename", path) ||
      !set_attr(exc.get(), "path", path)) {
    return nullptr;
  }
  return exc.release();
}

}  // namespace ulo::py
