// Feeds arbitrary bytes to every record decoder. A decoder must either fail
// with a positioned message or give a record whose encoding decodes back to
// an equal record (and re-encodes to the same bytes).
//
// Needs a compiler whose standard library provides std::expected for
// non-trivial types (GCC 12+, or clang 16+ with libstdc++).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "anchor.hpp"
#include "envelope.hpp"
#include "identity.hpp"
#include "json.hpp"

namespace {

void check_error(const ulo::JsonError& e) {
  // Every decoder message ends with the position.
  if (e.message.find(" at line ") == std::string::npos) std::abort();
}

template <class T, class Decode, class Encode>
void round_trip(std::string_view text, Decode decode, Encode encode) {
  auto first = decode(text);
  if (!first) {
    check_error(first.error());
    return;
  }
  const std::string encoded = encode(*first);
  auto second = decode(encoded);
  if (!second || !(*second == *first)) std::abort();
  if (encode(*second) != encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  round_trip<ulo::SignedEnvelope>(text, ulo::envelope_from_json, ulo::envelope_to_json);
  round_trip<ulo::QueuedItem>(text, ulo::queued_item_from_json,
                              ulo::queued_item_to_indented_json);
  round_trip<ulo::AnchorReceipt>(text, ulo::receipt_from_json, ulo::receipt_to_json);
  round_trip<ulo::AnchorProof>(text, ulo::proof_from_json, ulo::proof_to_json);
  // A vendor without certificates is not written, so compare after one
  // encode/decode cycle, when that part is settled.
  auto d = ulo::descriptor_from_json(text);
  if (!d) {
    check_error(d.error());
  } else {
    round_trip<ulo::PeerIdentityDescriptor>(ulo::descriptor_to_json(*d),
                                            ulo::descriptor_from_json, ulo::descriptor_to_json);
  }
  return 0;
}
