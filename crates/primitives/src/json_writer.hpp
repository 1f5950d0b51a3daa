// Canonical JSON output: records and arrays written compactly, or in the
// two-space indented layout of the queue files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "timestamp.hpp"

namespace ulo {

class JsonWriter {
 public:
  explicit JsonWriter(bool indented = false) noexcept : indented_(indented) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  // The bytes written so far; valid until the next write.
  std::string_view view() const noexcept {
    return {begin_, static_cast<std::size_t>(cur_ - begin_)};
  }

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
  // Writes go through a raw cursor, far cheaper than one checked append per
  // token. A record's text usually fits the inline buffer, so encoding
  // allocates nothing until the caller takes the bytes.
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

  static constexpr std::size_t kInline = 512;
  char inline_[kInline];
  std::unique_ptr<char[]> heap_;
  char* begin_ = inline_;
  char* cur_ = inline_;
  char* end_ = inline_ + kInline;
  bool indented_;
  // One bit per open container: whether it has a member yet. Nesting in the
  // records written here never comes near 64.
  std::uint64_t has_member_ = 0;
  int depth_ = 0;
};

// `use(text)` of the text written by `body(JsonWriter&)`: the bytes are
// handed over in place, so a caller that copies them anyway (into a Python
// object, say) pays for no intermediate string.
template <class Body, class Use>
decltype(auto) with_json(Body&& body, Use&& use, bool indented = false) {
  JsonWriter w(indented);
  body(w);
  return use(w.view());
}

// The text written by `body(JsonWriter&)`.
template <class Body>
std::string write_json(Body&& body, bool indented = false) {
  return with_json(body, [](std::string_view text) { return std::string(text); }, indented);
}

}  // namespace ulo
