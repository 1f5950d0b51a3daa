// Properties and pickle forms driven by a record's field table: one value
// conversion per field kind, none per field.
#pragma once
#include <initializer_list>
#include <vector>

#include "record_table.hpp"
#include "toolkit.hpp"

namespace ulo::py {

// The Python value of one field of `record`.
PyObject* field_value(const FieldDef& f, const void* record);

template <class R>
PyObject* field_getter(PyObject* self, void* closure) {
  return guard([&] { return field_value(*static_cast<const FieldDef*>(closure), &record_of<R>(self)); });
}

// One read-only property per field, named as on the wire, then `extra`;
// ends with the sentinel row.
template <class R>
std::vector<PyGetSetDef> field_getset(const RecordDef& def,
                                      std::initializer_list<PyGetSetDef> extra = {}) {
  std::vector<PyGetSetDef> rows;
  rows.reserve(def.fields.size() + extra.size() + 1);
  for (const FieldDef& f : def.fields) {
    rows.push_back({f.c_name(), field_getter<R>, nullptr, nullptr, const_cast<FieldDef*>(&f)});
  }
  rows.insert(rows.end(), extra);
  rows.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
  return rows;
}

// A class whose properties are its record's fields (then `extra`), with
// content equality; the class name is the table's.
template <class R>
ClassDef table_class(const RecordDef& def, const char* doc, reprfunc repr, PyMethodDef* methods,
                     std::initializer_list<PyGetSetDef> extra = {}) {
  static std::vector<PyGetSetDef> getset;
  getset = field_getset<R>(def, extra);
  ClassDef c = record_class<R>(def.c_name(), doc, repr);
  c.methods = methods;
  c.getset = getset.data();
  c.compare = richcompare<R>;
  return c;
}

// (type, (field values...)): the pickle form of a class whose constructor
// takes its fields in table order.
PyObject* reduce_by_fields(PyTypeObject* type, const RecordDef& def, const void* record);

// A dict of the fields' values under their wire names (keys interned once).
PyObject* fields_dict(const RecordDef& def, const void* record);

}  // namespace ulo::py
