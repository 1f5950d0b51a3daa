// JSON form of anchor receipts and proofs, and the anchor kind names.
#include "anchor.hpp"
#include "json.hpp"

namespace ulo {
namespace {

constexpr std::string_view kKindNames[] = {"open_timestamps", "ethereum", "solana",
                                           "nist_tsa",        "handshake", "local"};

AnchorReceipt& receipt(void* p) { return *static_cast<AnchorReceipt*>(p); }
AnchorProof& proof(void* p) { return *static_cast<AnchorProof*>(p); }

bool read_kind(JsonReader& r, AnchorKind& out) {
  std::size_t k = 0;
  if (!r.read_enum(kKindNames, k)) return false;
  out = static_cast<AnchorKind>(k);
  return true;
}

constexpr JsonField kReceiptFields[] = {
    {"anchor_id", [](JsonReader& r, void* p) { return r.read_string(receipt(p).anchor_id); }},
    {"anchor_kind", [](JsonReader& r, void* p) { return read_kind(r, receipt(p).anchor_kind); }},
    {"merkle_root_hex",
     [](JsonReader& r, void* p) { return r.read_string(receipt(p).merkle_root_hex); }},
    {"submission_ref",
     [](JsonReader& r, void* p) { return r.read_string(receipt(p).submission_ref); }},
    {"submitted_at", [](JsonReader& r, void* p) { return r.read_string(receipt(p).submitted_at); }},
    {"expected_finality_at",
     [](JsonReader& r, void* p) { return r.read_string(receipt(p).expected_finality_at); }},
    {"proof_b64", [](JsonReader& r, void* p) { return r.read_string(receipt(p).proof_b64); }},
};
constexpr JsonRecord kReceiptRecord{"AnchorReceipt", kReceiptFields};

constexpr JsonField kProofFields[] = {
    {"anchor_id", [](JsonReader& r, void* p) { return r.read_string(proof(p).anchor_id); }},
    {"anchor_kind", [](JsonReader& r, void* p) { return read_kind(r, proof(p).anchor_kind); }},
    {"merkle_root_hex",
     [](JsonReader& r, void* p) { return r.read_string(proof(p).merkle_root_hex); }},
    {"confirmed", [](JsonReader& r, void* p) { return r.read_bool(proof(p).confirmed); }},
    {"authoritative_time",
     [](JsonReader& r, void* p) { return r.read_string(proof(p).authoritative_time); }},
    {"detail", [](JsonReader& r, void* p) { return r.read_string(proof(p).detail); }},
};
constexpr JsonRecord kProofRecord{"AnchorProof", kProofFields};

}  // namespace

std::string_view anchor_kind_name(AnchorKind k) {
  const auto i = static_cast<std::size_t>(k);
  return i < std::size(kKindNames) ? kKindNames[i] : std::string_view{};
}

std::optional<AnchorKind> anchor_kind_from_name(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kKindNames); ++i) {
    if (kKindNames[i] == name) return static_cast<AnchorKind>(i);
  }
  return std::nullopt;
}

std::string receipt_to_json(const AnchorReceipt& r) {
  return write_json([&](JsonWriter& w) {
    w.begin_object();
    w.key("anchor_id");
    w.string(r.anchor_id);
    w.key("anchor_kind");
    w.string(anchor_kind_name(r.anchor_kind));
    w.key("merkle_root_hex");
    w.string(r.merkle_root_hex);
    w.key("submission_ref");
    w.string(r.submission_ref);
    w.key("submitted_at");
    w.string(r.submitted_at);
    w.key("expected_finality_at");
    w.string(r.expected_finality_at);
    w.key("proof_b64");
    w.string(r.proof_b64);
    w.end_object();
  });
}

Result<AnchorReceipt, JsonError> receipt_from_json(std::string_view text) {
  return decode_record<AnchorReceipt>(text, kReceiptRecord);
}

std::optional<JsonError> receipt_from_json_into(std::string_view text, AnchorReceipt& out) {
  return decode_record_into(text, kReceiptRecord, &out);
}

std::string proof_to_json(const AnchorProof& p) {
  return write_json([&](JsonWriter& w) {
    w.begin_object();
    w.key("anchor_id");
    w.string(p.anchor_id);
    w.key("anchor_kind");
    w.string(anchor_kind_name(p.anchor_kind));
    w.key("merkle_root_hex");
    w.string(p.merkle_root_hex);
    w.key("confirmed");
    w.boolean(p.confirmed);
    w.key("authoritative_time");
    w.string(p.authoritative_time);
    w.key("detail");
    w.string(p.detail);
    w.end_object();
  });
}

Result<AnchorProof, JsonError> proof_from_json(std::string_view text) {
  return decode_record<AnchorProof>(text, kProofRecord);
}

std::optional<JsonError> proof_from_json_into(std::string_view text, AnchorProof& out) {
  return decode_record_into(text, kProofRecord, &out);
}

}  // namespace ulo
