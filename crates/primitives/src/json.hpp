// Canonical JSON writing and the schema-directed pull reader that every
// record's from_json is built on (record tables: record_table.hpp).
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // Appends to `out`; call finish() once when the value is complete.
  explicit JsonWriter(std::string& out, bool indented = false);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  // Trims `out` to the bytes written.
  void finish();

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Starts an object member: separator, layout, the key and the colon.
  void key(std::string_view k);
  // Starts an array element.
  void element() { separate(); }

  void string(std::string_view s);
  void null() { put("null"); }
  void boolean(bool b) { put(b ? std::string_view("true") : std::string_view("false")); }
  void timestamp(Timestamp t);
  void optional_string(const std::optional<std::string>& s) {
    if (s) string(*s); else null();
  }

 private:
  // Writes go through a raw cursor into `out`, grown on demand: far cheaper
  // than one checked std::string append per token.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) grow(n);
    return cur_;
  }
  void put(char c) {
    *room(1) = c;
    ++cur_;
  }
  void put(std::string_view s) {
    std::memcpy(room(s.size()), s.data(), s.size());
    cur_ += s.size();
  }
  void grow(std::size_t n);
  void open(char c);
  void close(char c);
  void separate();
  void newline_indent();

  std::string& out_;
  char* cur_;
  char* end_;
  bool indented_;
  // One bit per open container: whether it has a member yet. Nesting in the
  // records written here never comes near 64.
  std::uint64_t has_member_ = 0;
  int depth_ = 0;
};

namespace json_detail {

// Bytes that end the plain run of a string: '"', '\\', controls and the
// first byte of every non-ASCII sequence (checked for valid UTF-8).
inline constexpr auto kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  for (int c = 0x80; c < 0x100; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit set in each byte of `w` that canonical output escapes (quote,
// backslash, control). Bits above the first true hit may be spurious
// (borrows), so only the lowest set bit is meaningful.
inline std::uint64_t escape_mask(std::uint64_t w) {
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t bslash = w ^ (kOnes * '\\');
  const std::uint64_t zero_q = (quote - kOnes) & ~quote;
  const std::uint64_t zero_b = (bslash - kOnes) & ~bslash;
  const std::uint64_t ctrl = (w - kOnes * 0x20) & ~w;
  return (zero_q | zero_b | ctrl) & kHighs;
}

// The same plus non-ASCII bytes: what stops a plain run when reading
// (multi-byte sequences are checked for valid UTF-8).
inline std::uint64_t stop_mask(std::uint64_t w) { return escape_mask(w) | (w & kHighs); }

// Equality of two short byte runs of length n, inline: record keys and
// member names are too short for a library call to pay off.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++a, ++b, --n) {
    if (*a != *b) return false;
  }
  return true;
}

// Index of the first stop byte at or after `i`.
inline std::size_t scan_plain(std::string_view s, std::size_t i) {
  const char* p = s.data();
  const std::size_t n = s.size();
  while (n - i >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (const std::uint64_t m = stop_mask(w)) {
      return i + static_cast<std::size_t>(std::countr_zero(m) >> 3);
    }
    i += 8;
  }
  while (i < n && !kStringStop[static_cast<unsigned char>(p[i])]) ++i;
  return i;
}

}  // namespace json_detail

// The text written by `body(JsonWriter&)`, finished: the one way records
// are encoded, so no caller can forget finish().
template <class F>
std::string write_json(F&& body, bool indented = false) {
  std::string out;
  JsonWriter w(out, indented);
  body(w);
  w.finish();
  return out;
}

// --- Reading -------------------------------------------------------------

// A pull reader over UTF-8 bytes. All functions return false on failure and
// leave the failure in the reader; the first failure wins.
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
  std::size_t index() const { return i_; }
  // Consumes `,"<name>":` (or `"<name>":` for the first member) when it
  // stands exactly at the current position, as in compact canonical input.
  bool take_key(std::string_view name, bool separator) {
    const std::size_t need = name.size() + 3 + (separator ? 1 : 0);
    if (s_.size() - i_ < need) return false;
    const char* p = s_.data() + i_;
    if (separator && *p++ != ',') return false;
    if (p[0] != '"' || !json_detail::same_bytes(p + 1, name.data(), name.size()) ||
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
  // Gives an unplaced failure the current position.
  void place_failure();
  bool failed() const { return failed_; }
  JsonError error() const;

  // Reads the string whose opening quote was just consumed. With a plain
  // string (no escapes) `out` is a view into the text and `buf` is unused;
  // otherwise the decoded text is placed in `buf` and `out` views it.
  bool parse_str(std::string_view& out, std::string& buf) {
    // Most strings are plain: they end at the first stop byte, a quote.
    const std::size_t stop = json_detail::scan_plain(s_, i_);
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
};

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
