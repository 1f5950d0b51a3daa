// Each record is described once, by a table of its fields in wire order. The
// table drives decoding, both encodings and, in the binding, the properties
// and the dict and pickle forms.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json_reader.hpp"
#include "json_writer.hpp"
#include "names.hpp"
#include "result.hpp"
#include "timestamp.hpp"

namespace ulo {

// Rows are made with field<&R::member>(...) below; the kind follows from the
// member's type.
enum class FieldKind : std::uint8_t {
  text,                // std::string
  optional_text,       // std::optional<std::string>
  timestamp,           // Timestamp
  optional_timestamp,  // std::optional<Timestamp>
  boolean,             // bool
  enumeration,         // an enum class with EnumNames
  record,              // a nested record with its own table
  optional_record,     // std::optional of one
  text_list,           // std::vector<std::string>
};

struct RecordDef;

struct FieldDef {
  enum class Absent : std::uint8_t {
    required,   // missing: "missing field"; positional: needs an element
    optional,   // missing key: absent; positional: needs an element
    defaulted,  // missing key or missing trailing element: default value
  };
  enum class Emit : std::uint8_t {
    always,      // an absent optional is written as null
    if_present,  // an absent optional, or an empty nested record, is left out
  };
  std::string_view name;  // a literal, so also usable as a C string
  bool (*read)(JsonReader&, const FieldDef&, void* record);
  Absent absent = Absent::required;
  FieldKind kind = FieldKind::text;
  Emit emit = Emit::always;
  void (*write)(JsonWriter&, const FieldDef&, const void* record) = nullptr;
  // The member inside `record`, for readers that switch on `kind`.
  const void* (*at)(const void* record) = nullptr;
  std::span<const std::string_view> names{};  // enumeration: member names by value
  const RecordDef* nested = nullptr;          // record kinds
  // What the value is, in a sentence; the binding adds how it is shown.
  std::string_view doc{};

  // Rows are made from string literals, so the name ends in a NUL.
  const char* c_name() const noexcept { return name.data(); }
};

struct RecordDef {
  std::string_view name;  // the class name, e.g. "SignedEnvelope"
  std::span<const FieldDef> fields;
  // Whether a nested value counts as empty (Emit::if_present leaves it out).
  bool (*empty)(const void* record) = nullptr;
  // The members written in one straight run (see record_def below); without
  // it write_record walks `fields`.
  void (*write_members)(JsonWriter&, const void* record) = nullptr;

