#include "identity.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "base64.hpp"
#include "ed25519.hpp"
#include "hex.hpp"

namespace ulo {

namespace {

Result<void, VerifyError> result_of(ed25519::Verdict verdict) {
  switch (verdict) {
    case ed25519::Verdict::ok:
      return {};
    case ed25519::Verdict::bad_key:
      return unexpected(VerifyError::BadPublicKey);
    case ed25519::Verdict::bad_signature:
      break;
  }
  return unexpected(VerifyError::BadSignature);
}

}  // namespace

Result<void, VerifyError> verify_signature(std::string_view public_key_b64, Bytes payload,
                                           Bytes signature) {
  const auto key = base64::decode_unpadded(public_key_b64);
  if (!key || key->size() != 32) return unexpected(VerifyError::BadPublicKey);
  return result_of(ed25519::verify(ed25519::Encoding{key->data(), 32}, payload, signature).verdict);
}

Result<void, VerifyError> verify_descriptor(const PeerIdentityDescriptor& descriptor,
                                            Bytes payload, Bytes signature) {
  const auto key = base64::decode_unpadded(descriptor.public_key_b64);
  if (!key || key->size() != 32) return unexpected(VerifyError::BadPublicKey);
  const ed25519::Encoding encoding{key->data(), 32};
  if (const ed25519::KeyTable* table = descriptor.key_cache.table_for(encoding)) {
    return result_of(ed25519::verify_with(*table, payload, signature));
  }
  return result_of(ed25519::verify(encoding, payload, signature).verdict);
}

KeyCache& KeyCache::operator=(const KeyCache& other) noexcept {
  // A descriptor given another's value may have another key: start over.
  if (this != &other) {
    delete_key_table(table_.exchange(nullptr, std::memory_order_acq_rel));
    uses_.store(0, std::memory_order_relaxed);
  }
  return *this;
}

KeyCache::~KeyCache() { delete_key_table(table_.load(std::memory_order_acquire)); }

const ed25519::KeyTable* KeyCache::ready_table(ed25519::Encoding key) const {
  const ed25519::KeyTable* t = table_.load(std::memory_order_acquire);
  return t != nullptr && ed25519::table_matches(*t, key) ? t : nullptr;
}

const ed25519::KeyTable* KeyCache::table_for(ed25519::Encoding key) const {
  if (table_.load(std::memory_order_relaxed) != nullptr) return ready_table(key);
  // Past the threshold with no table: being built by another caller, or the
  // key is not a point. Either way this call goes the ordinary way.
  if (uses_.load(std::memory_order_relaxed) > kHotAfter || ed25519::portable_only()) return nullptr;
  if (uses_.fetch_add(1, std::memory_order_relaxed) != kHotAfter) return nullptr;
  ed25519::KeyTablePtr built = ed25519::make_key_table(key);
  if (!built) return nullptr;
  const ed25519::KeyTable* expected = nullptr;
  if (table_.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel)) {
    return built.release();
  }
  return ed25519::table_matches(*expected, key) ? expected : nullptr;
}

Result<void, StrictVerifyError> verify_signature_strict(std::string_view public_key_b64,
                                                        Bytes payload, Bytes signature) {
  const auto key = base64::decode_unpadded(public_key_b64);
  if (key && key->size() == 32) {
    const ed25519::Encoding encoding{key->data(), 32};
    // The protocol's own refusal of a key comes first.
    if (ed25519::is_point(encoding) && !ed25519::is_ordinary(encoding)) {
      return unexpected(StrictVerifyError{VerifyError::BadPublicKey,
                                          ed25519::has_small_order(encoding)
                                              ? Weakness::small_order_key
                                              : Weakness::non_canonical_key});
    }
  }
  if (key && key->size() == 32 && signature.size() == 64 &&
      ed25519::has_small_order(ed25519::Encoding{signature.data(), 32})) {
    return unexpected(StrictVerifyError{VerifyError::BadSignature, Weakness::small_order_r});
  }
  auto verified = verify_signature(public_key_b64, payload, signature);
  if (!verified) return unexpected(StrictVerifyError{verified.error()});
  return {};
}

bool has_small_order_key(std::string_view public_key_b64) {
  const auto key = base64::decode_unpadded(public_key_b64);
  return key && key->size() == 32 && ed25519::has_small_order(ed25519::Encoding{key->data(), 32});
}

