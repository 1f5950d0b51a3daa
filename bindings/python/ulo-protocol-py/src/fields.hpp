// What a record's field table gives its class: a property per field, the
// dict and pickle forms, and a constructor taking the fields in table
// order. One value conversion per field kind, none per field.
#pragma once
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "record_table.hpp"
#include "types.hpp"

namespace ulo::py {

// The Python value of one field of `record`.
PyObject* field_value(const FieldDef& f, const void* record);

template <class R>
PyObject* field_getter(PyObject* self, void* closure) {
  return guard([&] { return field_value(*static_cast<const FieldDef*>(closure), &record_of<R>(self)); });
}

// (type, (field values...)): the pickle form of a class whose constructor
// takes its fields in table order, as fields_constructor's does.
PyObject* reduce_fields(PyTypeObject* type, const RecordDef& def, const void* record);
template <class R, const RecordDef* Table>
PyObject* reduce_by_fields(const R& r) {
  return reduce_fields(cell_of<R>().get(), *Table, &r);
}

// A dict of the fields' values under their wire names (keys interned once).
PyObject* fields_dict(const RecordDef& def, const void* record);

// The constructor's parameters: the fields under their wire names, in table
// order, the first `required` of them required; the table's name is the
// class's. An omitted one keeps the
// record's default; text, optional text (which takes None) and text-list
// fields can be parameters.
struct FieldParams {
  FieldParams(const RecordDef& def, std::size_t required);
  std::vector<const char*> names;
  std::vector<bool> takes_none;
  std::string function;
  Signature signature;
  // As the class's text signature shows them: "name", "name=None", "name=...".
  std::vector<std::string> shown() const;
};
// Converts the bound arguments into the record's members.
bool set_fields(const RecordDef& def, PyObject* const* values, void* record);

inline constexpr std::size_t kMaxFieldParams = 16;

template <class R, const RecordDef* Table, std::size_t Required>
const FieldParams& field_params() {
  static const FieldParams params(*Table, Required);
  return params;
}

template <class R, const RecordDef* Table, std::size_t Required>
PyObject* fields_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    const FieldParams& params = field_params<R, Table, Required>();
    std::array<PyObject*, kMaxFieldParams> bound{};
    if (!bind_tuple(params.signature, args, kwargs, bound.data())) return nullptr;
    R record;
    if (!set_fields(*Table, bound.data(), &record)) return nullptr;
    return new_instance(std::move(record));
  });
}

}  // namespace ulo::py
