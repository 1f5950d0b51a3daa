// Fuzzes the faster verification paths against the one-signature path on
// lanes decoded from the input (verify_lanes.hpp has the check).
// Input: lanes, one after another, until the data or 16 lanes run out:
//   kind even: key (32 bytes), signature length byte (mod 72), signature,
//              payload length byte, payload: arbitrary inputs;
//   kind odd:  identity byte (one of 8), payload length byte, payload,
//              mutation byte, two parameter bytes: a real signature turned
//              into an edge case (flipped bit, small-order or non-canonical
//              key or R, torsion added to key or R, S + L, wrong length).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "verify_lanes.hpp"

using namespace ulo::verify_lanes;

namespace {

struct Reader {
  const std::uint8_t* p;
  std::size_t left;
  std::optional<std::uint8_t> byte() {
    if (left == 0) return std::nullopt;
    --left;
    return *p++;
  }
  bool take(std::vector<std::uint8_t>& out, std::size_t n) {
    if (n > left) return false;
    out.assign(p, p + n);
    p += n;
    left -= n;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ed::ensure_sodium();
  Reader in{data, size};
  std::vector<Lane> lanes;
  while (lanes.size() < 16) {
    const auto kind = in.byte();
    if (!kind) break;
    Lane lane;
    if ((*kind & 1) == 0) {
      std::vector<std::uint8_t> key;
      if (!in.take(key, 32)) break;
      std::memcpy(lane.key.data(), key.data(), 32);
      const auto sig_len = in.byte();
      if (!sig_len || !in.take(lane.sig, *sig_len % 72)) break;
      const auto payload_len = in.byte();
      if (!payload_len || !in.take(lane.payload, *payload_len)) break;
    } else {
      const auto who = in.byte(), payload_len = in.byte();
      if (!who || !payload_len || !in.take(lane.payload, *payload_len)) break;
      const ulo::SoftwareIdentity& id = identities()[*who % 8];
      lane.key = id.public_key();
      const auto sig = id.sign(lane.payload);
      lane.sig.assign(sig.begin(), sig.end());
      const auto how = in.byte(), a = in.byte(), b = in.byte();
      if (!how || !a || !b) break;
      mutate(lane, *how, *a, *b);
      if (lane.key == id.public_key()) lane.table = tables()[*who % 8].get();
    }
    lanes.push_back(std::move(lane));
  }
  check(lanes);
  return 0;
}
