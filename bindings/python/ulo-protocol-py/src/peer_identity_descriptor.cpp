// Python face of PeerIdentityDescriptor: its fields and forms come from the
// record's field table; verification and fingerprints are its own.
#include "classes.hpp"
#include "identity.hpp"
#include "json_forms.hpp"

namespace ulo::py {
namespace {

using Rec = PeerIdentityDescriptor;
using Forms = JsonForms<Rec, kPeerIdentityDescriptorRecord, peer_identity_descriptor_cell>;

PyObject* fingerprint_of_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig =
        params("PeerIdentityDescriptor.fingerprint_of()", {"public_key_bytes"});
    Args a(sig);
    std::span<const std::uint8_t> key;
    if (!a.bind(args, nargs, kwnames) || !a.bytes(0, key)) return nullptr;
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
    static constexpr auto sig =
        params("PeerIdentityDescriptor.verify()", {"payload", "signature_bytes"});
    Args a(sig);
    std::span<const std::uint8_t> payload, signature;
    if (!a.bind(args, nargs, kwnames) || !a.bytes(0, payload) || !a.bytes(1, signature)) {
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
PyObject* tier_of(const Rec& r) { return PyLong_FromLong(surface_tier(r.surface)); }
PyObject* attested_of(const Rec& r) { return new_bool(surface_hardware_attested(r.surface)); }

PyObject* repr_of(const Rec& r) {
  return Repr("PeerIdentityDescriptor")
      .text("fingerprint", r.fingerprint)
      .text("surface", surface_name(r.surface))
      .integer("tier", surface_tier(r.surface))
      .finish();
}

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

}  // namespace

TypeCell& peer_identity_descriptor_cell() {
  // The wire fields, then what the surface implies.
  static TypeCell cell(Forms::class_def_with(
      kDoc, repr_slot<Rec, repr_of>, methods,
      {{"tier", getter<Rec, tier_of>, nullptr, nullptr, nullptr},
       {"hardware_attested", getter<Rec, attested_of>, nullptr, nullptr, nullptr}}));
  return cell;
}

PyObject* new_peer_identity_descriptor(PeerIdentityDescriptor&& d) {
  return wrap(peer_identity_descriptor_cell().get(), std::move(d));
}

}  // namespace ulo::py
