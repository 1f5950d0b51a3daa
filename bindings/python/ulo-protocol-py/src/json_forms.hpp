// The JSON and dict forms of a record with a field table, as typed functions
// for a class's table: from_json, to_json, from_dict (from_json of
// json.dumps(d)), to_dict (json.loads of to_json()), and pickling through
// the JSON text.
#pragma once
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "modules.hpp"
#include "record_table.hpp"
#include "types.hpp"

namespace ulo::py {

template <class R, const RecordDef* Table>
struct JsonForms {
  static std::string encode(const R& r) { return encode_record(*Table, &r); }

  // Decodes straight into the new object's record, so nothing is moved.
  static PyObject* decode(std::string_view text) {
    R* record = nullptr;
    PyObject* obj = new_default<R>(record);
    if (obj == nullptr) return nullptr;
    if (auto error = decode_record_into(text, *Table, record)) {
      Py_DECREF(obj);
      return raise_value_error("invalid " + std::string(Table->name) + " JSON: " + error->message);
    }
    return obj;
  }

  static PyObject* from_json(std::string_view s) { return decode(s); }

  static PyObject* from_dict(Dict d) {
    Ref text = Ref::steal(json_dumps(d.object));
    if (!text) return nullptr;
    std::string_view view;
    if (!to_text(text.get(), "d", view)) return nullptr;
    return decode(view);
  }

  static PyObject* to_json(const R& r) { return new_text(encode(r)); }
  static PyObject* to_dict(const R& r) { return json_loads(encode(r)); }

  // Pickles and copies travel as (Cls.from_json, (canonical JSON,)).
  static PyObject* reduce(const R& r) {
    const std::string text = encode(r);
    PyObject* from_json_fn =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(cell_of<R>().get()), "from_json");
    if (from_json_fn == nullptr) return nullptr;
    return Py_BuildValue("(N(s#))", from_json_fn, text.data(),
                         static_cast<Py_ssize_t>(text.size()));
  }
};

}  // namespace ulo::py
