// JSON form of anchor receipts and proofs.
#include "anchor.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

constexpr FieldDef kReceiptFields[] = {
    field<&AnchorReceipt::anchor_id>("anchor_id"),
    field<&AnchorReceipt::anchor_kind>("anchor_kind"),
    field<&AnchorReceipt::merkle_root_hex>("merkle_root_hex"),
    field<&AnchorReceipt::submission_ref>("submission_ref"),
    field<&AnchorReceipt::submitted_at>("submitted_at"),
    field<&AnchorReceipt::expected_finality_at>("expected_finality_at"),
    field<&AnchorReceipt::proof_b64>("proof_b64"),
};

constexpr FieldDef kProofFields[] = {
    field<&AnchorProof::anchor_id>("anchor_id"),
    field<&AnchorProof::anchor_kind>("anchor_kind"),
    field<&AnchorProof::merkle_root_hex>("merkle_root_hex"),
    field<&AnchorProof::confirmed>("confirmed"),
    field<&AnchorProof::authoritative_time>("authoritative_time"),
    field<&AnchorProof::detail>("detail"),
};

}  // namespace

constexpr RecordDef kAnchorReceiptRecord = record_def<kReceiptFields>("AnchorReceipt");
constexpr RecordDef kAnchorProofRecord = record_def<kProofFields>("AnchorProof");

}  // namespace ulo
