#include "envelope.hpp"

#include "json.hpp"

namespace ulo {
namespace {

constexpr std::string_view kDirectionNames[] = {"outbound", "inbound"};

SignedEnvelope& env(void* p) { return *static_cast<SignedEnvelope*>(p); }
QueuedItem& item(void* p) { return *static_cast<QueuedItem*>(p); }

using Absent = JsonField::Absent;

// The optional fields also take their default when a positional array ends
// early, so a short array reports the position of the next required field.
constexpr JsonField kEnvelopeFields[] = {
    {"exchange_id", [](JsonReader& r, void* p) { return r.read_string(env(p).exchange_id); }},
    {"peer_self", [](JsonReader& r, void* p) { return read_address(r, env(p).peer_self); }},
    {"peer_counterparty",
     [](JsonReader& r, void* p) { return read_optional_address(r, env(p).peer_counterparty); },
     Absent::defaulted},
    {"direction",
     [](JsonReader& r, void* p) {
       std::size_t k = 0;
       if (!r.read_enum(kDirectionNames, k)) return false;
       env(p).direction = static_cast<Direction>(k);
       return true;
     }},
    {"request_hash", [](JsonReader& r, void* p) { return r.read_string(env(p).request_hash); }},
    {"response_hash",
     [](JsonReader& r, void* p) { return r.read_optional_string(env(p).response_hash); },
     Absent::defaulted},
    {"counterparty_signature",
     [](JsonReader& r, void* p) { return r.read_optional_string(env(p).counterparty_signature); },
     Absent::defaulted},
    {"our_signature", [](JsonReader& r, void* p) { return r.read_string(env(p).our_signature); }},
    {"opened_at", [](JsonReader& r, void* p) { return r.read_timestamp(env(p).opened_at); }},
    {"closed_at",
     [](JsonReader& r, void* p) { return r.read_optional_timestamp(env(p).closed_at); },
     Absent::defaulted},
    {"protocol_hint", [](JsonReader& r, void* p) { return r.read_string(env(p).protocol_hint); }},
    {"counterparty_identifier",
     [](JsonReader& r, void* p) { return r.read_string(env(p).counterparty_identifier); }},
};

constexpr JsonRecord kEnvelopeRecord{"SignedEnvelope", kEnvelopeFields};

constexpr JsonField kQueuedItemFields[] = {
    {"queue_id", [](JsonReader& r, void* p) { return r.read_string(item(p).queue_id); }},
    {"pair_class", [](JsonReader& r, void* p) { return r.read_string(item(p).pair_class); }},
    {"envelope",
     [](JsonReader& r, void* p) { return read_record(r, kEnvelopeRecord, &item(p).envelope); }},
};

constexpr JsonRecord kQueuedItemRecord{"QueuedItem", kQueuedItemFields};

void write_envelope(JsonWriter& w, const SignedEnvelope& e) {
  w.begin_object();
  w.key("exchange_id");
  w.string(e.exchange_id);
  w.key("peer_self");
  write_address(w, e.peer_self);
  if (e.peer_counterparty) {
    w.key("peer_counterparty");
    write_address(w, *e.peer_counterparty);
  }
  w.key("direction");
  w.string(direction_name(e.direction));
  w.key("request_hash");
  w.string(e.request_hash);
  if (e.response_hash) {
    w.key("response_hash");
    w.string(*e.response_hash);
  }
  if (e.counterparty_signature) {
    w.key("counterparty_signature");
    w.string(*e.counterparty_signature);
  }
  w.key("our_signature");
  w.string(e.our_signature);
  w.key("opened_at");
  w.timestamp(e.opened_at);
  if (e.closed_at) {
    w.key("closed_at");
    w.timestamp(*e.closed_at);
  }
  w.key("protocol_hint");
  w.string(e.protocol_hint);
  w.key("counterparty_identifier");
  w.string(e.counterparty_identifier);
  w.end_object();
}

}  // namespace

std::string_view direction_name(Direction d) {
  return kDirectionNames[static_cast<std::size_t>(d) & 1];
}

std::string envelope_to_json(const SignedEnvelope& e) {
  return write_json([&](JsonWriter& w) {
    write_envelope(w, e);
  });
}

Result<SignedEnvelope, JsonError> envelope_from_json(std::string_view text) {
  return decode_record<SignedEnvelope>(text, kEnvelopeRecord);
}

std::optional<JsonError> envelope_from_json_into(std::string_view text, SignedEnvelope& out) {
  return decode_record_into(text, kEnvelopeRecord, &out);
}

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

std::string counterparty_to_json(const CounterpartyInfo& c) {
  return write_json([&](JsonWriter& w) {
    w.begin_object();
    w.key("identifier");
    w.string(c.identifier);
    w.key("protocol_hint");
    w.string(c.protocol_hint);
    w.key("peer_address");
    w.optional_string(c.peer_address);
    w.key("counterparty_signature");
    w.optional_string(c.counterparty_signature);
    w.end_object();
  });
}

std::string queued_item_to_indented_json(const QueuedItem& it) {
  return write_json([&](JsonWriter& w) {
    w.begin_object();
    w.key("queue_id");
    w.string(it.queue_id);
    w.key("pair_class");
    w.string(it.pair_class);
    w.key("envelope");
    write_envelope(w, it.envelope);
    w.end_object();
  }, /*indented=*/true);
}

Result<QueuedItem, JsonError> queued_item_from_json(std::string_view text) {
  return decode_record<QueuedItem>(text, kQueuedItemRecord);
}

}  // namespace ulo
