// Python face of AnchorReceipt: its fields and forms come from the record's
// field table.
#include "anchor.hpp"
#include "classes.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Forms = JsonForms<AnchorReceipt, kAnchorReceiptRecord, anchor_receipt_cell>;

PyObject* repr_of(const AnchorReceipt& r) {
  return Repr("AnchorReceipt")
      .text("anchor_id", r.anchor_id)
      .text("kind", name_of(r.anchor_kind))
      .text("root", r.merkle_root_hex)
      .finish();
}

constexpr const char* kDoc =
    "Receipt returned when a Merkle root is submitted to an external\n"
    "anchor. Persisted alongside the batch so it can be verified later.\n"
    "Python sees this as a parsed/serialisable record \xe2\x80\x94 actual anchor\n"
    "submission stays in the kernel's async runtime.";

}  // namespace

TypeCell& anchor_receipt_cell() {
  static TypeCell cell(Forms::class_def(kDoc, repr_slot<AnchorReceipt, repr_of>));
  return cell;
}

PyObject* new_anchor_receipt(AnchorReceipt&& r) {
  return wrap(anchor_receipt_cell().get(), std::move(r));
}

}  // namespace ulo::py
