#include "types.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "record_table.hpp"
#include "ref.hpp"

namespace ulo::py {
namespace {

// The cells of classes with a field table, for nested records. They are
// registered as their cells are built, which may be on any thread (the
// cells are function statics), and looked up from any thread: each slot is
// claimed once and written once, and a reader skips a slot not yet written.
constexpr std::size_t kMaxTableCells = 32;
std::array<std::atomic<const TypeCell*>, kMaxTableCells> g_table_cells{};
std::atomic<std::size_t> g_table_count{0};

void register_table_cell(const TypeCell* cell) {
  const std::size_t i = g_table_count.fetch_add(1, std::memory_order_relaxed);
  if (i >= kMaxTableCells) panic("too many classes with a field table");
  g_table_cells[i].store(cell, std::memory_order_release);
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
  if (def_.table != nullptr) {
    keys_ = new SharedObject[def_.table->fields.size()];
    register_table_cell(this);
  }
}

PyTypeObject* TypeCell::get_or_create() {
  return reinterpret_cast<PyTypeObject*>(type_.get([this] { return PyType_FromSpec(&spec_); }));
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
  const std::size_t n = std::min(g_table_count.load(std::memory_order_relaxed), kMaxTableCells);
  for (std::size_t i = 0; i < n; ++i) {
    const TypeCell* cell = g_table_cells[i].load(std::memory_order_acquire);
    if (cell != nullptr && cell->def_.table == &table) return *cell;
  }
  panic("no Python class for a nested record");
}

PyObject* TypeCell::field_key(std::size_t i) const {
  return keys_[i].get([&] { return PyUnicode_InternFromString(def_.table->fields[i].c_name()); });
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
