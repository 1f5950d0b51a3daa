// Heap types holding one native record by value: their creation, instance
// storage, comparison and the adaptors from record functions to slots.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "conversions.hpp"

namespace ulo::py {

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

// Appends `name` to the module's __all__ and sets the attribute (steals value).
int add_name(PyObject* module, const char* name, PyObject* value);

}  // namespace ulo::py
