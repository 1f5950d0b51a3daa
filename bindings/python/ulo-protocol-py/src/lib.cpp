// Module entry: single-phase initialisation, one interpreter per process, the
// module object and type objects cached for the life of the process.
#include <atomic>

#include "classes.hpp"

namespace ulo::py {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};
// Written once; the import system runs the entry for one name at a time.
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "ulo_protocol", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Registration order is also the order of __all__.
TypeCell& (*const kClasses[])() = {
    cell_of<ProtocolAddress>, cell_of<CounterpartyInfo>, cell_of<SignedEnvelope>,
    cell_of<AttestationChain>, cell_of<PeerIdentityDescriptor>, cell_of<SoftwareIdentity>,
    cell_of<AnchorReceipt>, cell_of<AnchorProof>, cell_of<AnchorRec>,
    cell_of<QueueRec>, cell_of<QueuedItem>,
};

// After the classes, in the order of __all__.
PyMethodDef& (*const kFunctions[])() = {
    classify_exchange_def, merkle_root_def, merkle_inclusion_proof_def,
    verify_merkle_inclusion_def, new_exchange_id_def,
};

int add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref fn = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!fn) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  Py_ssize_t len = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &len) : nullptr;
  if (text == nullptr) return -1;
  return add_name(module, text, fn.release());
}

// A type that cannot be created is reported as RuntimeError, its cause kept.
int add_class(PyObject* module, TypeCell& cell) {
  PyTypeObject* type = cell.get_or_create();
  if (type != nullptr) {
    return add_name(module, cell.name(), Ref::borrow(reinterpret_cast<PyObject*>(type)).release());
  }
  Ref cause = PendingError::take().release_value();
  Ref msg = Ref::steal(
      PyUnicode_FromFormat("An error occurred while initializing class %s", cell.name()));
  Ref err = Ref::steal(
      msg ? PyObject_CallFunctionObjArgs(PyExc_RuntimeError, msg.get(), nullptr) : nullptr);
  if (err) {
    if (cause) PyException_SetCause(err.get(), cause.release());  // steals the cause
    PyErr_SetObject(PyExc_RuntimeError, err.get());
  }
  return -1;
}

int init_body(PyObject* module) {
  if (add_name(module, "__version__", PyUnicode_FromString("0.1.0")) != 0) return -1;
  for (auto cell : kClasses) {
    if (add_class(module, cell()) != 0) return -1;
  }
  // Not a module attribute, but made now rather than at the first items().
  if (cell_of<ItemsRec>().get_or_create() == nullptr) return -1;
  for (auto def : kFunctions) {
    if (add_function(module, &def()) != 0) return -1;
  }
  return 0;
}

PyObject* module_entry() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return fetch_failure();
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "ulo_protocol does not support sub-interpreters: it can only be "
                    "initialized once per process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = PyModule_Create2(&g_module_def, 3);
  if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
  // Shared state is published once (SharedObject) or read-only after this
  // function, and the one object that changes, the items() iterator, locks
  // itself: the module does not need the interpreter lock.
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  if (init_body(module) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = module;
  Py_INCREF(g_module);
  return module;
}

}  // namespace
}  // namespace ulo::py

PyMODINIT_FUNC PyInit_ulo_protocol(void) {
  return ulo::py::guard([] { return ulo::py::module_entry(); });
}
