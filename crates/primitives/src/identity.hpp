// Peer identities: surfaces, attestation chains, descriptors, verification and
// tier-0 software keys.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "address.hpp"
#include "ed25519.hpp"
#include "names.hpp"
#include "result.hpp"

namespace ulo {

struct RecordDef;

// The position of a surface is its tier.
enum class Surface : std::uint8_t {
  software, os_keychain, secure_element, external_hardware, threshold, count_
};
template <>
struct EnumNames<Surface> {
  static constexpr std::string_view names[] = {"software", "os_keychain", "secure_element",
                                               "external_hardware", "threshold"};
};
inline int surface_tier(Surface s) { return static_cast<int>(s); }
inline bool surface_hardware_attested(Surface s) { return surface_tier(s) >= 2; }

struct AttestationChain {
  std::vector<std::string> certs_b64;
  std::string vendor;
  bool is_empty() const { return certs_b64.empty(); }
  bool operator==(const AttestationChain&) const = default;
};

// What a descriptor learns by being used: once its key has verified
// kHotAfter times it keeps a table of the key's multiples (one per
// descriptor, ed25519::kKeyTableBytes, about 30 KB) that makes each further
// verification cheaper. The table is built once, by the one caller that
// crosses the threshold, and published with a compare-exchange, so
// concurrent verifiers take no lock. Not part of the value: copies start
// empty and any two compare equal.
class KeyCache {
 public:
  static constexpr std::uint32_t kHotAfter = 8;

  KeyCache() noexcept = default;
  KeyCache(const KeyCache&) noexcept {}
  KeyCache& operator=(const KeyCache&) noexcept;
  ~KeyCache();
  bool operator==(const KeyCache&) const noexcept { return true; }

  // The table for `key` once it is hot, else null (also for a key that is
  // not a point, which never gets one).
  const ed25519::KeyTable* table_for(ed25519::Encoding key) const;
  // The table for `key` if one is made already; neither counts nor builds,
  // so batches never fill memory with tables of keys seen a few times each.
  const ed25519::KeyTable* ready_table(ed25519::Encoding key) const;

 private:
  mutable std::atomic<std::uint32_t> uses_{0};
  mutable std::atomic<const ed25519::KeyTable*> table_{nullptr};
};

// Compact canonical JSON: attestation written only with certificates,
// superseded_by only when present.
struct PeerIdentityDescriptor {
  std::string fingerprint;
  std::string public_key_b64;
  Surface surface = Surface::software;
  AttestationChain attestation;
  std::string created_at;
  std::optional<ProtocolAddress> superseded_by;
  KeyCache key_cache;
  bool operator==(const PeerIdentityDescriptor&) const = default;
};

// The field tables (JSON form and Python properties).
extern const RecordDef kAttestationChainRecord;
extern const RecordDef kPeerIdentityDescriptorRecord;

using Bytes = std::span<const std::uint8_t>;

enum class VerifyError : std::uint8_t { BadPublicKey, BadSignature, count_ };
template <>
struct EnumNames<VerifyError> {
  static constexpr std::string_view names[] = {"BadPublicKey", "BadSignature"};
};

// What the strict check refuses that the protocol's check lets through.
enum class Weakness : std::uint8_t { none, small_order_key, non_canonical_key, small_order_r };
struct StrictVerifyError {
  VerifyError error;
  Weakness weakness = Weakness::none;
};

// verify_signature, refusing besides what libsodium's own verification
// refuses up front: keys of small order (anyone can sign for them) or with
// a non-canonical encoding (BadPublicKey), and R of small order
// (BadSignature). Success means both checks pass.
Result<void, StrictVerifyError> verify_signature_strict(std::string_view public_key_b64,
                                                        Bytes payload, Bytes signature);
// Whether the key text decodes to a point of small order.
bool has_small_order_key(std::string_view public_key_b64);

// Ed25519 (cofactorless, lenient point decoding) over the strict unpadded
// Base64 key text.
Result<void, VerifyError> verify_signature(std::string_view public_key_b64,
                                           Bytes payload, Bytes signature);

// verify_signature with the descriptor's key, through its key cache.
Result<void, VerifyError> verify_descriptor(const PeerIdentityDescriptor& descriptor,
                                            Bytes payload, Bytes signature);

enum class FingerprintError : std::uint8_t { BadLength, NotAPoint };
// Fingerprint of raw key bytes: checks length and point decoding first.
Result<std::string, FingerprintError> fingerprint_of(Bytes public_key);
// First 16 bytes of SHA-256 as lowercase hex; no checks.
std::string fingerprint_hex(const std::array<std::uint8_t, 32>& public_key);

inline constexpr std::string_view kSoftwareCreatedAt = "2026-04-15T00:00:00Z";

class SoftwareIdentity {
 public:
  using Seed = std::array<std::uint8_t, 32>;
  using PublicKey = std::array<std::uint8_t, 32>;
  using Signature = std::array<std::uint8_t, 64>;

  // Fails when the seed is not exactly 32 bytes.
  static std::optional<SoftwareIdentity> from_seed(Bytes seed);
  // Fails with the random source's error text.
  static Result<SoftwareIdentity, std::string> generate();

  SoftwareIdentity(const SoftwareIdentity&) = delete;
  SoftwareIdentity& operator=(const SoftwareIdentity&) = delete;
  SoftwareIdentity(SoftwareIdentity&& other) noexcept;
  SoftwareIdentity& operator=(SoftwareIdentity&&) = delete;
  ~SoftwareIdentity();

  Signature sign(Bytes payload) const;
  const PublicKey& public_key() const { return public_key_; }
  const Seed& seed() const { return seed_; }
  std::string fingerprint() const;
  PeerIdentityDescriptor descriptor() const;

 private:
  SoftwareIdentity() = default;
  // The key pair of a seed whose size the type guarantees.
  explicit SoftwareIdentity(const Seed& seed);
  Seed seed_{};
  PublicKey public_key_{};
};

}  // namespace ulo
