#include "json_writer.hpp"

#include <algorithm>

#include "hex.hpp"
#include "json_bytes.hpp"

namespace ulo {

void JsonWriter::grow(std::size_t n) {
  const auto used = static_cast<std::size_t>(cur_ - begin_);
  const auto size = std::max(2 * static_cast<std::size_t>(end_ - begin_), used + n);
  auto bigger = std::make_unique_for_overwrite<char[]>(size);
  std::memcpy(bigger.get(), begin_, used);
  heap_ = std::move(bigger);
  begin_ = heap_.get();
  cur_ = begin_ + used;
  end_ = begin_ + size;
}

void JsonWriter::newline_indent() {
  const auto spaces = 2 * static_cast<std::size_t>(depth_);
  char* p = room(spaces + 1);
  *p = '\n';
  std::memset(p + 1, ' ', spaces);
  cur_ += spaces + 1;
}

void JsonWriter::open(char c) {
  put(c);
  ++depth_;
  has_member_ &= ~(std::uint64_t{1} << (depth_ & 63));
}

void JsonWriter::separate() {
  const std::uint64_t bit = std::uint64_t{1} << (depth_ & 63);
  if (has_member_ & bit) put(',');
  has_member_ |= bit;
  if (indented_) newline_indent();
}

void JsonWriter::close(char c) {
  const bool had = (has_member_ >> (depth_ & 63)) & 1;
  --depth_;
  if (indented_ && had) newline_indent();
  put(c);
}

void JsonWriter::key(std::string_view k) {
  separate();
  // Keys are the records' own field names: plain ASCII, nothing to escape.
  char* p = room(k.size() + 4);
  *p++ = '"';
  std::memcpy(p, k.data(), k.size());
  p += k.size();
  *p++ = '"';
  *p++ = ':';
  if (indented_) *p++ = ' ';
  cur_ = p;
}

void JsonWriter::string(std::string_view s) {
  put('"');
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t stop = json_bytes::find_escaped(s, i);
    put(s.substr(i, stop - i));
    i = stop;
    if (i >= s.size()) break;
    const auto c = static_cast<unsigned char>(s[i++]);
    switch (c) {
      case '"': put("\\\""); break;
      case '\\': put("\\\\"); break;
      case '\b': put("\\b"); break;
      case '\t': put("\\t"); break;
      case '\n': put("\\n"); break;
      case '\f': put("\\f"); break;
      case '\r': put("\\r"); break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', hex::kDigits[c >> 4], hex::kDigits[c & 0xF]};
        put(std::string_view(esc, 6));
      }
    }
  }
  put('"');
}

void JsonWriter::timestamp(Timestamp t) {
  char* p = room(kMaxTimestampChars + 2);
  *p++ = '"';
  p += write_timestamp(p, t);
  *p++ = '"';
  cur_ = p;
}

}  // namespace ulo