Result<std::string, FingerprintError> fingerprint_of(Bytes public_key) {
  if (public_key.size() != 32) return unexpected(FingerprintError::BadLength);
  const ed25519::Encoding encoding{public_key.data(), 32};
  if (!ed25519::is_point(encoding)) return unexpected(FingerprintError::NotAPoint);
  std::array<std::uint8_t, 32> key;
  std::memcpy(key.data(), public_key.data(), 32);
  return fingerprint_hex(key);
}

std::string fingerprint_hex(const std::array<std::uint8_t, 32>& public_key) {
  ed25519::ensure_sodium();
  std::uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, public_key.data(), public_key.size());
  return hex::encode(std::span(digest, 16));
}

SoftwareIdentity::SoftwareIdentity(const Seed& seed) : seed_(seed) {
  ed25519::ensure_sodium();
  // The library hashes the seed into the secret-key buffer and then
  // overwrites it with seed || public key; wipe that copy too.
  std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key_.data(), sk, seed_.data());
  sodium_memzero(sk, sizeof sk);
}

std::optional<SoftwareIdentity> SoftwareIdentity::from_seed(Bytes seed) {
  if (seed.size() != 32) return std::nullopt;
  Seed fixed;
  std::memcpy(fixed.data(), seed.data(), fixed.size());
  std::optional<SoftwareIdentity> id{SoftwareIdentity(fixed)};
  sodium_memzero(fixed.data(), fixed.size());
  return id;
}

namespace {

// Kernels before 3.17 have no getrandom: their /dev/urandom is the source.
int read_urandom(std::span<std::uint8_t> out) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::size_t have = 0;
  int err = 0;
  while (have < out.size() && err == 0) {
    const ssize_t got = ::read(fd, out.data() + have, out.size() - have);
    if (got > 0) have += static_cast<std::size_t>(got);
    else if (got == 0) err = EIO;
    else if (errno != EINTR) err = errno;
  }
  ::close(fd);
  return err;
}

// The kernel's random source through the system call: the libc wrappers
// (getentropy, getrandom) are newer than the oldest glibc the wheels load on.
int fill_random(std::span<std::uint8_t> out) {
  std::size_t have = 0;
  while (have < out.size()) {
    const long got = ::syscall(SYS_getrandom, out.data() + have, out.size() - have, 0);
    if (got >= 0) {
      have += static_cast<std::size_t>(got);
    } else if (errno == ENOSYS) {
      return read_urandom(out.subspan(have));
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

Result<SoftwareIdentity, std::string> SoftwareIdentity::generate() {
  Seed seed;
  if (const int err = fill_random(seed); err != 0) {
    return unexpected(std::error_code(err, std::generic_category()).message());
  }
  SoftwareIdentity id(seed);
  sodium_memzero(seed.data(), seed.size());
  return id;
}

SoftwareIdentity::SoftwareIdentity(SoftwareIdentity&& other) noexcept
    : seed_(other.seed_), public_key_(other.public_key_) {
  sodium_memzero(other.seed_.data(), other.seed_.size());
}

SoftwareIdentity::~SoftwareIdentity() { sodium_memzero(seed_.data(), seed_.size()); }

SoftwareIdentity::Signature SoftwareIdentity::sign(Bytes payload) const {
  // The library's signing key is seed || public key; it hashes the seed
  // itself, so this costs exactly one library signing call.
  std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
  std::memcpy(sk, seed_.data(), 32);
  std::memcpy(sk + 32, public_key_.data(), 32);
  Signature sig;
  crypto_sign_detached(sig.data(), nullptr, payload.data(), payload.size(), sk);
  sodium_memzero(sk, sizeof sk);
  return sig;
}

std::string SoftwareIdentity::fingerprint() const { return fingerprint_hex(public_key_); }

PeerIdentityDescriptor SoftwareIdentity::descriptor() const {
  PeerIdentityDescriptor d;
  d.fingerprint = fingerprint();
  d.public_key_b64 = base64::encode_unpadded(public_key_);
  d.surface = Surface::software;
  d.created_at = std::string(kSoftwareCreatedAt);
  return d;
}

}  // namespace ulo
