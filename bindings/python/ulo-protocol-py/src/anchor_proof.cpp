// Python face of AnchorProof.
#include "anchor.hpp"
#include "classes.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = AnchorProof;

struct Traits {
  using Rec = AnchorProof;
  static constexpr const char* kName = "AnchorProof";
  static PyTypeObject* type() { return anchor_proof_cell().get(); }
  static std::string encode(const Rec& r) { return proof_to_json(r); }
  static auto decode_into(std::string_view s, Rec& out) { return proof_from_json_into(s, out); }
};
using Forms = JsonForms<Traits>;

PyObject* anchor_id_of(const Rec& r) { return new_text(r.anchor_id); }
PyObject* kind_of(const Rec& r) { return new_text(anchor_kind_name(r.anchor_kind)); }
PyObject* root_of(const Rec& r) { return new_text(r.merkle_root_hex); }
PyObject* confirmed_of(const Rec& r) { return new_bool(r.confirmed); }
PyObject* time_of(const Rec& r) { return new_text(r.authoritative_time); }
PyObject* detail_of(const Rec& r) { return new_text(r.detail); }

PyObject* repr_of(const Rec& r) {
  return Repr("AnchorProof")
      .text("anchor_id", r.anchor_id)
      .text("kind", anchor_kind_name(r.anchor_kind))
      .boolean("confirmed", r.confirmed)
      .text("root", r.merkle_root_hex)
      .finish();
}

PyMethodDef methods[] = {ULO_JSON_FORM_METHODS(Forms), {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {
    {"anchor_id", getter<Rec, anchor_id_of>, nullptr, nullptr, nullptr},
    {"anchor_kind", getter<Rec, kind_of>, nullptr, nullptr, nullptr},
    {"merkle_root_hex", getter<Rec, root_of>, nullptr, nullptr, nullptr},
    {"confirmed", getter<Rec, confirmed_of>, nullptr, nullptr, nullptr},
    {"authoritative_time", getter<Rec, time_of>, nullptr, nullptr, nullptr},
    {"detail", getter<Rec, detail_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Result of verifying an `AnchorReceipt` against the external anchor.\n"
    "`confirmed = false` means pending finality (not failure \xe2\x80\x94 failures\n"
    "return Err in the kernel's verify path, which here surfaces as a\n"
    "`ValueError` at parse time if the JSON is malformed).";

}  // namespace

TypeCell& anchor_proof_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("AnchorProof", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

PyObject* new_anchor_proof(AnchorProof&& p) {
  return wrap(anchor_proof_cell().get(), std::move(p));
}

}  // namespace ulo::py
