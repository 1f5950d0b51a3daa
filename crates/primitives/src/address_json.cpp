// JSON form of protocol addresses, as embedded in other records.
#include "address.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

constexpr FieldDef kAddressFields[] = {
    field<&ProtocolAddress::cls>("class", "The address class."),
    field<&ProtocolAddress::type>("type", "The type part: free text, \"/\" included."),
    field<&ProtocolAddress::ref>("ref", "The reference part: free text, \"/\" included."),
};

}  // namespace

constexpr RecordDef kAddressRecord = record_def<kAddressFields>("ProtocolAddress");

}  // namespace ulo
