// Python face of AnchorProof: its fields and forms come from the record's
// field table.
#include "anchor.hpp"
#include "classes.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Forms = JsonForms<AnchorProof, kAnchorProofRecord, anchor_proof_cell>;

PyObject* repr_of(const AnchorProof& r) {
  return Repr("AnchorProof")
      .text("anchor_id", r.anchor_id)
      .text("kind", name_of(r.anchor_kind))
      .boolean("confirmed", r.confirmed)
      .text("root", r.merkle_root_hex)
      .finish();
}

constexpr const char* kDoc =
    "Result of verifying an `AnchorReceipt` against the external anchor.\n"
    "`confirmed = false` means pending finality (not failure \xe2\x80\x94 failures\n"
    "return Err in the kernel's verify path, which here surfaces as a\n"
    "`ValueError` at parse time if the JSON is malformed).";

}  // namespace

TypeCell& anchor_proof_cell() {
  static TypeCell cell(Forms::class_def(kDoc, repr_slot<AnchorProof, repr_of>));
  return cell;
}

PyObject* new_anchor_proof(AnchorProof&& p) {
  return wrap(anchor_proof_cell().get(), std::move(p));
}

}  // namespace ulo::py
