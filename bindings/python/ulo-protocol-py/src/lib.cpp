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
    protocol_address_cell, counterparty_info_cell, signed_envelope_cell,
    attestation_chain_cell, peer_identity_descriptor_cell, software_identity_cell,
    anchor_receipt_cell, anchor_proof_cell, mock_anchor_cell,
    envelope_queue_cell, queued_item_cell,
};

int add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* fn = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  if (fn == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(fn, "__name__");
  Py_ssize_t len = 0;
  const char* text = name != nullptr ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  const int rc = text != nullptr ? add_name(module, text, fn) : (Py_DECREF(fn), -1);
  Py_XDECREF(name);
  return rc;
}

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
  return add_function(module, &classify_exchange_def);
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
