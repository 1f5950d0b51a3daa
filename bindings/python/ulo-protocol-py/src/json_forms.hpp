// The class of a record with a JSON form, from its field table: from_json,
// to_json, from_dict (from_json of json.dumps(d)), to_dict (json.loads of
// to_json()), pickling through the JSON text, a property per field and
// content equality.
#pragma once
#include <string>
#include <vector>

#include "fields.hpp"
#include "record_table.hpp"
#include "toolkit.hpp"

namespace ulo::py {

// from_dict, to_dict and __reduce__ of a JsonForms class.
#define ULO_JSON_DICT_METHODS(Forms)                                                           \
  {"from_dict", ULO_FASTCALL(Forms::from_dict), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,    \
   "from_dict(d)\n--\n\n"},                                                                     \
      {"to_dict", ::ulo::py::method0<Forms::Rec, Forms::to_dict>, METH_NOARGS,                 \
       "to_dict($self)\n--\n\n"},                                                               \
      {"__reduce__", ::ulo::py::method0<Forms::Rec, Forms::reduce>, METH_NOARGS, nullptr}

// All five serialisation methods, with bare signature docstrings.
#define ULO_JSON_FORM_METHODS(Forms)                                                           \
  {"from_json", ULO_FASTCALL(Forms::from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,    \
   "from_json(s)\n--\n\n"},                                                                     \
      {"to_json", ::ulo::py::method0<Forms::Rec, Forms::to_json>, METH_NOARGS,                 \
       "to_json($self)\n--\n\n"},                                                               \
      ULO_JSON_DICT_METHODS(Forms)

struct JsonFormDocs {
  const char* from_json = "from_json(s)\n--\n\n";
  const char* to_json = "to_json($self)\n--\n\n";
};

// R: the record; Def: its field table, whose name is the class name;
// Cell: the class's type cell.
template <class R, const RecordDef& Def, TypeCell& (*Cell)()>
struct JsonForms {
  using Rec = R;
  static std::string encode(const R& r) { return encode_record(Def, &r); }

  // Decodes straight into the new object's record, so nothing is moved.
  static PyObject* decode_text(std::string_view text) {
    R* record = nullptr;
    PyObject* obj = new_default(Cell().get(), record);
    if (obj == nullptr) return nullptr;
    if (auto error = decode_record_into(text, Def, record)) {
      Py_DECREF(obj);
      return raise_value_error("invalid " + std::string(Def.name) + " JSON: " + error->message);
    }
    return obj;
  }

  static PyObject* to_json(const R& r) { return new_text(encode(r)); }
  static PyObject* to_dict(const R& r) { return json_loads(encode(r)); }

  // Pickles and copies travel as (Cls.from_json, (canonical JSON,)).
  static PyObject* reduce(const R& r) {
    const std::string text = encode(r);
    PyObject* from_json_fn =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Cell().get()), "from_json");
    if (from_json_fn == nullptr) return nullptr;
    return Py_BuildValue("(N(s#))", from_json_fn, text.data(),
                         static_cast<Py_ssize_t>(text.size()));
  }

  static PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guard([&]() -> PyObject* {
      static const std::string fname = std::string(Def.name) + ".from_json()";
      static const auto sig = params(fname.c_str(), {"s"});
      Args a(sig);
      std::string_view text;
      if (!a.bind(args, nargs, kw) || !a.text(0, text)) return nullptr;
      return decode_text(text);
    });
  }

  static PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guard([&]() -> PyObject* {
      static const std::string fname = std::string(Def.name) + ".from_dict()";
      static const auto sig = params(fname.c_str(), {"d"});
      Args a(sig);
      if (!a.bind(args, nargs, kw) || !a.dict(0)) return nullptr;
      Ref text = Ref::steal(json_dumps(a[0]));
      if (!text) return nullptr;
      std::string_view view;
      if (!to_text(text.get(), "d", view)) return nullptr;
      return decode_text(view);
    });
  }

  // The class: the JSON and dict forms, then `extra` methods; a property per
  // field, then `extra_getset`.
  static ClassDef class_def(const char* doc, reprfunc repr,
                            std::initializer_list<PyMethodDef> extra = {},
                            std::initializer_list<PyGetSetDef> extra_getset = {},
                            JsonFormDocs docs = {}) {
    static std::vector<PyMethodDef> methods;
    methods = {
        {"from_json", ULO_FASTCALL(from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
         docs.from_json},
        {"to_json", method0<R, to_json>, METH_NOARGS, docs.to_json},
        ULO_JSON_DICT_METHODS(JsonForms),
    };
    methods.insert(methods.end(), extra);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return class_def_with(doc, repr, methods.data(), extra_getset);
  }

  // The same with a whole method table of the caller's.
  static ClassDef class_def_with(const char* doc, reprfunc repr, PyMethodDef* methods,
                                 std::initializer_list<PyGetSetDef> extra_getset = {}) {
    return table_class<R>(Def, doc, repr, methods, extra_getset);
  }
};

}  // namespace ulo::py
