// Feeds arbitrary bytes to every record's decoder. A decoder must either fail
// with a positioned message or give a record whose encoding decodes back to
// an equal record (and re-encodes to the same bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "anchor.hpp"
#include "envelope.hpp"
#include "identity.hpp"
#include "record_table.hpp"

namespace {

// The record decoded from `text`, or nothing after checking the failure
// ends with its position.
template <class T>
std::optional<T> decoded(std::string_view text, const ulo::RecordDef& def) {
  auto r = ulo::decode_record<T>(text, def);
  if (r) return std::move(*r);
  if (r.error().message.find(" at line ") == std::string::npos) std::abort();
  return std::nullopt;
}

template <class T>
void round_trip(std::string_view text, const ulo::RecordDef& def, bool indented = false) {
  const auto first = decoded<T>(text, def);
  if (!first) return;
  const std::string encoded = ulo::encode_record(def, &*first, indented);
  const auto second = decoded<T>(encoded, def);
  if (!second || !(*second == *first)) std::abort();
  if (ulo::encode_record(def, &*second, indented) != encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  round_trip<ulo::SignedEnvelope>(text, ulo::kSignedEnvelopeRecord);
  round_trip<ulo::QueuedItem>(text, ulo::kQueuedItemRecord, /*indented=*/true);
  round_trip<ulo::CounterpartyInfo>(text, ulo::kCounterpartyInfoRecord);
  round_trip<ulo::ProtocolAddress>(text, ulo::kAddressRecord);
  round_trip<ulo::AnchorReceipt>(text, ulo::kAnchorReceiptRecord);
  round_trip<ulo::AnchorProof>(text, ulo::kAnchorProofRecord);
  // A vendor without certificates is not written, so compare after one
  // encode/decode cycle, when that part is settled.
  if (const auto d = decoded<ulo::PeerIdentityDescriptor>(text, ulo::kPeerIdentityDescriptorRecord)) {
    round_trip<ulo::PeerIdentityDescriptor>(
        ulo::encode_record(ulo::kPeerIdentityDescriptorRecord, &*d),
        ulo::kPeerIdentityDescriptorRecord);
  }
  return 0;
}
