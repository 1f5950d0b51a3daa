// JSON form of anchor receipts and proofs, and the anchor kind names.
#include "anchor.hpp"
#include "record_table.hpp"
#include "names.hpp"

namespace ulo {
namespace {

constexpr std::string_view kKindNames[] = {"open_timestamps", "ethereum", "solana",
                                           "nist_tsa",        "handshake", "local"};

constexpr FieldDef kReceiptFields[] = {
    field<&AnchorReceipt::anchor_id>("anchor_id"),
    field<&AnchorReceipt::anchor_kind>("anchor_kind", kKindNames),
    field<&AnchorReceipt::merkle_root_hex>("merkle_root_hex"),
    field<&AnchorReceipt::submission_ref>("submission_ref"),
    field<&AnchorReceipt::submitted_at>("submitted_at"),
    field<&AnchorReceipt::expected_finality_at>("expected_finality_at"),
    field<&AnchorReceipt::proof_b64>("proof_b64"),
};

constexpr FieldDef kProofFields[] = {
    field<&AnchorProof::anchor_id>("anchor_id"),
    field<&AnchorProof::anchor_kind>("anchor_kind", kKindNames),
    field<&AnchorProof::merkle_root_hex>("merkle_root_hex"),
    field<&AnchorProof::confirmed>("confirmed"),
    field<&AnchorProof::authoritative_time>("authoritative_time"),
    field<&AnchorProof::detail>("detail"),
};

}  // namespace

constexpr RecordDef kAnchorReceiptRecord = record_def<kReceiptFields>("AnchorReceipt");
constexpr RecordDef kAnchorProofRecord = record_def<kProofFields>("AnchorProof");

std::string_view anchor_kind_name(AnchorKind k) { return name_of(kKindNames, k); }

std::optional<AnchorKind> anchor_kind_from_name(std::string_view name) {
  return value_named<AnchorKind>(kKindNames, name);
}

std::string receipt_to_json(const AnchorReceipt& r) {
  return encode_record(kAnchorReceiptRecord, &r);
}

Result<AnchorReceipt, JsonError> receipt_from_json(std::string_view text) {
  return decode_record<AnchorReceipt>(text, kAnchorReceiptRecord);
}

std::optional<JsonError> receipt_from_json_into(std::string_view text, AnchorReceipt& out) {
  return decode_record_into(text, kAnchorReceiptRecord, &out);
}

std::string proof_to_json(const AnchorProof& p) { return encode_record(kAnchorProofRecord, &p); }

Result<AnchorProof, JsonError> proof_from_json(std::string_view text) {
  return decode_record<AnchorProof>(text, kAnchorProofRecord);
}

std::optional<JsonError> proof_from_json_into(std::string_view text, AnchorProof& out) {
  return decode_record_into(text, kAnchorProofRecord, &out);
}

}  // namespace ulo
