// Canonical JSON output: records and arrays written compactly, or in the
// two-space indented layout of the queue files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "timestamp.hpp"

namespace ulo {

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

  // `"` and `\` escaped, the five short control escapes, other controls as
  // \u00xx (lower-case hex); everything else raw.
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

}  // namespace ulo
