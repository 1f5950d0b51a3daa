#include "fields.hpp"

#include <map>

#include "classes.hpp"
#include "envelope.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

// Nested records become instances of their classes.
PyObject* record_value(const RecordDef& def, const void* p) {
  if (&def == &kAddressRecord) return new_protocol_address(*static_cast<const ProtocolAddress*>(p));
  if (&def == &kAttestationChainRecord) {
    return new_attestation_chain(*static_cast<const AttestationChain*>(p));
  }
  if (&def == &kSignedEnvelopeRecord) {
    return new_signed_envelope(*static_cast<const SignedEnvelope*>(p));
  }
  panic("no Python class for nested record `" + std::string(def.name) + "`");
}

PyObject* text_list(const std::vector<std::string>& items) {
  return new_list(items, [](const std::string& s) { return new_text(s); });
}

}  // namespace

PyObject* field_value(const FieldDef& f, const void* record) {
  const void* v = f.at(record);
  switch (f.kind) {
    case FieldKind::text:
      return new_text(*static_cast<const std::string*>(v));
    case FieldKind::optional_text:
      return new_opt_text(*static_cast<const std::optional<std::string>*>(v));
    case FieldKind::timestamp:
      return new_datetime(*static_cast<const Timestamp*>(v));
    case FieldKind::optional_timestamp: {
      const auto& t = *static_cast<const std::optional<Timestamp>*>(v);
      if (!t) Py_RETURN_NONE;
      return new_datetime(*t);
    }
    case FieldKind::boolean:
      return new_bool(*static_cast<const bool*>(v));
    case FieldKind::enumeration: {
      // Every enumeration is stored in one byte (checked where rows are made).
      const auto k = *static_cast<const std::uint8_t*>(v);
      return new_text(name_at(f.names, k));
    }
    case FieldKind::record:
      return record_value(*f.nested, v);
    case FieldKind::optional_record: {
      // Only addresses are optional nested records.
      if (f.nested == &kAddressRecord) {
        const auto& a = *static_cast<const std::optional<ProtocolAddress>*>(v);
        if (!a) Py_RETURN_NONE;
        return new_protocol_address(*a);
      }
      panic("no optional form for nested record `" + std::string(f.nested->name) + "`");
    }
    case FieldKind::text_list:
      return text_list(*static_cast<const std::vector<std::string>*>(v));
  }
  panic("unknown field kind");
}

PyObject* reduce_by_fields(PyTypeObject* type, const RecordDef& def, const void* record) {
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
  // Interned once: building the key strings anew each call dominated. Never
  // destroyed, so the references stay reachable until the process ends.
  static auto& keys = *new std::map<const FieldDef*, PyObject*>;
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const FieldDef& f : def.fields) {
    PyObject*& key = keys[&f];
    if (key == nullptr) {
      key = PyUnicode_InternFromString(f.c_name());
      if (key == nullptr) return nullptr;
    }
    Ref v = Ref::steal(field_value(f, record));
    if (!v || PyDict_SetItem(d.get(), key, v.get()) != 0) return nullptr;
  }
  return d.release();
}

}  // namespace ulo::py
