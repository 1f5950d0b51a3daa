// Python face of AnchorReceipt: its fields and forms come from the record's
// field table.
#include "anchor.hpp"
#include "classes.hpp"

namespace ulo::py {
namespace {

PyObject* repr_of(const AnchorReceipt& r) {
  return Repr("AnchorReceipt")
      .text("anchor_id", r.anchor_id)
      .text("kind", name_of(r.anchor_kind))
      .text("root", r.merkle_root_hex)
      .finish();
}

}  // namespace

TypeCell& ClassOf<AnchorReceipt>::cell() {
  static TypeCell cell(Class<AnchorReceipt, &kAnchorReceiptRecord>::def({
      .doc = "Receipt returned when a Merkle root is submitted to an external\n"
             "anchor. Persisted alongside the batch so it can be verified later.\n"
             "Python sees this as a parsed/serialisable record \xe2\x80\x94 actual anchor\n"
             "submission stays in the kernel's async runtime.",
      .repr = unary_slot<repr_of>,
      .json = JsonDocs{},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
