// The pull reader every record's decoding is built on: JSON text in, values
// out under the decoding rules of the canonical form, and a failure that
// says what went wrong and where. Record tables drive it (record_table.hpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json_bytes.hpp"
#include "timestamp.hpp"

namespace ulo {

// A decoding failure: the description, then " at line L column C". `field`
// is the dotted path of wire names of the record fields whose members
// enclose the failure ("peer_self.class"), outermost first; empty when the
// failure lies outside every field.
struct JsonError {
  std::string message;
  std::string field;
  std::string hint;  // what is wrong, where the reader can say more than where
};

// Reads UTF-8 bytes. All functions return false on failure and leave the
// failure in the reader; the first failure wins.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  // Skips whitespace and returns the next byte without consuming it, or -1
  // at the end of the text.
  int peek_ws() {
    const std::size_t n = s_.size();
    while (i_ < n) {
      const char c = s_[i_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
      ++i_;
    }
    return -1;
  }
  void eat() { ++i_; }
  // Consumes `c` when it is the next byte after whitespace.
  bool take(char c) {
    if (peek_ws() != static_cast<unsigned char>(c)) return false;
    eat();
    return true;
  }
  // Consumes `,"<name>":` (or `"<name>":` for the first member) when it
  // stands exactly at the current position, as in compact canonical input.
  bool take_key(std::string_view name, bool separator) {
    const std::size_t need = name.size() + 3 + (separator ? 1 : 0);
    if (s_.size() - i_ < need) return false;
    const char* p = s_.data() + i_;
    if (separator && *p++ != ',') return false;
    if (p[0] != '"' || !json_bytes::same_bytes(p + 1, name.data(), name.size()) ||
        p[name.size() + 1] != '"' || p[name.size() + 2] != ':') {
      return false;
    }
    i_ += need;
    return true;
  }

  // Failure at the current position, at the peeked byte, or without a
  // position (placed later by the enclosing record or value).
  bool fail_here(std::string msg);
  bool fail_peek(std::string msg);
  bool fail_unplaced(std::string msg);
  // Says what is wrong beside the failure just recorded.
  void explain(std::string hint) { hint_ = std::move(hint); }
  bool failed() const { return failed_; }
  JsonError error() const;
  // Called on the way out of a failed field member, innermost first:
  // records the field's wire name and returns false. The path is built only
  // when something failed, so decoding pays nothing for it.
  bool failed_in(std::string_view field) {
    path_.push_back(field);
    return false;
  }

  // Reads the string whose opening quote was just consumed. With a plain
  // string (no escapes) `out` is a view into the text and `buf` is unused;
  // otherwise the decoded text is placed in `buf` and `out` views it.
  bool parse_str(std::string_view& out, std::string& buf) {
    // Most strings are plain: they end at the first stop byte, a quote.
    const std::size_t stop = json_bytes::find_stop(s_, i_);
    if (stop < s_.size() && s_[stop] == '"') {
      out = s_.substr(i_, stop - i_);
      i_ = stop + 1;
      return true;
    }
    return parse_str_slow(out, buf);
  }
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

  // An object or array whose opening bracket is next: counts the nesting
  // (the 128th level fails), runs `members` after the bracket, then reads
  // the closing bracket. After a failure inside, the closing bracket (and in
  // an array a comma with the blanks after it) is still consumed before an
  // unplaced failure takes its position.
  template <class Members>
  bool in_object(Members members) {
    return in_container(members, &JsonReader::end_object, &JsonReader::object_failed);
  }
  template <class Elements>
  bool in_array(Elements elements) {
    return in_container(elements, &JsonReader::end_array, &JsonReader::array_failed);
  }
  // Inside an array: `has` is false at the closing bracket, which is left
  // unread; otherwise an element follows, its separator consumed.
  bool next_element(bool& first, bool& has);
  // Inside an object: the next key, or `has` false at the closing bracket,
  // which is left unread.
  bool next_key(bool& first, std::string_view& key, std::string& buf, bool& has);
  // The colon after a key.
  bool object_colon();

  // Value readers with the decoding rules of the canonical form.
  bool read_string(std::string& out);
  bool read_bool(bool& out);
  bool read_timestamp(Timestamp& out);
  // An enumeration member: its exact name, or {"<name>": null}. Stores the
  // member's position in `names`.
  bool read_enum(std::span<const std::string_view> names, std::size_t& out);
  bool read_string_list(std::vector<std::string>& out);

 private:
  template <class Body>
  bool in_container(Body body, bool (JsonReader::*close)(), void (JsonReader::*on_failure)()) {
    if (!enter()) return false;
    eat();
    if (!body()) {
      (this->*on_failure)();
      return false;
    }
    leave();
    return (this->*close)();
  }
  bool fail(std::string msg, bool placed, std::size_t pos);
  bool enter();
  void leave() { ++remaining_depth_; }
  bool end_object();
  bool end_array();
  void object_failed();
  void array_failed();
  // Gives an unplaced failure the current position.
  void place_failure();
  bool next_member(bool& first, char close, const char* eof, const char* expected, bool& has,
                   int& c);
  // The string value ahead, as parse_str gives it; a value of another type
  // fails with "invalid type: ..., expected <expected>".
  bool string_value(std::string_view expected, std::string_view& out, std::string& buf) {
    const int c = peek_ws();
    if (c < 0) return fail_peek("EOF while parsing a value");
    if (c != '"') return invalid_type(expected);
    eat();
    return parse_str(out, buf);
  }
  bool parse_str_slow(std::string_view& out, std::string& buf);
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
  std::string hint_;
  std::vector<std::string_view> path_;  // innermost first; names are literals
};

// Inline, as the table walker reads every key through them.

// The separator protocol shared by arrays and objects: `has` is false at the
// closing bracket (left unread); otherwise `c` is the first byte of the next
// member, its separator consumed.
inline bool JsonReader::next_member(bool& first, char close, const char* eof, const char* expected,
                             bool& has, int& c) {
  c = peek_ws();
  has = c != close;
  if (!has) return true;
  if (c == ',' && !first) {
    eat();
    c = peek_ws();
  } else if (c < 0) {
    return fail_peek(eof);
  } else if (first) {
    first = false;
  } else {
    return fail_peek(expected);
  }
  return true;
}

inline bool JsonReader::next_element(bool& first, bool& has) {
  int c = 0;
  if (!next_member(first, ']', "EOF while parsing a list", "expected `,` or `]`", has, c) ||
      !has) {
    return !failed();
  }
  if (c == ']') return fail_peek("trailing comma");
  if (c < 0) return fail_peek("EOF while parsing a value");
  has = true;
  return true;
}

inline bool JsonReader::next_key(bool& first, std::string_view& key, std::string& buf, bool& has) {
  int c = 0;
  if (!next_member(first, '}', "EOF while parsing an object", "expected `,` or `}`", has, c) ||
      !has) {
    return !failed();
  }
  if (c == '"') {
    eat();
    has = true;
    return parse_str(key, buf);
  }
  if (c == '}') return fail_peek("trailing comma");
  if (c < 0) return fail_peek("EOF while parsing a value");
  return fail_peek("key must be a string");
}

inline bool JsonReader::object_colon() {
  if (take(':')) return true;
  return fail_peek(peek_ws() < 0 ? "EOF while parsing an object" : "expected `:`");
}

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
