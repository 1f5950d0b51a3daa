// Module entry: single-phase initialisation, one interpreter per process, the
// module object and type objects cached for the life of the process.
#include <atomic>

#include "classes.hpp"

namespace ulo::py {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "ulo_protocol", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Registration order is also the order of __all__.
TypeCell& (*const kClasses[])() = {
    protocol_address_cell,
};

int add_class(PyObject* module, TypeCell& cell) {
  PyTypeObject* type = cell.get_or_create();
  if (type == nullptr) {
    PyObject *etype = nullptr, *cause = nullptr, *tb = nullptr;
    PyErr_Fetch(&etype, &cause, &tb);
    PyErr_NormalizeException(&etype, &cause, &tb);
    Py_XDECREF(etype);
    Py_XDECREF(tb);
    PyObject* msg = PyUnicode_FromFormat("An error occurred while initializing class %s",
                                         cell.name());
    PyObject* err = msg != nullptr ? PyObject_CallFunctionObjArgs(PyExc_RuntimeError, msg, nullptr)
                                   : nullptr;
    Py_XDECREF(msg);
    if (err != nullptr) {
      if (cause != nullptr) PyException_SetCause(err, cause);  // steals cause
      PyErr_SetObject(PyExc_RuntimeError, err);
      Py_DECREF(err);
    } else {
      Py_XDECREF(cause);
    }
    return -1;
  }
  Py_INCREF(type);
  return add_name(module, cell.name(), reinterpret_cast<PyObject*>(type));
}

int init_body(PyObject* module) {
  if (add_name(module, "__version__", PyUnicode_FromString("0.1.0")) != 0) return -1;
  for (auto cell : kClasses) {
    if (add_class(module, cell()) != 0) return -1;
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
