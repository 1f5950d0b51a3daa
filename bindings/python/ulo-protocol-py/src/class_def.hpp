// How a class is declared: one builder, Class<R, Table>::def, taking a
// ClassSpec whose named members override the defaults. A record with a field
// table gets a property per field; the rest is what the ClassSpec lists, each
// method one row made from a typed function (adaptors.hpp).
#pragma once
#include <concepts>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "adaptors.hpp"
#include "fields.hpp"
#include "json_forms.hpp"
#include "record_table.hpp"
#include "types.hpp"

namespace ulo::py {

enum class Equality { identity, content };

// The descriptions of from_json and to_json, after their text signatures;
// the usual ones unless a class has texts of its own.
struct JsonDocs {
  const char* from_json = json_docs::kFromJson;
  const char* to_json = json_docs::kToJson;
};

// A table field whose property has another name than its member.
struct Rename {
  std::string_view field;
  const char* property;
};

// Members in this order (designated initialisers follow it).
struct ClassSpec {
  const char* name = nullptr;  // default: the name of the record's table
  const char* doc = nullptr;   // a constructible class's follows its text signature
  reprfunc repr = nullptr;
  Constructor construct = {};
  // from_json, to_json, from_dict, to_dict and __reduce__, before `methods`.
  std::optional<JsonDocs> json = std::nullopt;
  std::initializer_list<MethodRow> methods = {};
  // After the property of each table field.
  std::initializer_list<PropertyRow> properties = {};
  std::initializer_list<Rename> renames = {};
  Equality equality = Equality::identity;
  reprfunc str = nullptr;
  hashfunc hash = nullptr;
  getiterfunc iter = nullptr;
  iternextfunc iternext = nullptr;
};

// R: the record an instance holds; Table: the address of its field table, if
// any. Told apart by type: sanitizer builds cannot compare an address with
// null at compile time.
template <class R, auto Table = nullptr>
struct Class {
  static constexpr bool kHasTable = !std::is_null_pointer_v<decltype(Table)>;

  // An instance method: Fn takes the record, then one parameter per name.
  // A doc of nullptr leaves the method without a docstring; otherwise its
  // docstring is the text signature, then `doc`.
  template <auto Fn, Name Py, Name... Ps>
  static MethodRow method(const char* doc = nullptr) {
    using B = adapt::Bound<R, true, Fn, Py, Ps...>;
    static_assert(std::same_as<std::tuple_element_t<0, typename B::Params>, const R&>,
                  "a method takes the instance's record first");
    return B::row(0, doc);
  }
  template <auto Fn, Name Py, Name... Ps>
  static MethodRow static_method(const char* doc = nullptr) {
    return adapt::Bound<R, false, Fn, Py, Ps...>::row(METH_STATIC, doc);
  }
  // A read-only property: Fn takes the record. `doc` says what the value is
  // and its Python type.
  template <auto Fn, Name Py>
  static PropertyRow property(const char* doc) {
    return {Py.text, getter_slot<Fn>, doc};
  }
  // __new__ from a typed function of the named parameters; no subclassing,
  // so what it returns is an instance of this class.
  template <auto Fn, Name... Ps>
  static Constructor constructor() {
    using B = adapt::Bound<R, false, Fn, "__new__", Ps...>;
    return {&B::construct, {B::kNames, B::kNames + B::kArity}};
  }
  // __new__ taking the table's fields, the first `Required` of them required.
  template <std::size_t Required>
  static Constructor fields_constructor() {
    static_assert(kHasTable, "a constructor from fields needs a field table");
    return {fields_new<R, Table, Required>, field_params<R, Table, Required>().shown()};
  }

  static ClassDef def(const ClassSpec& spec) {
    ClassDef c{spec.name, spec.doc, static_cast<int>(sizeof(Instance<R>)), dealloc_instance<R>,
               spec.repr, spec.construct, {}, {}};
    if constexpr (kHasTable) {
      if (c.name == nullptr) c.name = Table->c_name();
      if (spec.json) {
        using F = JsonForms<R, Table>;
        c.methods = {static_method<F::from_json, "from_json", "s">(spec.json->from_json),
                     method<F::to_json, "to_json">(spec.json->to_json),
                     static_method<F::from_dict, "from_dict", "d">(json_docs::kFromDict),
                     method<F::to_dict, "to_dict">(json_docs::kToDict),
                     method<F::reduce, "__reduce__">()};
      }
      for (const FieldDef& f : Table->fields) {
        c.properties.push_back({property_name(spec, f), field_getter<R>, field_doc(f),
                                const_cast<FieldDef*>(&f)});
      }
      c.table = Table;
      c.copy_out = [](const void* p) { return new_instance(*static_cast<const R*>(p)); };
      c.copy_out_optional = [](const void* p) -> PyObject* {
        const auto& v = *static_cast<const std::optional<R>*>(p);
        if (!v) Py_RETURN_NONE;
        return new_instance(*v);
      };
    } else if (spec.json) {
      panic("a JSON form needs a field table");
    }
    c.methods.insert(c.methods.end(), spec.methods);
    c.properties.insert(c.properties.end(), spec.properties);
    if (spec.equality == Equality::content) {
      if constexpr (std::equality_comparable<R>) {
        c.compare = richcompare<R>;
      } else {
        panic("content equality needs comparable records");
      }
    }
    c.hash = spec.hash;
    c.str = spec.str;
    c.iter = spec.iter;
    c.iternext = spec.iternext;
    return c;
  }

 private:
  static const char* property_name(const ClassSpec& spec, const FieldDef& f) {
    for (const Rename& r : spec.renames) {
      if (r.field == f.name) return r.property;
    }
    return f.c_name();
  }
};

}  // namespace ulo::py
