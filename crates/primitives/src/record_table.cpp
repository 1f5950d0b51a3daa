// The table walker: reads a record, given as an object or as a positional
// array, into its members through the rows of its field table.
#include "record_table.hpp"

#include <string>

namespace ulo {
namespace {

bool visit_map(JsonReader& r, const RecordDef& schema, void* record) {
  std::uint32_t seen = 0;
  std::size_t next = 0;
  bool first = true;
  std::string buf;
  for (;;) {
    std::size_t k = next;
    // Canonical input lists the fields in order, compactly: try the next
    // field's key as a literal before reading a key in general. A repeated
    // key takes the general path, whose error stands before the colon.
    if (k < schema.fields.size() && !(seen & (std::uint32_t{1} << k)) &&
        r.take_key(schema.fields[k].name, !first)) {
      first = false;
    } else {
      std::string_view key;
      bool has = false;
      if (!r.next_key(first, key, buf, has)) return false;
      if (!has) break;
      if (k >= schema.fields.size() || schema.fields[k].name != key) {
        k = 0;
        while (k < schema.fields.size() && schema.fields[k].name != key) ++k;
      }
      if (k == schema.fields.size()) {
        if (!r.object_colon() || !r.skip_value()) return false;
        next = k + 1;
        continue;
      }
      if (!(seen & (std::uint32_t{1} << k)) && !r.object_colon()) return false;
    }
    next = k + 1;
    const std::uint32_t bit = std::uint32_t{1} << k;
    if (seen & bit) {
      return r.fail_unplaced("duplicate field `" + std::string(schema.fields[k].name) + "`");
    }
    if (!schema.fields[k].read(r, schema.fields[k], record)) return false;
    seen |= bit;
  }
  for (std::size_t k = 0; k < schema.fields.size(); ++k) {
    const FieldDef& f = schema.fields[k];
    if (!(seen & (std::uint32_t{1} << k)) && f.absent == FieldDef::Absent::required) {
      return r.fail_unplaced("missing field `" + std::string(f.name) + "`");
    }
  }
  return true;
}

bool visit_seq(JsonReader& r, const RecordDef& schema, void* record) {
  bool first = true;
  for (std::size_t k = 0; k < schema.fields.size(); ++k) {
    bool has = false;
    if (!r.next_element(first, has)) return false;
    if (!has) {
      // Defaulted fields may run off the end; the reported length is the
      // position of the first field that needed an element.
      if (schema.fields[k].absent == FieldDef::Absent::defaulted) continue;
      return r.fail_unplaced("invalid length " + std::to_string(k) + ", expected struct " +
                             std::string(schema.name) + " with " +
                             std::to_string(schema.fields.size()) + " elements");
    }
    if (!schema.fields[k].read(r, schema.fields[k], record)) return false;
  }
  return true;
}

}  // namespace

bool read_record(JsonReader& r, const RecordDef& schema, void* record) {
  const int c = r.peek_ws();
  if (c < 0) return r.fail_peek("EOF while parsing a value");
  if (c == '{') return r.in_object([&] { return visit_map(r, schema, record); });
  if (c == '[') return r.in_array([&] { return visit_seq(r, schema, record); });
  return r.invalid_type("struct " + std::string(schema.name));
}

}  // namespace ulo
