// The JSON and dict forms shared by the records that have from_json/to_json:
// to_dict is json.loads(to_json()), from_dict is from_json(json.dumps(d)).
#pragma once
#include <string>

#include "json.hpp"
#include "result.hpp"
#include "toolkit.hpp"

namespace ulo::py {

// Traits: Rec, kName ("SignedEnvelope"), type(), encode(const Rec&) and
// decode_into(text, Rec&) -> optional error.
template <class T>
struct JsonForms {
  using Rec = typename T::Rec;

  // Decodes straight into the new object's record, so nothing is moved.
  static PyObject* decode_text(std::string_view text) {
    Rec* record = nullptr;
    PyObject* obj = new_default(T::type(), record);
    if (obj == nullptr) return nullptr;
    if (auto error = T::decode_into(text, *record)) {
      Py_DECREF(obj);
      return raise_value_error(std::string("invalid ") + T::kName + " JSON: " + error->message);
    }
    return obj;
  }

  static PyObject* to_json(const Rec& r) { return new_text(T::encode(r)); }
  static PyObject* to_dict(const Rec& r) { return json_loads(T::encode(r)); }

  // Pickles and copies travel as (Cls.from_json, (canonical JSON,)).
  static PyObject* reduce(const Rec& r) {
    PyObject* type = reinterpret_cast<PyObject*>(T::type());
    const std::string text = T::encode(r);
    PyObject* from_json_fn = PyObject_GetAttrString(type, "from_json");
    if (from_json_fn == nullptr) return nullptr;
    PyObject* result = Py_BuildValue("(N(s#))", from_json_fn, text.data(),
                                     static_cast<Py_ssize_t>(text.size()));
    return result;
  }

  static PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guard([&]() -> PyObject* {
      static const std::string fname = std::string(T::kName) + ".from_json()";
      static constexpr const char* params[] = {"s"};
      static const Signature sig{fname.c_str(), params, 1};
      PyObject* a[1];
      std::string_view text;
      if (!bind_fast(sig, args, nargs, kw, a) || !::ulo::py::to_text(a[0], "s", text)) return nullptr;
      return decode_text(text);
    });
  }

  static PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guard([&]() -> PyObject* {
      static const std::string fname = std::string(T::kName) + ".from_dict()";
      static constexpr const char* params[] = {"d"};
      static const Signature sig{fname.c_str(), params, 1};
      PyObject* a[1];
      if (!bind_fast(sig, args, nargs, kw, a) || !::ulo::py::to_dict(a[0], "d")) return nullptr;
      PyObject* text = json_dumps(a[0]);
      if (text == nullptr) return nullptr;
      std::string_view view;
      PyObject* result = ::ulo::py::to_text(text, "d", view) ? decode_text(view) : nullptr;
      Py_DECREF(text);
      return result;
    });
  }
};

// The four serialisation methods, with bare signature docstrings.
#define ULO_JSON_FORM_METHODS(Forms)                                                        \
  {"from_json", ULO_FASTCALL(Forms::from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, \
   "from_json(s)\n--\n\n"},                                                                  \
      {"to_json", ::ulo::py::method0<Forms::Rec, Forms::to_json>, METH_NOARGS,               \
       "to_json($self)\n--\n\n"},                                                            \
      {"from_dict", ULO_FASTCALL(Forms::from_dict), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, \
       "from_dict(d)\n--\n\n"},                                                              \
      {"to_dict", ::ulo::py::method0<Forms::Rec, Forms::to_dict>, METH_NOARGS,               \
       "to_dict($self)\n--\n\n"},                                                          \
      {"__reduce__", ::ulo::py::method0<Forms::Rec, Forms::reduce>, METH_NOARGS, nullptr}

}  // namespace ulo::py
