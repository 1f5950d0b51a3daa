// Heap types holding one native record by value: their creation from a
// ClassDef, instance storage, comparison, and records as Python values.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <cstddef>
#include <deque>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "conversions.hpp"

namespace ulo {
struct RecordDef;
}

namespace ulo::py {

template <class R>
struct Instance {
  PyObject_HEAD
  R record;
};

// One method as a class's spec declares it (class_def.hpp and adaptors.hpp make the rows).
struct MethodRow {
  const char* name;
  PyCFunction function;
  int flags;
  std::span<const char* const> params;  // shown in the text signature
  const char* doc;                      // after the text signature; none: no docstring
};

struct PropertyRow {
  const char* name;
  getter get;
  std::string doc = {};  // empty: no docstring
  void* closure = nullptr;
};

struct Constructor {
  newfunc function = nullptr;             // none: instances cannot be created from Python
  std::vector<std::string> params = {};   // as the class's text signature shows them
};

// What one class is made of; its TypeCell turns it into a heap type that
// cannot be subclassed and has no instance __dict__.
struct ClassDef {
  const char* name;  // the class name; the module is "ulo_protocol"
  const char* doc;   // after the text signature of a constructible class
  int basicsize;
  destructor dealloc;
  reprfunc repr;
  Constructor construct;
  std::vector<MethodRow> methods;
  std::vector<PropertyRow> properties;
  richcmpfunc compare = nullptr;  // none: identity equality
  hashfunc hash = nullptr;        // none with `compare`: unhashable
  reprfunc str = nullptr;
  getiterfunc iter = nullptr;          // an iterator's __iter__ and __next__
  iternextfunc iternext = nullptr;
  // A class whose record has a field table is found from the table, for
  // nested values: a copy of the record (or of an optional one) as Python.
  const RecordDef* table = nullptr;
  PyObject* (*copy_out)(const void* record) = nullptr;
  PyObject* (*copy_out_optional)(const void* optional) = nullptr;
};

// The text signature a docstring begins with: "name($self, a, b)\n--\n\n".
template <class Params>
std::string text_signature(std::string_view name, bool self, const Params& params) {
  std::string out(name);
  out += '(';
  if (self) out += "$self";
  for (std::string_view p : params) {
    if (out.back() != '(') out += ", ";
    out += p;
  }
  out += ")\n--\n\n";
  return out;
}

// A once-per-process cell for one class's type object, holding what the
// type points into (method table, properties, docstrings). Shared by every
// thread: what it holds is written only while it is constructed, the type
// and the dict keys are published once (SharedObject).
class TypeCell {
 public:
  explicit TypeCell(ClassDef def);
  TypeCell(const TypeCell&) = delete;
  TypeCell& operator=(const TypeCell&) = delete;
  // Created on first use; nullptr with an exception set on failure.
  PyTypeObject* get_or_create();
  // The type outside registration: failure to create is an internal fault.
  PyTypeObject* get();
  const char* name() const { return def_.name; }
  const ClassDef& def() const { return def_; }
  // The class of a record table's records; an internal fault if none.
  static const TypeCell& of_table(const RecordDef& table);
  // The interned name of the table's field `i`, for dict keys (borrowed;
  // nullptr with the exception set).
  PyObject* field_key(std::size_t i) const;

 private:
  ClassDef def_;
  std::string qualified_name_;
  std::deque<std::string> texts_;  // docstrings; a deque never moves them
  std::vector<PyMethodDef> methods_;
  std::vector<PyGetSetDef> getset_;
  std::vector<PyType_Slot> slots_;
  PyType_Spec spec_{};
  SharedObject type_;
  // One per table field. Never freed: the interned keys stay reachable
  // after the cell itself is destroyed at exit, as the interpreter's own are.
  SharedObject* keys_ = nullptr;
};

// The class of each record type: ClassOf<R>::cell(), specialised once per
// class in classes.hpp.
template <class R>
struct ClassOf;
template <class R>
concept HasClass = requires { ClassOf<R>::cell(); };
template <class R>
TypeCell& cell_of() {
  return ClassOf<R>::cell();
}

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

// A new instance of R's class owning `record`.
template <class T>
PyObject* new_instance(T&& record) {
  using R = std::remove_cvref_t<T>;
  PyObject* obj = alloc_instance<R>(cell_of<R>().get());
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Instance<R>*>(obj)->record) R(std::forward<T>(record));
  return obj;
}

// A new instance holding a default record, for the caller to fill before
// the object is shared.
template <class R>
PyObject* new_default(R*& record) {
  PyObject* obj = alloc_instance<R>(cell_of<R>().get());
  if (obj == nullptr) return nullptr;
  record = new (&reinterpret_cast<Instance<R>*>(obj)->record) R();
  return obj;
}

// The record inside an instance of R's class.
template <class R>
const R& record_of(PyObject* self) {
  return reinterpret_cast<Instance<R>*>(self)->record;
}

// Records become instances of their classes, lists of them lists.
template <class T>
  requires HasClass<std::remove_cvref_t<T>>
PyObject* to_python(T&& record) {
  return new_instance(std::forward<T>(record));
}
template <class T>
PyObject* to_python(std::vector<T>&& values) {
  return new_list(values, [](T& v) { return to_python(std::move(v)); });
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

// Appends `name` to the module's __all__ and sets the attribute (steals value).
int add_name(PyObject* module, const char* name, PyObject* value);

}  // namespace ulo::py
