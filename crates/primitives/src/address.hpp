// Protocol addresses: tov://<class>/<type>/<ref>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "names.hpp"

namespace ulo {

struct RecordDef;

enum class AddressClass : std::uint8_t {
  body, act, datum, prop, discard, pair, doc, evidence, route, mediation, count_
};
// In URIs, in JSON and in error messages.
template <>
struct EnumNames<AddressClass> {
  static constexpr std::string_view names[] = {"body", "act",      "datum", "prop",  "discard",
                                               "pair", "doc", "evidence", "route", "mediation"};
};

struct ProtocolAddress {
  AddressClass cls = AddressClass::body;
  std::string type;
  std::string ref;
  bool operator==(const ProtocolAddress&) const = default;
};

// The embedded JSON form, {"class", "type", "ref"}.
extern const RecordDef kAddressRecord;

// No address when the text is not of the URI form.
std::optional<ProtocolAddress> parse_uri(std::string_view uri);
// The URI's length, and the URI written to `out`, which has room for it.
std::size_t uri_size(const ProtocolAddress& a);
void write_uri(const ProtocolAddress& a, char* out);
std::string to_uri(const ProtocolAddress& a);
// SipHash-1-3 under the zero key; -1 is mapped to -2.
std::int64_t content_hash(const ProtocolAddress& a);

}  // namespace ulo