  // Made from a string literal, so the name ends in a NUL.
  const char* c_name() const noexcept { return name.data(); }
};

// Reads a record given as an object or as a positional array.
bool read_record(JsonReader& r, const RecordDef& def, void* record);

// Writes a record as an object, its fields in table order. Inline, so that a
// nested record costs one indirect call.
inline void write_record(JsonWriter& w, const RecordDef& def, const void* record) {
  w.begin_object();
  if (def.write_members != nullptr) {
    def.write_members(w, record);
  } else {
    for (const FieldDef& f : def.fields) f.write(w, f, record);
  }
  w.end_object();
}

// `use(text)` of a record's canonical text, or of its indented layout.
template <class Use>
decltype(auto) with_encoded_record(const RecordDef& def, const void* record, Use&& use,
                                   bool indented = false) {
  return with_json([&](JsonWriter& w) { write_record(w, def, record); },
                   std::forward<Use>(use), indented);
}

// A record's canonical text, or its indented layout.
inline std::string encode_record(const RecordDef& def, const void* record,
                                 bool indented = false) {
  return write_json([&](JsonWriter& w) { write_record(w, def, record); }, indented);
}

// Decodes a whole text holding exactly one record into `out`, a
// default-constructed record; the error on failure.
inline std::optional<JsonError> decode_record_into(std::string_view text, const RecordDef& def,
                                                   void* out) {
  JsonReader r(text);
  if (!read_record(r, def, out) || !r.end()) return r.error();
  return std::nullopt;
}

// Decodes a whole text holding exactly one record.
template <class T>
Result<T, JsonError> decode_record(std::string_view text, const RecordDef& def) {
  JsonReader r(text);
  // Decoded in place and returned through one path, so the record is never
  // moved on its way out.
  Result<T, JsonError> out(std::in_place);
  if (!read_record(r, def, &*out) || !r.end()) out = unexpected(r.error());
  return out;
}

namespace fields {

template <class M>
struct member_traits;
template <class R, class T>
struct member_traits<T R::*> {
  using owner = R;
  using type = T;
};
// The record a member pointer belongs to, and the member's type.
template <auto M>
using owner_of = typename member_traits<decltype(M)>::owner;
template <auto M>
using member_type = typename member_traits<decltype(M)>::type;

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
constexpr FieldKind field_kind() {
  if constexpr (std::is_same_v<T, std::string>) return FieldKind::text;
  else if constexpr (std::is_same_v<T, std::optional<std::string>>) return FieldKind::optional_text;
  else if constexpr (std::is_same_v<T, Timestamp>) return FieldKind::timestamp;
  else if constexpr (std::is_same_v<T, std::optional<Timestamp>>) return FieldKind::optional_timestamp;
  else if constexpr (std::is_same_v<T, bool>) return FieldKind::boolean;
  else if constexpr (std::is_same_v<T, std::vector<std::string>>) return FieldKind::text_list;
  else if constexpr (std::is_enum_v<T>) return FieldKind::enumeration;
  else if constexpr (is_optional<T>::value) return FieldKind::optional_record;
  else return FieldKind::record;
}

// One value of a kind, read into `v` (the absent-optional case is handled by
// the caller).
template <class T>
bool read_value(JsonReader& r, const FieldDef& f, T& v) {
  if constexpr (std::is_same_v<T, std::string>) return r.read_string(v);
  else if constexpr (std::is_same_v<T, Timestamp>) return r.read_timestamp(v);
  else if constexpr (std::is_same_v<T, bool>) return r.read_bool(v);
  else if constexpr (std::is_same_v<T, std::vector<std::string>>) return r.read_string_list(v);
  else if constexpr (std::is_enum_v<T>) {
    static_assert(sizeof(T) == 1, "enumerations are stored as one byte");
    std::size_t k = 0;
    if (!r.read_enum(f.names, k)) return false;
    v = static_cast<T>(k);
    return true;
  } else {
    return read_record(r, *f.nested, &v);
  }
}

template <class T>
void write_value(JsonWriter& w, const FieldDef& f, const T& v) {
  if constexpr (std::is_same_v<T, std::string>) w.string(v);
  else if constexpr (std::is_same_v<T, Timestamp>) w.timestamp(v);
  else if constexpr (std::is_same_v<T, bool>) w.boolean(v);
  else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    w.begin_array();
    for (const std::string& s : v) {
      w.element();
      w.string(s);
    }
    w.end_array();
  } else if constexpr (std::is_enum_v<T>) {
    w.string(name_of(v));
  } else {
    write_record(w, *f.nested, &v);
  }
}

template <auto M>
bool read_member(JsonReader& r, const FieldDef& f, void* record) {
  auto& v = static_cast<owner_of<M>*>(record)->*M;
  using T = member_type<M>;
  if constexpr (is_optional<T>::value) {
    if (r.peek_ws() == 'n') {
      r.eat();
      v.reset();
      return r.parse_ident("ull");
    }
    return read_value(r, f, v.emplace());
  } else {
    return read_value(r, f, v);
  }
}

template <auto M>
void write_member(JsonWriter& w, const FieldDef& f, const void* record) {
  const auto& v = static_cast<const owner_of<M>*>(record)->*M;
  using T = member_type<M>;
  if constexpr (is_optional<T>::value) {
    if (!v) {
      if (f.emit == FieldDef::Emit::if_present) return;
      w.key(f.name);
      w.null();
      return;
    }
    w.key(f.name);
    write_value(w, f, *v);
  } else {
    if constexpr (field_kind<T>() == FieldKind::record) {
      if (f.emit == FieldDef::Emit::if_present && f.nested->empty(&v)) return;
    }
    w.key(f.name);
    write_value(w, f, v);
  }
}

template <auto M>
const void* member_at(const void* record) {
  return &(static_cast<const owner_of<M>*>(record)->*M);
}

// An enumeration row carries its names, for readers that switch on `kind`.
template <auto M>
constexpr FieldDef row(std::string_view name, std::string_view doc, FieldDef::Absent absent,
                       FieldDef::Emit emit, const RecordDef* nested) {
  using T = member_type<M>;
  std::span<const std::string_view> names;
  if constexpr (std::is_enum_v<T>) names = names_of<T>();
  return FieldDef{name,         read_member<M>, absent, field_kind<T>(), emit,
                  write_member<M>, member_at<M>, names,  nested,          doc};
}

// The kind's defaults: optional members may be missing and are left out
// when absent; everything else is required and always written.
template <auto M>
constexpr FieldDef::Absent default_absent() {
  return is_optional<member_type<M>>::value ? FieldDef::Absent::defaulted
                                            : FieldDef::Absent::required;
}
template <auto M>
constexpr FieldDef::Emit default_emit() {
  return is_optional<member_type<M>>::value ? FieldDef::Emit::if_present
                                            : FieldDef::Emit::always;
}

// Every row's writer called directly, in order: with the table a constant,
// the calls inline into straight-line code as a hand-written encoder would.
template <const auto& Fields>
void write_members(JsonWriter& w, const void* record) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (Fields[I].write(w, Fields[I], record), ...);
  }(std::make_index_sequence<std::size(Fields)>{});
}

}  // namespace fields

// The RecordDef of a field table.
template <const auto& Fields>
constexpr RecordDef record_def(std::string_view name, bool (*empty)(const void*) = nullptr) {
  return RecordDef{name, Fields, empty, fields::write_members<Fields>};
}

// A text, timestamp, boolean or enumeration member (or an optional one);
// an enumeration is written as its name. `doc` says what the value is.
template <auto M>
constexpr FieldDef field(std::string_view name, std::string_view doc,
                         FieldDef::Absent absent = fields::default_absent<M>(),
                         FieldDef::Emit emit = fields::default_emit<M>()) {
  return fields::row<M>(name, doc, absent, emit, nullptr);
}

// A nested record member (or an optional one).
template <auto M>
constexpr FieldDef field(std::string_view name, const RecordDef& nested, std::string_view doc,
                         FieldDef::Absent absent = fields::default_absent<M>(),
                         FieldDef::Emit emit = fields::default_emit<M>()) {
  return fields::row<M>(name, doc, absent, emit, &nested);
}

}  // namespace ulo
