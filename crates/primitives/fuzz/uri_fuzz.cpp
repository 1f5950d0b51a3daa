// Fuzzes protocol-address URIs: whatever parse_uri accepts must print back
// to the same text and parse again to the same address; the content hash
// must not depend on how the address was obtained; text that parses must
// have the scheme and a known class.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "address.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto a = ulo::parse_uri(text);
  if (!a) {
    // Rejection must come from the form: the scheme, two separators, a class.
    if (text.starts_with("tov://")) {
      const auto rest = text.substr(6);
      const auto first = rest.find('/');
      if (first != std::string_view::npos && rest.find('/', first + 1) != std::string_view::npos &&
          ulo::address_class_from_name(rest.substr(0, first)))
        std::abort();
    }
    return 0;
  }
  if (a->type.find('/') != std::string::npos) std::abort();
  const std::string uri = ulo::to_uri(*a);
  if (uri != text) std::abort();
  const auto again = ulo::parse_uri(uri);
  if (!again || !(*again == *a)) std::abort();
  if (ulo::content_hash(*again) != ulo::content_hash(*a)) std::abort();
  if (ulo::content_hash(*a) == -1) std::abort();
  return 0;
}
