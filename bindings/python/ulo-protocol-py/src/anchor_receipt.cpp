// Python face of AnchorReceipt.
#include "anchor.hpp"
#include "classes.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = AnchorReceipt;

struct Traits {
  using Rec = AnchorReceipt;
  static constexpr const char* kName = "AnchorReceipt";
  static PyTypeObject* type() { return anchor_receipt_cell().get(); }
  static std::string encode(const Rec& r) { return receipt_to_json(r); }
  static auto decode_into(std::string_view s, Rec& out) { return receipt_from_json_into(s, out); }
};
using Forms = JsonForms<Traits>;

PyObject* anchor_id_of(const Rec& r) { return new_text(r.anchor_id); }
PyObject* kind_of(const Rec& r) { return new_text(anchor_kind_name(r.anchor_kind)); }
PyObject* root_of(const Rec& r) { return new_text(r.merkle_root_hex); }
PyObject* ref_of(const Rec& r) { return new_text(r.submission_ref); }
PyObject* submitted_of(const Rec& r) { return new_text(r.submitted_at); }
PyObject* finality_of(const Rec& r) { return new_text(r.expected_finality_at); }
PyObject* proof_of(const Rec& r) { return new_text(r.proof_b64); }

PyObject* repr_of(const Rec& r) {
  return Repr("AnchorReceipt")
      .text("anchor_id", r.anchor_id)
      .text("kind", anchor_kind_name(r.anchor_kind))
      .text("root", r.merkle_root_hex)
      .finish();
}

PyMethodDef methods[] = {ULO_JSON_FORM_METHODS(Forms), {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {
    {"anchor_id", getter<Rec, anchor_id_of>, nullptr, nullptr, nullptr},
    {"anchor_kind", getter<Rec, kind_of>, nullptr, nullptr, nullptr},
    {"merkle_root_hex", getter<Rec, root_of>, nullptr, nullptr, nullptr},
    {"submission_ref", getter<Rec, ref_of>, nullptr, nullptr, nullptr},
    {"submitted_at", getter<Rec, submitted_of>, nullptr, nullptr, nullptr},
    {"expected_finality_at", getter<Rec, finality_of>, nullptr, nullptr, nullptr},
    {"proof_b64", getter<Rec, proof_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Receipt returned when a Merkle root is submitted to an external\n"
    "anchor. Persisted alongside the batch so it can be verified later.\n"
    "Python sees this as a parsed/serialisable record \xe2\x80\x94 actual anchor\n"
    "submission stays in the kernel's async runtime.";

}  // namespace

TypeCell& anchor_receipt_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("AnchorReceipt", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

PyObject* new_anchor_receipt(AnchorReceipt&& r) {
  return wrap(anchor_receipt_cell().get(), std::move(r));
}

}  // namespace ulo::py
