// Python face of SignedEnvelope: its fields and forms come from the record's
// field table; the signing bytes are its own.
#include "classes.hpp"
#include "envelope.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = SignedEnvelope;
using Forms = JsonForms<Rec, kSignedEnvelopeRecord, signed_envelope_cell>;

PyObject* signing_bytes_of(const Rec& r) { return new_bytes(canonical_signing_bytes(r)); }

PyObject* repr_of(const Rec& r) {
  return Repr("SignedEnvelope")
      .text("exchange_id", r.exchange_id)
      .text("direction", name_of(r.direction))
      .finish();
}

constexpr JsonFormDocs kFormDocs{
    "from_json(s)\n--\n\nParse a canonical JSON wire envelope. Matches the form emitted\n"
    "by the kernel + the form `crates/signed_envelope` accepts on the\nwire.",
    "to_json($self)\n--\n\nSerialize to canonical JSON.",
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
  static TypeCell cell(Forms::class_def(
      kDoc, repr_slot<Rec, repr_of>,
      {{"canonical_signing_bytes", method0<Rec, signing_bytes_of>, METH_NOARGS,
        "canonical_signing_bytes($self)\n--\n\nThe bytes Ed25519 signs over \xe2\x80\x94\n"
        "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
        "JSON. Same as `crates/primitives` produces, byte-for-byte."}},
      {}, kFormDocs));
  return cell;
}

PyObject* new_signed_envelope(const SignedEnvelope& e) {
  return wrap(signed_envelope_cell().get(), SignedEnvelope(e));
}

}  // namespace ulo::py
