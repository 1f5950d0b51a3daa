#include "types.hpp"

#include "ref.hpp"

namespace ulo::py {
namespace {

// The cells of classes with a field table. Filled while the module is
// initialised, under the interpreter lock, and only read afterwards.
std::vector<const TypeCell*>& table_cells() {
  static std::vector<const TypeCell*> cells;
  return cells;
}

}  // namespace

TypeCell::TypeCell(ClassDef def)
    : def_(std::move(def)), qualified_name_(std::string("ulo_protocol.") + def_.name) {
  const char* doc = def_.doc;
  if (def_.construct.function != nullptr) {
    doc = texts_.emplace_back(text_signature(def_.name, false, def_.construct.params) + (doc ? doc : ""))
              .c_str();
  }
  for (const MethodRow& m : def_.methods) {
    const char* mdoc = nullptr;
    if (m.doc != nullptr) {
      const bool self = (m.flags & METH_STATIC) == 0;
      mdoc = texts_.emplace_back(text_signature(m.name, self, m.params) + m.doc).c_str();
    }
    methods_.push_back({m.name, m.function, m.flags, mdoc});
  }
  methods_.push_back({nullptr, nullptr, 0, nullptr});
  for (const PropertyRow& p : def_.properties) {
    const char* pdoc = p.doc.empty() ? nullptr : texts_.emplace_back(p.doc).c_str();
    getset_.push_back({p.name, p.get, nullptr, pdoc, p.closure});
  }
  getset_.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

  auto add = [this](int slot, void* fn) {
    if (fn != nullptr) slots_.push_back({slot, fn});
  };
  add(Py_tp_doc, const_cast<char*>(doc));
  add(Py_tp_dealloc, reinterpret_cast<void*>(def_.dealloc));
  add(Py_tp_repr, reinterpret_cast<void*>(def_.repr));
  add(Py_tp_str, reinterpret_cast<void*>(def_.str));
  add(Py_tp_new, reinterpret_cast<void*>(def_.construct.function));
  add(Py_tp_richcompare, reinterpret_cast<void*>(def_.compare));
  add(Py_tp_hash, reinterpret_cast<void*>(def_.hash));
  add(Py_tp_iter, reinterpret_cast<void*>(def_.iter));
  add(Py_tp_iternext, reinterpret_cast<void*>(def_.iternext));
  if (methods_.size() > 1) add(Py_tp_methods, methods_.data());
  if (getset_.size() > 1) add(Py_tp_getset, getset_.data());
  slots_.push_back({0, nullptr});
  // No BASETYPE flag: subclassing is refused by the interpreter.
  const auto flags = static_cast<unsigned>(
      Py_TPFLAGS_DEFAULT |
      (def_.construct.function == nullptr ? Py_TPFLAGS_DISALLOW_INSTANTIATION : 0UL));
  spec_ = PyType_Spec{qualified_name_.c_str(), def_.basicsize, 0, flags, slots_.data()};
  if (def_.table != nullptr) table_cells().push_back(this);
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
    panic(std::string("failed to create type object for `") + def_.name + "`");
  }
  return t;
}

const TypeCell& TypeCell::of_table(const RecordDef& table) {
  for (const TypeCell* cell : table_cells()) {
    if (cell->def_.table == &table) return *cell;
  }
  panic("no Python class for a nested record");
}

PyObject* not_equal_via_eq(PyObject* self, PyObject* other) {
  Ref eq = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
  if (!eq) return nullptr;
  const int truth = PyObject_IsTrue(eq.get());
  if (truth < 0) return nullptr;
  return new_bool(truth == 0);
}

PyObject* refuse_pickling(const char* class_name, const char* why) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object: %s", class_name, why);
  return nullptr;
}

int add_name(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return -1;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  Ref pyname = Ref::steal(PyUnicode_FromString(name));
  if (!pyname || PyList_Append(all.get(), pyname.get()) != 0) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  return PyObject_SetAttrString(module, name, owned.get());
}

}  // namespace ulo::py
