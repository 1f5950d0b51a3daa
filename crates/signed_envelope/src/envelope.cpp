#include "envelope.hpp"

#include "record_table.hpp"

namespace ulo {
namespace {

// The optional fields also take their default when a positional array ends
// early, so a short array reports the position of the next required field;
// absent ones are left out when writing.
constexpr FieldDef kEnvelopeFields[] = {
    field<&SignedEnvelope::exchange_id>("exchange_id", "The exchange's id; signed over."),
    field<&SignedEnvelope::peer_self>("peer_self", kAddressRecord, "This peer's address."),
    field<&SignedEnvelope::peer_counterparty>("peer_counterparty", kAddressRecord,
                                              "The counterparty's address."),
    field<&SignedEnvelope::direction>(
        "direction", "Whether the exchange went out from `peer_self` or came in to it."),
    field<&SignedEnvelope::request_hash>("request_hash",
                                         "Hash of the request, opaque text; signed over."),
    field<&SignedEnvelope::response_hash>("response_hash",
                                          "Hash of the response, opaque text; signed over."),
    field<&SignedEnvelope::counterparty_signature>("counterparty_signature",
                                                   "The counterparty's signature, opaque text."),
    field<&SignedEnvelope::our_signature>(
        "our_signature", "This peer's signature over `canonical_signing_bytes()`, opaque text."),
    field<&SignedEnvelope::opened_at>("opened_at", "When the exchange opened."),
    field<&SignedEnvelope::closed_at>("closed_at", "When the exchange closed."),
    field<&SignedEnvelope::protocol_hint>("protocol_hint",
                                          "The protocol the exchange used, such as \"quic\"."),
    field<&SignedEnvelope::counterparty_identifier>(
        "counterparty_identifier", "The counterparty's identifier, such as a URL."),
};

using Absent = FieldDef::Absent;
using Emit = FieldDef::Emit;

// Absent optional members are written as null.
constexpr FieldDef kCounterpartyFields[] = {
    field<&CounterpartyInfo::identifier>("identifier", "The counterparty's identifier."),
    field<&CounterpartyInfo::protocol_hint>("protocol_hint",
                                            "The protocol used with the counterparty."),
    field<&CounterpartyInfo::peer_address>("peer_address", "The counterparty's address, as text.",
                                           Absent::defaulted, Emit::always),
    field<&CounterpartyInfo::counterparty_signature>(
        "counterparty_signature", "The counterparty's signature, opaque text.", Absent::defaulted,
        Emit::always),
};

}  // namespace

constexpr RecordDef kSignedEnvelopeRecord = record_def<kEnvelopeFields>("SignedEnvelope");
constexpr RecordDef kCounterpartyInfoRecord =
    record_def<kCounterpartyFields>("CounterpartyInfo");

namespace {
constexpr FieldDef kQueuedItemFields[] = {
    field<&QueuedItem::queue_id>("queue_id",
                                 "The item's id: its envelope's `exchange_id` when pushed."),
    field<&QueuedItem::pair_class>("pair_class", "The pair class it was to be emitted as."),
    field<&QueuedItem::envelope>("envelope", kSignedEnvelopeRecord, "The spilled envelope."),
};
}  // namespace

constexpr RecordDef kQueuedItemRecord = record_def<kQueuedItemFields>("QueuedItem");

// The signed bytes are a positional array, not the record's own form.
std::string canonical_signing_bytes(const SignedEnvelope& e) {
  return write_json([&](JsonWriter& w) {
    w.begin_array();
    w.element();
    w.string(e.exchange_id);
    w.element();
    w.string(e.request_hash);
    w.element();
    w.optional_string(e.response_hash);
    w.end_array();
  });
}

}  // namespace ulo
