// Python face of AnchorProof: its fields and forms come from the record's
// field table.
#include "anchor.hpp"
#include "classes.hpp"

namespace ulo::py {
namespace {

PyObject* repr_of(const AnchorProof& r) {
  return Repr("AnchorProof")
      .text("anchor_id", r.anchor_id)
      .text("kind", name_of(r.anchor_kind))
      .boolean("confirmed", r.confirmed)
      .text("root", r.merkle_root_hex)
      .finish();
}

}  // namespace

TypeCell& ClassOf<AnchorProof>::cell() {
  static TypeCell cell(Class<AnchorProof, &kAnchorProofRecord>::def({
      .doc = "Result of verifying an `AnchorReceipt` against the external anchor.\n"
             "`confirmed = false` means pending finality (not failure \xe2\x80\x94 failures\n"
             "return Err in the kernel's verify path, which here surfaces as a\n"
             "`ValueError` at parse time if the JSON is malformed).",
      .repr = unary_slot<repr_of>,
      .json = JsonDocs{},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
