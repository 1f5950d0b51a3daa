// Signed envelopes (the wire record of one completed exchange), counterparty
// information and queued items. Each is read and written through its field
// table with decode_record / encode_record (record_table.hpp).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "address.hpp"
#include "names.hpp"
#include "timestamp.hpp"

namespace ulo {

struct RecordDef;

enum class Direction : std::uint8_t { outbound, inbound, count_ };
template <>
struct EnumNames<Direction> {
  static constexpr std::string_view names[] = {"outbound", "inbound"};
};

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

// Canonical JSON of [exchange_id, request_hash, response_hash or null].
std::string canonical_signing_bytes(const SignedEnvelope& e);

// Written with all four fields, absent ones as null.
struct CounterpartyInfo {
  std::string identifier;
  std::string protocol_hint;
  std::optional<std::string> peer_address;
  std::optional<std::string> counterparty_signature;
  bool operator==(const CounterpartyInfo&) const = default;
};

// One spilled record of the envelope queue. Its file holds the indented
// layout (two-space indentation, no final line feed).
struct QueuedItem {
  std::string queue_id;
  std::string pair_class;
  SignedEnvelope envelope;
  bool operator==(const QueuedItem&) const = default;
};

// The field tables (JSON form and Python properties).
extern const RecordDef kSignedEnvelopeRecord;
extern const RecordDef kCounterpartyInfoRecord;
extern const RecordDef kQueuedItemRecord;

}  // namespace ulo
