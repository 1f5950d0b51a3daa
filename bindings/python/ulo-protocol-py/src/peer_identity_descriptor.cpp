// Python face of PeerIdentityDescriptor: its fields and forms come from the
// record's field table; verification and fingerprints are its own.
#include "bridge.hpp"
#include "classes.hpp"
#include "identity.hpp"
#include "verify_batch.hpp"

namespace ulo::py {
namespace {

using Rec = PeerIdentityDescriptor;
using Cls = Class<Rec, &kPeerIdentityDescriptorRecord>;

PyObject* verify(const Rec& r, Bytes payload, Bytes signature_bytes) {
  auto verified = verify_descriptor(r, payload, signature_bytes);
  if (!verified) return raise_error(verified.error(), signature_bytes.size());
  return new_none();
}

PyObject* verify_strict(const Rec& r, Bytes payload, Bytes signature_bytes) {
  auto verified = verify_signature_strict(r.public_key_b64, payload, signature_bytes);
  if (!verified) return raise_error(verified.error(), signature_bytes.size());
  return new_none();
}

bool small_order_of(const Rec& r) { return has_small_order_key(r.public_key_b64); }

ProtocolAddress address_of(const Rec& r) { return {AddressClass::body, "peer", r.fingerprint}; }
int tier_of(const Rec& r) { return surface_tier(r.surface); }
bool attested_of(const Rec& r) { return surface_hardware_attested(r.surface); }

PyObject* repr_of(const Rec& r) {
  return Repr("PeerIdentityDescriptor")
      .text("fingerprint", r.fingerprint)
      .text("surface", name_of(r.surface))
      .integer("tier", surface_tier(r.surface))
      .finish();
}

// ---------------------------------------------------------------------------
// verify_many: a batch of verifications with the interpreter lock released.

// New references to the triples, dropped on every way out. The views handed
// to the batch point into these tuples' bytes and descriptors, which are
// immutable, so holding the tuples keeps every view valid without copying.
struct HeldTriples {
  std::vector<Ref> refs;
  std::vector<VerifyItem> views;
};

// Checks one item and appends its views; false with TypeError set. The
// position text is built only when it is needed for a message.
bool take_triple(PyObject* item, std::size_t index, HeldTriples& held) {
  const auto at = [index](const char* suffix = "") {
    return "items[" + std::to_string(index) + "]" + suffix;
  };
  if (!PyTuple_Check(item)) {
    cast_error(item, at().c_str(), "tuple");
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(item);
  if (size != 3) {
    raise_type_error("argument '" + at() +
                     "': expected a tuple (descriptor, payload, signature_bytes) of 3 "
                     "items, got " + std::to_string(size));
    return false;
  }
  PyObject* descriptor = PyTuple_GetItem(item, 0);
  PyObject* payload_obj = PyTuple_GetItem(item, 1);
  PyObject* signature_obj = PyTuple_GetItem(item, 2);
  if (!PyObject_TypeCheck(descriptor, cell_of<Rec>().get())) {
    cast_error(descriptor, at("[0]").c_str(), "PeerIdentityDescriptor");
    return false;
  }
  if (!PyBytes_Check(payload_obj)) {
    cast_error(payload_obj, at("[1]").c_str(), "bytes");
    return false;
  }
  if (!PyBytes_Check(signature_obj)) {
    cast_error(signature_obj, at("[2]").c_str(), "bytes");
    return false;
  }
  std::span<const std::uint8_t> payload, signature;
  if (!to_bytes(payload_obj, "payload", payload) ||
      !to_bytes(signature_obj, "signature_bytes", signature)) {
    return false;
  }
  const Rec& record = record_of<Rec>(descriptor);
  held.views.push_back({record.public_key_b64, payload, signature, &record.key_cache});
  return true;
}

// Reads the whole iterable first, so that a wrong type anywhere is reported
// before any verification runs.
bool collect_triples(PyObject* items, HeldTriples& held) {
  Ref iter = Ref::steal(PyObject_GetIter(items));
  if (!iter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    // Not iterable at all gets the usual cast message; a TypeError raised by
    // the object's own __iter__ goes through. The check runs with no
    // exception pending, as the C API requires.
    PendingError e = PendingError::take();
    if (PyObject_HasAttrString(items, "__iter__")) {
      e.restore();
    } else {
      cast_error(items, "items", "Iterable");
    }
    return false;
  }
  bool ok = true;
  while (PyObject* item = PyIter_Next(iter.get())) {
    held.refs.push_back(Ref::steal(item));
    if (!take_triple(item, held.views.size(), held)) {
      ok = false;
      break;
    }
    // A million triples take a while to gather: signals are answered.
    if (held.views.size() % 4096 == 0 && PyErr_CheckSignals() != 0) {
      ok = false;
      break;
    }
  }
  return ok && PyErr_Occurred() == nullptr;
}

PyObject* verify_all(PyObject* items, Strictness how) {
  HeldTriples held;
  if (!collect_triples(items, held)) return nullptr;
  std::vector<std::uint8_t> verdicts(held.views.size());
  const std::size_t tasks = batch_tasks(verdicts.size());
  Result<void, BlockingError> ran;
  // Nothing below touches Python: the views stay valid through `held`.
  if (tasks == 0) {
    if (!verdicts.empty()) {
      const WithoutInterpreter unlocked;
      verify_each(held.views, verdicts, how);
    }
  } else {
    ran = run_released(
        [&](Runtime& rt) { return verify_batch(rt, held.views, verdicts, tasks, how); });
  }
  if (!ran) panic(std::move(ran.error().text));
  return new_list(verdicts, [](std::uint8_t v) { return new_bool(v != 0); });
}

PyObject* verify_many(PyObject* items) { return verify_all(items, Strictness::protocol); }
PyObject* verify_many_strict(PyObject* items) { return verify_all(items, Strictness::strict); }

}  // namespace

TypeCell& ClassOf<PeerIdentityDescriptor>::cell() {
  static TypeCell cell(Cls::def({
      .doc = "Public, serialisable view of a peer's identity.\n\n"
             "Python is a verifier, not a signer: this binding exposes parsing and\n"
             "serialising of the descriptor wire form, verification of signatures\n"
             "against the descriptor's public key, and computation of deterministic\n"
             "fingerprints from raw public-key bytes. Python is not given access to\n"
             "`SoftwareIdentity::sign` or `SoftwareIdentity::generate` here, because\n"
             "private-key material lives in the secure surface of the host's signing\n"
             "process (Keychain / Secure Enclave / HSM / threshold); backend Python\n"
             "dispatches signing of acts there instead of holding a key in its own\n"
             "address space.",
      .repr = unary_slot<repr_of>,
      .json = JsonDocs{},
      .methods =
          {Cls::static_method<fingerprint_of, "fingerprint_of", "public_key_bytes">(
               "Fingerprint of a raw 32-byte Ed25519 public key: the first 16 bytes of\n"
               "its SHA-256 digest as 32 lowercase hexadecimal digits."),
           Cls::method<verify, "verify", "payload", "signature_bytes">(
               "Verify an Ed25519 signature over `payload` with this descriptor's public\n"
               "key. Returns None; raises `ValueError` when verification fails."),
           Cls::static_method<verify_many, "verify_many", "items">(
               "Verify many `(descriptor, payload, signature_bytes)` triples at once.\n"
               "Returns a list of bools in input order: True where\n"
               "`descriptor.verify(payload, signature_bytes)` would succeed, False where it\n"
               "would raise `ValueError`. Every triple is type-checked before any\n"
               "verification (`TypeError` names the position). The interpreter lock is\n"
               "released while verifying, and large batches are spread over one worker\n"
               "thread per CPU available to the process."),
           Cls::method<verify_strict, "verify_strict", "payload", "signature_bytes">(
               "Verify as `verify` does, and also refuse what libsodium's own verification\n"
               "refuses: a public key of small order (anyone can sign for it) or with a\n"
               "non-canonical encoding, and a signature whose R is of small order. Returns\n"
               "None; raises `ValueError` with the same messages as `verify`, and a note\n"
               "saying what the strict check refused."),
           Cls::static_method<verify_many_strict, "verify_many_strict", "items">(
               "`verify_many` with the checks of `verify_strict`: True where\n"
               "`descriptor.verify_strict(payload, signature_bytes)` would succeed."),
           Cls::method<address_of, "address">(
               "The descriptor's protocol address, `tov://body/peer/<fingerprint>`.")},
      // The wire fields, then what the surface implies.
      .properties = {Cls::property<tier_of, "tier">(
                         "The surface's tier: 0 (software) to 4 (threshold).\n\nType: `int`."),
                     Cls::property<attested_of, "hardware_attested">(
                         "Whether the tier is 2 or more; the surface alone decides, not\n"
                         "the attestation chain.\n\nType: `bool`."),
                     Cls::property<small_order_of, "has_small_order_key">(
                         "Whether the public key is a point of small order, for which anyone\n"
                         "can make a signature that `verify` accepts; False when the key\n"
                         "does not decode.\n\nType: `bool`.")},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
