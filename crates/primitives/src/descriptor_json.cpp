// JSON form of peer identity descriptors and their attestation chains.
#include "identity.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

using Absent = FieldDef::Absent;

constexpr FieldDef kChainFields[] = {
    field<&AttestationChain::certs_b64>(
        "certs_b64", "The attestation certificates, Base64 text each, as given; never decoded."),
    field<&AttestationChain::vendor>("vendor", "The attesting vendor's name; may be empty."),
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
    field<&PeerIdentityDescriptor::fingerprint>(
        "fingerprint", "The key's fingerprint as received; never checked against the key."),
    field<&PeerIdentityDescriptor::public_key_b64>(
        "public_key_b64",
        "The 32-byte Ed25519 public key in standard Base64 without padding (43 characters)."),
    field<&PeerIdentityDescriptor::surface>("surface", "Where the private key is held."),
    field<&PeerIdentityDescriptor::attestation>(
        "attestation", kAttestationChainRecord,
        "The attestation chain; empty when the descriptor has none.", Absent::defaulted,
        FieldDef::Emit::if_present),
    field<&PeerIdentityDescriptor::created_at>(
        "created_at", "When the identity was minted: RFC 3339 text as received, never parsed."),
    field<&PeerIdentityDescriptor::superseded_by>(
        "superseded_by", kAddressRecord, "The address of the identity that replaces this one.",
        Absent::optional),
};

}  // namespace

constexpr RecordDef kPeerIdentityDescriptorRecord =
    record_def<kDescriptorFields>("PeerIdentityDescriptor");

}  // namespace ulo
