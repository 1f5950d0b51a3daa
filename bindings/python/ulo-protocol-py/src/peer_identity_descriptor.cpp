// Python face of PeerIdentityDescriptor.
#include "classes.hpp"
#include "identity.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = PeerIdentityDescriptor;

struct Traits {
  using Rec = PeerIdentityDescriptor;
  static constexpr const char* kName = "PeerIdentityDescriptor";
  static PyTypeObject* type() { return peer_identity_descriptor_cell().get(); }
  static std::string encode(const Rec& r) { return descriptor_to_json(r); }
  static auto decode_into(std::string_view s, Rec& out) { return descriptor_from_json_into(s, out); }
};
using Forms = JsonForms<Traits>;

PyObject* fingerprint_of_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"public_key_bytes"};
    static constexpr Signature sig{"PeerIdentityDescriptor.fingerprint_of()", params, 1};
    PyObject* a[1];
    std::span<const std::uint8_t> key;
    if (!bind_fast(sig, args, nargs, kwnames, a) || !to_bytes(a[0], "public_key_bytes", key)) {
      return nullptr;
    }
    auto fp = fingerprint_of(key);
    if (!fp) {
      return raise_value_error(fp.error() == FingerprintError::BadLength
                                   ? "public_key must be exactly 32 bytes"
                                   : "invalid Ed25519 public key bytes");
    }
    return new_text(*fp);
  });
}

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"payload", "signature_bytes"};
    static constexpr Signature sig{"PeerIdentityDescriptor.verify()", params, 2};
    PyObject* a[2];
    std::span<const std::uint8_t> payload, signature;
    if (!bind_fast(sig, args, nargs, kwnames, a) || !to_bytes(a[0], "payload", payload) ||
        !to_bytes(a[1], "signature_bytes", signature)) {
      return nullptr;
    }
    auto ok = verify_signature(record_of<Rec>(self).public_key_b64, payload, signature);
    if (!ok) {
      return raise_value_error("signature verification failed: " +
                               std::string(verify_error_name(ok.error())));
    }
    Py_RETURN_NONE;
  });
}

PyObject* address_of(const Rec& r) {
  return new_protocol_address(ProtocolAddress{AddressClass::body, "peer", r.fingerprint});
}
PyObject* fingerprint_prop(const Rec& r) { return new_text(r.fingerprint); }
PyObject* key_of(const Rec& r) { return new_text(r.public_key_b64); }
PyObject* surface_of(const Rec& r) { return new_text(surface_name(r.surface)); }
PyObject* tier_of(const Rec& r) { return PyLong_FromLong(surface_tier(r.surface)); }
PyObject* attested_of(const Rec& r) { return new_bool(surface_hardware_attested(r.surface)); }
PyObject* attestation_of(const Rec& r) { return new_attestation_chain(r.attestation); }
PyObject* created_at_of(const Rec& r) { return new_text(r.created_at); }
PyObject* superseded_by_of(const Rec& r) {
  return new_optional(r.superseded_by, new_protocol_address);
}

PyObject* repr_of(const Rec& r) {
  return Repr("PeerIdentityDescriptor")
      .text("fingerprint", r.fingerprint)
      .text("surface", surface_name(r.surface))
      .integer("tier", surface_tier(r.surface))
      .finish();
}

PyMethodDef methods[] = {
    ULO_JSON_FORM_METHODS(Forms),
    {"fingerprint_of", ULO_FASTCALL(fingerprint_of_bytes),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "fingerprint_of(public_key_bytes)\n--\n\n"
     "Fingerprint of a raw 32-byte Ed25519 public key: the first 16 bytes of\n"
     "its SHA-256 digest as 32 lowercase hexadecimal digits."},
    {"verify", ULO_FASTCALL(verify), METH_FASTCALL | METH_KEYWORDS,
     "verify($self, payload, signature_bytes)\n--\n\n"
     "Verify an Ed25519 signature over `payload` with this descriptor's public\n"
     "key. Returns None; raises `ValueError` when verification fails."},
    {"address", method0<Rec, address_of>, METH_NOARGS,
     "address($self)\n--\n\nThe descriptor's protocol address, `tov://body/peer/<fingerprint>`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"fingerprint", getter<Rec, fingerprint_prop>, nullptr, nullptr, nullptr},
    {"public_key_b64", getter<Rec, key_of>, nullptr, nullptr, nullptr},
    {"surface", getter<Rec, surface_of>, nullptr, nullptr, nullptr},
    {"tier", getter<Rec, tier_of>, nullptr, nullptr, nullptr},
    {"hardware_attested", getter<Rec, attested_of>, nullptr, nullptr, nullptr},
    {"attestation", getter<Rec, attestation_of>, nullptr, nullptr, nullptr},
    {"created_at", getter<Rec, created_at_of>, nullptr, nullptr, nullptr},
    {"superseded_by", getter<Rec, superseded_by_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Public, serialisable view of a peer's identity.\n\n"
    "Python is a verifier, not a signer: this binding exposes parsing and\n"
    "serialising of the descriptor wire form, verification of signatures\n"
    "against the descriptor's public key, and computation of deterministic\n"
    "fingerprints from raw public-key bytes. Python is not given access to\n"
    "`SoftwareIdentity::sign` or `SoftwareIdentity::generate` here, because\n"
    "private-key material lives in the secure surface of the host's signing\n"
    "process (Keychain / Secure Enclave / HSM / threshold); backend Python\n"
    "dispatches signing of acts there instead of holding a key in its own\n"
    "address space.";

}  // namespace

TypeCell& peer_identity_descriptor_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("PeerIdentityDescriptor", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

PyObject* new_peer_identity_descriptor(PeerIdentityDescriptor&& d) {
  return wrap(peer_identity_descriptor_cell().get(), std::move(d));
}

}  // namespace ulo::py
