// JSON form of peer identity descriptors, their surfaces and attestation
// chains.
#include "identity.hpp"
#include "record_table.hpp"
#include "names.hpp"

namespace ulo {
namespace {

constexpr std::string_view kSurfaceNames[] = {"software", "os_keychain", "secure_element",
                                              "external_hardware", "threshold"};

using Absent = FieldDef::Absent;

constexpr FieldDef kChainFields[] = {
    field<&AttestationChain::certs_b64>("certs_b64"),
    field<&AttestationChain::vendor>("vendor"),
};

}  // namespace

// A chain without certificates is left out of a descriptor, its vendor with it.
constexpr RecordDef kAttestationChainRecord = record_def<kChainFields>(
    "AttestationChain",
    [](const void* p) { return static_cast<const AttestationChain*>(p)->is_empty(); });

namespace {

// `attestation` defaults to the empty chain, also when a positional array
// ends before it; `superseded_by` takes null but needs its element.
constexpr FieldDef kDescriptorFields[] = {
    field<&PeerIdentityDescriptor::fingerprint>("fingerprint"),
    field<&PeerIdentityDescriptor::public_key_b64>("public_key_b64"),
    field<&PeerIdentityDescriptor::surface>("surface", kSurfaceNames),
    field<&PeerIdentityDescriptor::attestation>("attestation", kAttestationChainRecord,
                                                Absent::defaulted, FieldDef::Emit::if_present),
    field<&PeerIdentityDescriptor::created_at>("created_at"),
    field<&PeerIdentityDescriptor::superseded_by>("superseded_by", kAddressRecord,
                                                  Absent::optional),
};

}  // namespace

constexpr RecordDef kPeerIdentityDescriptorRecord =
    record_def<kDescriptorFields>("PeerIdentityDescriptor");

std::string_view surface_name(Surface s) { return name_of(kSurfaceNames, s); }

std::optional<Surface> surface_from_name(std::string_view name) {
  return value_named<Surface>(kSurfaceNames, name);
}

std::string descriptor_to_json(const PeerIdentityDescriptor& d) {
  return encode_record(kPeerIdentityDescriptorRecord, &d);
}

Result<PeerIdentityDescriptor, JsonError> descriptor_from_json(std::string_view text) {
  return decode_record<PeerIdentityDescriptor>(text, kPeerIdentityDescriptorRecord);
}

std::optional<JsonError> descriptor_from_json_into(std::string_view text,
                                                   PeerIdentityDescriptor& out) {
  return decode_record_into(text, kPeerIdentityDescriptorRecord, &out);
}

}  // namespace ulo
