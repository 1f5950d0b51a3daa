// Fuzzes verify_signature and checks it against two references:
//  - our own arithmetic alone (ed25519::verify_own) must give the same
//    verdict as the combined fast/slow path, for every input;
//  - for canonical keys and R not of small order, libsodium's verdict.
// Input: mode byte, then
//   mode even: key-text length byte, key text, signature length byte,
//              signature, payload (arbitrary bytes);
//   mode odd:  32-byte seed, 64-byte mask, payload: a real signature with
//              the mask xor-ed in, so that near-valid inputs are reached.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base64.hpp"
#include "ed25519.hpp"
#include "identity.hpp"

namespace {

void check(std::string_view key_text, ulo::Bytes payload, ulo::Bytes sig) {
  namespace ed = ulo::ed25519;
  const auto result = ulo::verify_signature(key_text, payload, sig);
  const auto key = ulo::base64::decode_unpadded(key_text);
  if (!key || key->size() != 32) {
    if (result || result.error() != ulo::VerifyError::BadPublicKey) std::abort();
    return;
  }
  const ed::Encoding k{key->data(), 32};
  const ed::Verdict own = ed::verify_own(k, payload, sig);
  const ed::Verdict expected = result ? ed::Verdict::ok
                               : result.error() == ulo::VerifyError::BadPublicKey
                                   ? ed::Verdict::bad_key
                                   : ed::Verdict::bad_signature;
  if (own != expected) std::abort();
  if (sig.size() == 64 && ed::is_ordinary(k) && ed::is_ordinary(ed::Encoding{sig.data(), 32})) {
    const bool lib =
        crypto_sign_verify_detached(sig.data(), payload.data(), payload.size(), key->data()) == 0;
    if (lib != (own == ed::Verdict::ok)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  if ((mode & 1) == 0) {
    if (size < 1) return 0;
    const std::size_t key_len = data[0] % 64;
    if (size < 2 + key_len) return 0;
    const std::string key_text(reinterpret_cast<const char*>(data + 1), key_len);
    const std::size_t sig_len = std::min<std::size_t>(data[1 + key_len] % 72, size - 2 - key_len);
    const std::uint8_t* sig = data + 2 + key_len;
    const std::uint8_t* payload = sig + sig_len;
    const std::size_t payload_len = size - 2 - key_len - sig_len;
    check(key_text, {payload, payload_len}, {sig, sig_len});
    return 0;
  }
  if (size < 96) return 0;
  auto id = ulo::SoftwareIdentity::from_seed({data, 32});
  const ulo::Bytes payload{data + 96, size - 96};
  auto sig = id->sign(payload);
  for (std::size_t i = 0; i < 64; ++i) sig[i] ^= data[32 + i];
  check(id->descriptor().public_key_b64, payload, sig);
  return 0;
}
