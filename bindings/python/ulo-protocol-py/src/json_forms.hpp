// The JSON and dict forms of a record with a field table, as typed functions
// for a class's table: from_json, to_json, from_dict (from_json of
// json.dumps(d)), to_dict (json.loads of to_json()), and pickling through
// the JSON text.
#pragma once
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "errors.hpp"
#include "modules.hpp"
#include "record_table.hpp"
#include "types.hpp"

namespace ulo::py {

// What the four forms do, for classes whose protocol texts give only their
// signatures.
namespace json_docs {
inline constexpr const char* kFromJson =
    "Read an instance from its JSON text: an object, or an array holding the\n"
    "fields in order. Unknown keys are skipped. Raises `ValueError`\n"
    "\"invalid <class> JSON: ... at line L column C\"; when the fault lies\n"
    "inside a field, a note on the exception names it.";
inline constexpr const char* kToJson =
    "The canonical JSON text (`str`): compact, fields in wire order.";
inline constexpr const char* kFromDict =
    "Read an instance from its dict form: `json.dumps(d)` read as `from_json`\n"
    "reads text. Errors of `json.dumps` itself pass through unchanged. In a\n"
    "`ValueError` the line and column count characters of `json.dumps(d)`;\n"
    "notes on the exception say so and name the field at fault.";
inline constexpr const char* kToDict =
    "The dict form, `json.loads(self.to_json())`: the JSON text's keys in its\n"
    "order, with JSON values (timestamps stay text; absent optional fields\n"
    "are left out).";
}  // namespace json_docs

template <class R, const RecordDef* Table>
struct JsonForms {
  // `use` of the record's canonical text, which lives only for the call.
  template <class Use>
  static PyObject* encoded(const R& r, Use&& use) {
    return with_encoded_record(*Table, &r, std::forward<Use>(use));
  }

  // Decodes straight into the new object's record, so nothing is moved.
  static PyObject* decode(std::string_view text, JsonSource source) {
    R* record = nullptr;
    PyObject* obj = new_default<R>(record);
    if (obj == nullptr) return nullptr;
    if (auto error = decode_record_into(text, *Table, record)) {
      Py_DECREF(obj);
      return raise_error(*error, Table->name, source);
    }
    return obj;
  }

  static PyObject* from_json(std::string_view s) { return decode(s, JsonSource::text); }

  static PyObject* from_dict(Dict d) {
    Ref text = Ref::steal(json_dumps(d.object));
    if (!text) return nullptr;
    std::string_view view;
    if (!to_text(text.get(), "d", view)) return nullptr;
    return decode(view, JsonSource::dict);
  }

  static PyObject* to_json(const R& r) { return encoded(r, new_text); }
  static PyObject* to_dict(const R& r) { return encoded(r, json_loads); }

  // Pickles and copies travel as (Cls.from_json, (canonical JSON,)).
  static PyObject* reduce(const R& r) {
    PyObject* from_json_fn =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(cell_of<R>().get()), "from_json");
    if (from_json_fn == nullptr) return nullptr;
    return encoded(r, [&](std::string_view text) {
      return Py_BuildValue("(N(s#))", from_json_fn, text.data(),
                           static_cast<Py_ssize_t>(text.size()));
    });
  }
};

}  // namespace ulo::py
