// JSON form of protocol addresses, as embedded in other records.
#include "address.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

constexpr FieldDef kAddressFields[] = {
    field<&ProtocolAddress::cls>("class"),
    field<&ProtocolAddress::type>("type"),
    field<&ProtocolAddress::ref>("ref"),
};

}  // namespace

constexpr RecordDef kAddressRecord = record_def<kAddressFields>("ProtocolAddress");

}  // namespace ulo
