// Fuzzes protocol-address URIs with two properties that together pin the
// parser down without a second copy of it:
//  - whatever parse_uri accepts prints back to exactly the same text, so
//    only canonical URIs are accepted;
//  - every address made from parts (any class, a type without '/', any
//    ref) prints to a URI that parses back to that address, so every
//    canonical URI is accepted.
// Equal addresses must hash alike, and no hash may be -1 (Python's error
// value).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "address.hpp"

namespace {

void check_hash(const ulo::ProtocolAddress& a, const ulo::ProtocolAddress& same) {
  if (ulo::content_hash(a) != ulo::content_hash(same) || ulo::content_hash(a) == -1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto parsed = ulo::parse_uri(text)) {
    if (ulo::to_uri(*parsed) != text || ulo::uri_size(*parsed) != size) std::abort();
    check_hash(*parsed, *ulo::parse_uri(std::string(text)));
  }
  if (size == 0) return 0;
  // The same bytes as parts: the first picks the class, the rest is the
  // type up to the first NUL (its slashes dropped) and the ref after it.
  ulo::ProtocolAddress made;
  made.cls = static_cast<ulo::AddressClass>(data[0] % ulo::names_of<ulo::AddressClass>().size());
  const std::string_view rest = text.substr(1);
  const std::size_t cut = rest.find('\0');
  for (const char c : rest.substr(0, cut)) {
    if (c != '/') made.type += c;
  }
  if (cut != std::string_view::npos) made.ref = rest.substr(cut + 1);
  const auto back = ulo::parse_uri(ulo::to_uri(made));
  if (!back || !(*back == made)) std::abort();
  check_hash(made, *back);
  return 0;
}
