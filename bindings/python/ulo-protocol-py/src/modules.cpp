#include "modules.hpp"

#include "boundary.hpp"
#include "conversions.hpp"
#include "ref.hpp"

namespace ulo::py {
namespace {

Ref json_function(const char* fn) {
  Ref mod = Ref::steal(PyImport_ImportModule("json"));
  if (!mod) return {};
  return Ref::steal(PyObject_GetAttrString(mod.get(), fn));
}

// Looked up once; kept for the life of the process.
constinit SharedObject g_datetime;
constinit SharedObject g_utc;
constinit SharedObject g_abc_sequence;

PyObject* datetime_attr(const char* name) {
  Ref mod = Ref::steal(PyImport_ImportModule("datetime"));
  return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

}  // namespace

PyObject* json_loads(std::string_view text) {
  Ref loads = json_function("loads");
  if (!loads) return nullptr;
  Ref s = Ref::steal(new_text(text));
  if (!s) return nullptr;
  PyObject* result = PyObject_CallFunctionObjArgs(loads.get(), s.get(), nullptr);
  return result != nullptr ? result : fetch_failure();
}

PyObject* json_dumps(PyObject* d) {
  Ref dumps = json_function("dumps");
  if (!dumps) return nullptr;
  PyObject* result = PyObject_CallFunctionObjArgs(dumps.get(), d, nullptr);
  return result != nullptr ? result : fetch_failure();
}

PyObject* new_datetime(const Timestamp& t) {
  PyObject* datetime_cls = g_datetime.get([] { return datetime_attr("datetime"); });
  if (datetime_cls == nullptr) return nullptr;
  PyObject* utc = g_utc.get([]() -> PyObject* {
    Ref tz = Ref::steal(datetime_attr("timezone"));
    return tz ? PyObject_GetAttrString(tz.get(), "utc") : nullptr;
  });
  if (utc == nullptr) return nullptr;
  const CivilTime c = to_civil(t);
  const bool leap = c.second == 60;
  if (leap &&
      PyErr_WarnEx(PyExc_UserWarning,
                   "ignored leap-second, `datetime` does not support leap-seconds", 0) != 0) {
    return nullptr;
  }
  Ref args = Ref::steal(Py_BuildValue(
      "(LiiiiiiO)", static_cast<long long>(c.year), static_cast<int>(c.month),
      static_cast<int>(c.day), static_cast<int>(c.hour), static_cast<int>(c.minute),
      leap ? 59 : static_cast<int>(c.second), static_cast<int>(c.nanos / 1000), utc));
  if (!args) return nullptr;
  return PyObject_Call(datetime_cls, args.get(), nullptr);
}

int is_sequence(PyObject* o) {
  if (PySequence_Check(o)) return 1;
  PyObject* abc_sequence = g_abc_sequence.get([]() -> PyObject* {
    Ref mod = Ref::steal(PyImport_ImportModule("collections.abc"));
    return mod ? PyObject_GetAttrString(mod.get(), "Sequence") : nullptr;
  });
  if (abc_sequence == nullptr) return -1;
  return PyObject_IsInstance(o, abc_sequence);
}

}  // namespace ulo::py
