// Python face of SignedEnvelope: its fields and forms come from the record's
// field table; the signing bytes are its own.
#include "classes.hpp"
#include "envelope.hpp"

namespace ulo::py {
namespace {

using Rec = SignedEnvelope;
using Cls = Class<Rec, &kSignedEnvelopeRecord>;

PyObject* signing_bytes_of(const Rec& r) { return new_bytes(canonical_signing_bytes(r)); }

PyObject* repr_of(const Rec& r) {
  return Repr("SignedEnvelope")
      .text("exchange_id", r.exchange_id)
      .text("direction", name_of(r.direction))
      .finish();
}

}  // namespace

TypeCell& ClassOf<SignedEnvelope>::cell() {
  static TypeCell cell(Cls::def({
      .doc = "Wire record of one completed exchange between this peer and a\n"
             "counterparty: both peers, the direction, request and response hashes,\n"
             "both signatures, open/close times and the protocol used.\n\n"
             "Constructed from canonical JSON (`from_json`) only. There is no\n"
             "field-by-field constructor: `our_signature` must be produced by the\n"
             "kernel's signing path, not recomputed from Python. Backend Python is a\n"
             "verifier and emitter; the host's signing process is the signer.",
      .repr = unary_slot<repr_of>,
      .json = JsonDocs{
          .from_json = "Parse a canonical JSON wire envelope. Matches the form emitted\n"
                       "by the kernel + the form `crates/signed_envelope` accepts on the\nwire.",
          .to_json = "Serialize to canonical JSON.",
      },
      .methods = {Cls::method<signing_bytes_of, "canonical_signing_bytes">(
          "The bytes Ed25519 signs over \xe2\x80\x94\n"
          "`[exchange_id, request_hash, response_hash_or_null]` as canonical\n"
          "JSON. Same as `crates/primitives` produces, byte-for-byte.")},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
