// JSON form of anchor receipts and proofs.
#include "anchor.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

constexpr FieldDef kReceiptFields[] = {
    field<&AnchorReceipt::anchor_id>("anchor_id", "Id of the anchor that accepted the root."),
    field<&AnchorReceipt::anchor_kind>("anchor_kind", "Kind of that anchor."),
    field<&AnchorReceipt::merkle_root_hex>("merkle_root_hex",
                                           "The submitted Merkle root in hexadecimal."),
    field<&AnchorReceipt::submission_ref>("submission_ref",
                                          "The anchor's own reference to the submission."),
    field<&AnchorReceipt::submitted_at>("submitted_at",
                                        "When the root was submitted: text, never parsed."),
    field<&AnchorReceipt::expected_finality_at>(
        "expected_finality_at", "When the submission should become final: text, never parsed."),
    field<&AnchorReceipt::proof_b64>("proof_b64",
                                     "The anchor's proof material in Base64; may be empty."),
};

constexpr FieldDef kProofFields[] = {
    field<&AnchorProof::anchor_id>("anchor_id", "Id of the anchor that verified the root."),
    field<&AnchorProof::anchor_kind>("anchor_kind", "Kind of that anchor."),
    field<&AnchorProof::merkle_root_hex>("merkle_root_hex",
                                         "The verified Merkle root in hexadecimal."),
    field<&AnchorProof::confirmed>(
        "confirmed", "Whether the submission is final; false while finality is pending."),
    field<&AnchorProof::authoritative_time>(
        "authoritative_time", "The time the anchor vouches for: text, never parsed."),
    field<&AnchorProof::detail>("detail", "Free text from the anchor."),
};

}  // namespace

constexpr RecordDef kAnchorReceiptRecord = record_def<kReceiptFields>("AnchorReceipt");
constexpr RecordDef kAnchorProofRecord = record_def<kProofFields>("AnchorProof");

}  // namespace ulo
