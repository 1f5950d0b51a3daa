// JSON form of peer identity descriptors and their attestation chains.
#include "identity.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

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
    field<&PeerIdentityDescriptor::surface>("surface"),
    field<&PeerIdentityDescriptor::attestation>("attestation", kAttestationChainRecord,
                                                Absent::defaulted, FieldDef::Emit::if_present),
    field<&PeerIdentityDescriptor::created_at>("created_at"),
    field<&PeerIdentityDescriptor::superseded_by>("superseded_by", kAddressRecord,
                                                  Absent::optional),
};

}  // namespace

constexpr RecordDef kPeerIdentityDescriptorRecord =
    record_def<kDescriptorFields>("PeerIdentityDescriptor");

}  // namespace ulo
