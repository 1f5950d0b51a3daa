// Protocol addresses: tov://<class>/<type>/<ref>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ulo {

enum class AddressClass : std::uint8_t {
  body, act, datum, prop, discard, pair, doc, evidence, route, mediation
};
inline constexpr int kAddressClassCount = 10;
// The class names by value: in URIs, in JSON and in error messages.
inline constexpr std::string_view kAddressClassNames[kAddressClassCount] = {
    "body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route", "mediation"};

std::string_view address_class_name(AddressClass c);
std::optional<AddressClass> address_class_from_name(std::string_view name);

struct ProtocolAddress {
  AddressClass cls = AddressClass::body;
  std::string type;
  std::string ref;
  bool operator==(const ProtocolAddress&) const = default;
};

// No address when the text is not of the URI form.
std::optional<ProtocolAddress> parse_uri(std::string_view uri);
// The URI's length, and the URI written to `out`, which has room for it.
std::size_t uri_size(const ProtocolAddress& a);
void write_uri(const ProtocolAddress& a, char* out);
std::string to_uri(const ProtocolAddress& a);
// SipHash-1-3 under the zero key; -1 is mapped to -2.
std::int64_t content_hash(const ProtocolAddress& a);
std::uint64_t siphash13(std::string_view data);

}  // namespace ulo
