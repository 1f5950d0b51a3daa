#include "fields.hpp"

#include <optional>

#include "modules.hpp"
#include "names.hpp"

namespace ulo::py {
namespace {

// datetime holds years 1 to 9999 only: the failure names the field and the
// value, and where the text form is; its message stays datetime's own.
PyObject* datetime_of(const FieldDef& f, const Timestamp& t) {
  PyObject* out = new_datetime(t);
  if (out != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) return out;
  PendingError e = PendingError::take();
  const std::string note = "field '" + std::string(f.name) + "' holds " + format_timestamp(t) +
                           ", outside the years 1 to 9999 that datetime can hold; to_json() "
                           "and to_dict() give it as text";
  if (e.value() != nullptr && !add_note(e.value(), note)) return nullptr;
  e.restore();
  return nullptr;
}

}  // namespace

PyObject* field_value(const FieldDef& f, const void* record) {
  const void* v = f.at(record);
  switch (f.kind) {
    case FieldKind::text:
      return new_text(*static_cast<const std::string*>(v));
    case FieldKind::optional_text: {
      const auto& s = *static_cast<const std::optional<std::string>*>(v);
      if (!s) Py_RETURN_NONE;
      return new_text(*s);
    }
    case FieldKind::timestamp:
      return datetime_of(f, *static_cast<const Timestamp*>(v));
    case FieldKind::optional_timestamp: {
      const auto& t = *static_cast<const std::optional<Timestamp>*>(v);
      if (!t) Py_RETURN_NONE;
      return datetime_of(f, *t);
    }
    case FieldKind::boolean:
      return new_bool(*static_cast<const bool*>(v));
    case FieldKind::enumeration:
      // Every enumeration is stored in one byte (checked where rows are made).
      return new_text(name_at(f.names, *static_cast<const std::uint8_t*>(v)));
    case FieldKind::record:
      return TypeCell::of_table(*f.nested).def().copy_out(v);
    case FieldKind::optional_record:
      return TypeCell::of_table(*f.nested).def().copy_out_optional(v);
    case FieldKind::text_list:
      return new_list(*static_cast<const std::vector<std::string>*>(v),
                      [](const std::string& s) { return new_text(s); });
  }
  panic("unknown field kind");
}

std::string field_doc(const FieldDef& f) {
  std::string doc(f.doc);
  doc += "\n\nType: ";
  switch (f.kind) {
    case FieldKind::text:
      return doc + "`str`.";
    case FieldKind::optional_text:
      return doc + "`str`, or None when absent.";
    case FieldKind::timestamp:
      return doc + "`datetime.datetime`, timezone-aware in UTC, to the microsecond.";
    case FieldKind::optional_timestamp:
      return doc + "`datetime.datetime`, timezone-aware in UTC, to the microsecond; or None "
                   "when absent.";
    case FieldKind::boolean:
      return doc + "`bool`.";
    case FieldKind::enumeration:
      doc += "`str`, one of";
      for (std::size_t i = 0; i < f.names.size(); ++i) {
        doc += i == 0 ? " \"" : ", \"";
        doc += f.names[i];
        doc += '"';
      }
      return doc + ".";
    case FieldKind::record:
      return doc + "`" + std::string(f.nested->name) + "`, a new copy at each access.";
    case FieldKind::optional_record:
      return doc + "`" + std::string(f.nested->name) +
             "`, a new copy at each access; or None when absent.";
    case FieldKind::text_list:
      return doc + "`list` of `str`, a new list at each access.";
  }
  panic("unknown field kind");
}

PyObject* reduce_fields(PyTypeObject* type, const RecordDef& def, const void* record) {
  Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.fields.size())));
  if (!args) return nullptr;
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    PyObject* v = field_value(def.fields[i], record);
    if (v == nullptr) return nullptr;
    PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), v);  // steals v
  }
  return Py_BuildValue("(ON)", type, args.release());
}

PyObject* fields_dict(const RecordDef& def, const void* record) {
  // The keys are interned once, in the class's cell: building the key
  // strings anew each call dominated.
  const TypeCell& cell = TypeCell::of_table(def);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    PyObject* key = cell.field_key(i);
    if (key == nullptr) return nullptr;
    Ref v = Ref::steal(field_value(def.fields[i], record));
    if (!v || PyDict_SetItem(d.get(), key, v.get()) != 0) return nullptr;
  }
  return d.release();
}

FieldParams::FieldParams(const RecordDef& def, std::size_t required)
    : function(std::string(def.name) + ".__new__()"), signature{} {
  if (def.fields.size() > kMaxFieldParams) panic("too many fields for a constructor");
  for (const FieldDef& f : def.fields) {
    if (f.kind != FieldKind::text && f.kind != FieldKind::optional_text &&
        f.kind != FieldKind::text_list) {
      panic("no constructor parameter for field `" + std::string(f.name) + "`");
    }
    names.push_back(f.c_name());
    takes_none.push_back(f.kind == FieldKind::optional_text);
  }
  signature = Signature{function.c_str(), names, required};
}

std::vector<std::string> FieldParams::shown() const {
  std::vector<std::string> out(names.begin(), names.end());
  for (std::size_t i = signature.required; i < out.size(); ++i) {
    // An optional field takes None; the others keep the record's default.
    out[i] += takes_none[i] ? "=None" : "=...";
  }
  return out;
}

bool set_fields(const RecordDef& def, PyObject* const* values, void* record) {
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    const FieldDef& f = def.fields[i];
    PyObject* v = values[i];
    if (v == nullptr) continue;  // omitted: the record's default
    // The record is new and ours: its members may be written.
    void* member = const_cast<void*>(f.at(record));
    switch (f.kind) {
      case FieldKind::text: {
        std::string_view s;
        if (!to_text(v, f.c_name(), s)) return false;
        static_cast<std::string*>(member)->assign(s);
        break;
      }
      case FieldKind::optional_text: {
        std::optional<std::string_view> s;
        if (!to_opt_text(v, f.c_name(), s)) return false;
        auto& out = *static_cast<std::optional<std::string>*>(member);
        if (s) out.emplace(*s); else out.reset();
        break;
      }
      case FieldKind::text_list:
        if (!to_text_list(v, f.c_name(), *static_cast<std::vector<std::string>*>(member))) {
          return false;
        }
        break;
      default:
        panic("no constructor parameter for field `" + std::string(f.name) + "`");
    }
  }
  return true;
}

}  // namespace ulo::py
