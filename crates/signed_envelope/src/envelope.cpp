#include "envelope.hpp"

#include "record_table.hpp"

namespace ulo {
namespace {

// The optional fields also take their default when a positional array ends
// early, so a short array reports the position of the next required field;
// absent ones are left out when writing.
constexpr FieldDef kEnvelopeFields[] = {
    field<&SignedEnvelope::exchange_id>("exchange_id"),
    field<&SignedEnvelope::peer_self>("peer_self", kAddressRecord),
    field<&SignedEnvelope::peer_counterparty>("peer_counterparty", kAddressRecord),
    field<&SignedEnvelope::direction>("direction"),
    field<&SignedEnvelope::request_hash>("request_hash"),
    field<&SignedEnvelope::response_hash>("response_hash"),
    field<&SignedEnvelope::counterparty_signature>("counterparty_signature"),
    field<&SignedEnvelope::our_signature>("our_signature"),
    field<&SignedEnvelope::opened_at>("opened_at"),
    field<&SignedEnvelope::closed_at>("closed_at"),
    field<&SignedEnvelope::protocol_hint>("protocol_hint"),
    field<&SignedEnvelope::counterparty_identifier>("counterparty_identifier"),
};

using Absent = FieldDef::Absent;
using Emit = FieldDef::Emit;

// Absent optional members are written as null.
constexpr FieldDef kCounterpartyFields[] = {
    field<&CounterpartyInfo::identifier>("identifier"),
    field<&CounterpartyInfo::protocol_hint>("protocol_hint"),
    field<&CounterpartyInfo::peer_address>("peer_address", Absent::defaulted, Emit::always),
    field<&CounterpartyInfo::counterparty_signature>("counterparty_signature",
                                                     Absent::defaulted, Emit::always),
};

}  // namespace

constexpr RecordDef kSignedEnvelopeRecord = record_def<kEnvelopeFields>("SignedEnvelope");
constexpr RecordDef kCounterpartyInfoRecord =
    record_def<kCounterpartyFields>("CounterpartyInfo");

namespace {
constexpr FieldDef kQueuedItemFields[] = {
    field<&QueuedItem::queue_id>("queue_id"),
    field<&QueuedItem::pair_class>("pair_class"),
    field<&QueuedItem::envelope>("envelope", kSignedEnvelopeRecord),
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
