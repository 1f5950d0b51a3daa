// Python face of SignedEnvelope.
#include "classes.hpp"
#include "envelope.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = SignedEnvelope;

struct Traits {
  using Rec = SignedEnvelope;
  static constexpr const char* kName = "SignedEnvelope";
  static PyTypeObject* type() { return signed_envelope_cell().get(); }
  static std::string encode(const Rec& r) { return envelope_to_json(r); }
  static auto decode_into(std::string_view s, Rec& out) { return envelope_from_json_into(s, out); }
};
using Forms = JsonForms<Traits>;

PyObject* timestamp(const Timestamp& t) {
  const CivilTime c = to_civil(t);
  // datetime has no leap second: show :59 and warn.
  const bool leap = c.second == 60;
  return new_datetime(CivilParts{static_cast<long long>(c.year), static_cast<int>(c.month),
                                 static_cast<int>(c.day), static_cast<int>(c.hour),
                                 static_cast<int>(c.minute), leap ? 59 : static_cast<int>(c.second),
                                 static_cast<int>(c.nanos / 1000), leap});
}

PyObject* opt_text(const std::optional<std::string>& v) {
  return new_optional(v, [](const std::string& s) { return new_text(s); });
}

PyObject* exchange_id_of(const Rec& r) { return new_text(r.exchange_id); }
PyObject* peer_self_of(const Rec& r) { return new_protocol_address(r.peer_self); }
PyObject* peer_counterparty_of(const Rec& r) {
  return new_optional(r.peer_counterparty, new_protocol_address);
}
PyObject* direction_of(const Rec& r) { return new_text(direction_name(r.direction)); }
PyObject* request_hash_of(const Rec& r) { return new_text(r.request_hash); }
PyObject* response_hash_of(const Rec& r) { return opt_text(r.response_hash); }
PyObject* counterparty_signature_of(const Rec& r) { return opt_text(r.counterparty_signature); }
PyObject* our_signature_of(const Rec& r) { return new_text(r.our_signature); }
PyObject* opened_at_of(const Rec& r) { return timestamp(r.opened_at); }
PyObject* closed_at_of(const Rec& r) { return new_optional(r.closed_at, timestamp); }
PyObject* protocol_hint_of(const Rec& r) { return new_text(r.protocol_hint); }
PyObject* counterparty_identifier_of(const Rec& r) { return new_text(r.counterparty_identifier); }
PyObject* signing_bytes_of(const Rec& r) { return new_bytes(canonical_signing_bytes(r)); }

PyObject* repr_of(const Rec& r) {
  return Repr("SignedEnvelope")
      .text("exchange_id", r.exchange_id)
      .text("direction", direction_name(r.direction))
      .finish();
}

PyMethodDef methods[] = {
    {"from_json", ULO_FASTCALL(Forms::from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json(s)\n--\n\nParse a canonical JSON wire envelope. Matches the form emitted\n"
     "by the kernel + the form `crates/signed_envelope` accepts on the\nwire."},
    {"to_json", method0<Rec, Forms::to_json>, METH_NOARGS,
     "to_json($self)\n--\n\nSerialize to canonical JSON."},
    {"canonical_signing_bytes", method0<Rec, signing_bytes_of>, METH_NOARGS,
     "canonical_signing_bytes($self)\n--\n\nThe bytes Ed25519 signs over \xe2\x80\x94\n"
     "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
     "JSON. Same as `crates/primitives` produces, byte-for-byte."},
    {"to_dict", method0<Rec, Forms::to_dict>, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"from_dict", ULO_FASTCALL(Forms::from_dict), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\n"},
    {"__reduce__", method0<Rec, Forms::reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"exchange_id", getter<Rec, exchange_id_of>, nullptr, nullptr, nullptr},
    {"peer_self", getter<Rec, peer_self_of>, nullptr, nullptr, nullptr},
    {"peer_counterparty", getter<Rec, peer_counterparty_of>, nullptr, nullptr, nullptr},
    {"direction", getter<Rec, direction_of>, nullptr, nullptr, nullptr},
    {"request_hash", getter<Rec, request_hash_of>, nullptr, nullptr, nullptr},
    {"response_hash", getter<Rec, response_hash_of>, nullptr, nullptr, nullptr},
    {"counterparty_signature", getter<Rec, counterparty_signature_of>, nullptr, nullptr, nullptr},
    {"our_signature", getter<Rec, our_signature_of>, nullptr, nullptr, nullptr},
    {"opened_at", getter<Rec, opened_at_of>, nullptr, nullptr, nullptr},
    {"closed_at", getter<Rec, closed_at_of>, nullptr, nullptr, nullptr},
    {"protocol_hint", getter<Rec, protocol_hint_of>, nullptr, nullptr, nullptr},
    {"counterparty_identifier", getter<Rec, counterparty_identifier_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Wire record of one completed exchange between this peer and a\n"
    "counterparty: both peers, the direction, request and response hashes,\n"
    "both signatures, open/close times and the protocol used.\n\n"
    "Constructed from canonical JSON (`from_json`) only. There is no\n"
    "field-by-field constructor: `our_signature` must be produced by the\n"
    "kernel's signing path, not recomputed from Python. Backend Python is a\n"
    "verifier and emitter; the host's signing process is the signer.";

}  // namespace

TypeCell& signed_envelope_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("SignedEnvelope", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

PyObject* new_signed_envelope(const SignedEnvelope& e) {
  return wrap(signed_envelope_cell().get(), SignedEnvelope(e));
}

}  // namespace ulo::py
