// Signed envelopes (the wire record of one completed exchange) and
// counterparty information.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "address.hpp"
#include "result.hpp"
#include "timestamp.hpp"

namespace ulo {

struct JsonError;
struct RecordDef;

enum class Direction : std::uint8_t { outbound, inbound };
std::string_view direction_name(Direction d);

struct SignedEnvelope {
  std::string exchange_id;
  ProtocolAddress peer_self;
  std::optional<ProtocolAddress> peer_counterparty;
  Direction direction = Direction::outbound;
  std::string request_hash;
  std::optional<std::string> response_hash;
  std::optional<std::string> counterparty_signature;
  std::string our_signature;
  Timestamp opened_at;
  std::optional<Timestamp> closed_at;
  std::string protocol_hint;
  std::string counterparty_identifier;
  bool operator==(const SignedEnvelope&) const = default;
};

// The field tables (JSON form and Python properties).
extern const RecordDef kSignedEnvelopeRecord;
extern const RecordDef kCounterpartyInfoRecord;
extern const RecordDef kQueuedItemRecord;

std::string envelope_to_json(const SignedEnvelope& e);
Result<SignedEnvelope, JsonError> envelope_from_json(std::string_view text);
// The same into a default-constructed record, which is never moved.
std::optional<JsonError> envelope_from_json_into(std::string_view text, SignedEnvelope& out);
// Canonical JSON of [exchange_id, request_hash, response_hash or null].
std::string canonical_signing_bytes(const SignedEnvelope& e);

struct CounterpartyInfo {
  std::string identifier;
  std::string protocol_hint;
  std::optional<std::string> peer_address;
  std::optional<std::string> counterparty_signature;
  bool operator==(const CounterpartyInfo&) const = default;
};

// All four fields, absent ones as null.
std::string counterparty_to_json(const CounterpartyInfo& c);

// One spilled record of the envelope queue.
struct QueuedItem {
  std::string queue_id;
  std::string pair_class;
  SignedEnvelope envelope;
  bool operator==(const QueuedItem&) const = default;
};

// The queue's file layout: two-space indentation, no final line feed.
std::string queued_item_to_indented_json(const QueuedItem& item);
Result<QueuedItem, JsonError> queued_item_from_json(std::string_view text);

}  // namespace ulo
