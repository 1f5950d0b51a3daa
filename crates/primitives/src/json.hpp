// Canonical JSON writing and the schema-directed pull reader that every
// record's from_json is built on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "address.hpp"
#include "result.hpp"
#include "timestamp.hpp"

namespace ulo {

// A decoding failure: the description, then " at line L column C".
struct JsonError {
  std::string message;
};

// Appends `s` as a JSON string: `"` and `\` escaped, the five short control
// escapes, other controls as \u00xx (lower-case hex); everything else raw.
void append_json_string(std::string& out, std::string_view s);

// Writes records and arrays either compactly (canonical form) or in the
// two-space indented layout of the queue files.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out, bool indented = false)
      : out_(out), indented_(indented) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Starts an object member: separator, layout, the key and the colon.
  void key(std::string_view k);
  // Starts an array element.
  void element() { separate(); }

  void string(std::string_view s) { append_json_string(out_, s); }
  void null() { out_ += "null"; }
  void boolean(bool b) { out_ += b ? "true" : "false"; }
  void timestamp(Timestamp t);
  void optional_string(const std::optional<std::string>& s) {
    if (s) string(*s); else null();
  }

 private:
  void open(char c);
  void close(char c);
  void separate();
  void newline_indent();

  std::string& out_;
  bool indented_;
  // One bit per open container: whether it has a member yet. Nesting in the
  // records written here never comes near 64.
  std::uint64_t has_member_ = 0;
  int depth_ = 0;
};

// --- Reading -------------------------------------------------------------

// A pull reader over UTF-8 bytes. All functions return false on failure and
// leave the failure in the reader; the first failure wins.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  // Skips whitespace and returns the next byte without consuming it, or -1
  // at the end of the text.
  int peek_ws();
  void eat() { ++i_; }
  std::size_t index() const { return i_; }

  // Failure at the current position, at the peeked byte, or without a
  // position (placed later by the enclosing record or value).
  bool fail_here(std::string msg);
  bool fail_peek(std::string msg);
  bool fail_unplaced(std::string msg);
  // Gives an unplaced failure the current position.
  void place_failure();
  bool failed() const { return failed_; }
  JsonError error() const;

  // Reads the string whose opening quote was just consumed. With a plain
  // string (no escapes) `out` is a view into the text and `buf` is unused;
  // otherwise the decoded text is placed in `buf` and `out` views it.
  bool parse_str(std::string_view& out, std::string& buf);
  // Reads the rest of a literal whose first byte was consumed.
  bool parse_ident(std::string_view rest);
  // Reads a value of any kind and discards it, without recursion and without
  // a depth limit.
  bool skip_value();
  // After a record's value: only whitespace may follow.
  bool end();

  // Fails with "invalid type: <found>, expected <what>" for the value ahead,
  // consuming scalars (so the position is after them) but not containers.
  bool invalid_type(std::string_view expected);

  // Nesting of known containers; the 128th level fails.
  bool enter();
  void leave() { ++remaining_depth_; }

  // Value readers with the decoding rules of the canonical form.
  bool read_string(std::string& out);
  bool read_optional_string(std::optional<std::string>& out);
  bool read_bool(bool& out);
  bool read_timestamp(Timestamp& out);
  bool read_optional_timestamp(std::optional<Timestamp>& out);
  // An enumeration member: its exact name, or {"<name>": null}. Stores the
  // member's position in `names`.
  bool read_enum(std::span<const std::string_view> names, std::size_t& out);
  bool read_string_list(std::vector<std::string>& out);

 private:
  bool parse_number_description(bool negative, std::string& found);
  bool skip_number();
  bool skip_str();
  bool read_variant(std::span<const std::string_view> names, std::size_t& out);
  bool parse_escape(std::string& buf);
  bool decode_hex(std::uint32_t& out);
  bool validate_utf8_at();

  std::string_view s_;
  std::size_t i_ = 0;
  int remaining_depth_ = 128;
  bool failed_ = false;
  bool placed_ = false;
  std::size_t err_pos_ = 0;
  std::string err_msg_;
};

// A record schema: the fields in declared order, each with the function that
// reads its value into the record.
struct JsonField {
  enum class Absent : std::uint8_t {
    required,   // missing: "missing field"; positional: needs an element
    optional,   // missing key: absent; positional: needs an element
    defaulted,  // missing key or missing trailing element: default value
  };
  std::string_view name;
  bool (*read)(JsonReader&, void* record);
  Absent absent = Absent::required;
};

struct JsonRecord {
  std::string_view name;  // e.g. "SignedEnvelope"
  std::span<const JsonField> fields;
};

// Reads a record given as an object or as a positional array.
bool read_record(JsonReader& r, const JsonRecord& schema, void* record);

// Decodes a whole text holding exactly one record.
template <class T>
Result<T, JsonError> decode_record(std::string_view text, const JsonRecord& schema) {
  JsonReader r(text);
  T value{};
  if (!read_record(r, schema, &value) || !r.end()) return unexpected(r.error());
  return value;
}

// The embedded form of a protocol address: {"class", "type", "ref"}.
void write_address(JsonWriter& w, const ProtocolAddress& a);
bool read_address(JsonReader& r, ProtocolAddress& out);
bool read_optional_address(JsonReader& r, std::optional<ProtocolAddress>& out);

// "unknown variant `v`, expected ..." with the member names.
std::string unknown_variant_message(std::string_view value,
                                    std::span<const std::string_view> names);

// Position of byte index `i` in `text`: the line counts line feeds before it
// (from 1), the column the bytes between the line's start and `i`.
struct JsonPosition {
  std::size_t line, column;
};
JsonPosition json_position(std::string_view text, std::size_t i);

}  // namespace ulo
