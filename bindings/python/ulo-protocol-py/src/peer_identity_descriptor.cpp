// Python face of PeerIdentityDescriptor: its fields and forms come from the
// record's field table; verification and fingerprints are its own.
#include "bridge.hpp"
#include "classes.hpp"
#include "identity.hpp"
#include "json_forms.hpp"
#include "verify_batch.hpp"

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
                               std::string(name_of(ok.error())));
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
  if (!PyObject_TypeCheck(descriptor, peer_identity_descriptor_cell().get())) {
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
  held.views.push_back({record_of<Rec>(descriptor).public_key_b64, payload, signature});
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
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(trace);
    if (PyObject_HasAttrString(items, "__iter__")) {
      PyErr_Restore(t.release(), v.release(), tb.release());
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
  }
  return ok && PyErr_Occurred() == nullptr;
}

PyObject* verify_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("PeerIdentityDescriptor.verify_many()", {"items"});
    Args a(sig);
    HeldTriples held;
    if (!a.bind(args, nargs, kwnames) || !collect_triples(a[0], held)) {
      return nullptr;
    }
    std::vector<std::uint8_t> verdicts(held.views.size());
    const std::size_t tasks = batch_tasks(verdicts.size());
    Result<void, BlockingError> ran;
    if (!verdicts.empty()) {
      // Nothing below touches Python: the views stay valid through `held`.
      PyThreadState* saved = PyEval_SaveThread();
      try {
        if (tasks == 0) {
          verify_each(held.views, verdicts);
        } else {
          ran = run_to_completion(
              [&](Runtime& rt) { return verify_batch(rt, held.views, verdicts, tasks); });
        }
      } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
      }
      PyEval_RestoreThread(saved);
    }
    if (!ran) panic(std::move(ran.error().text));
    return new_list(verdicts, [](std::uint8_t v) { return new_bool(v != 0); });
  });
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
    {"verify_many", ULO_FASTCALL(verify_many), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "verify_many(items)\n--\n\n"
     "Verify many `(descriptor, payload, signature_bytes)` triples at once.\n"
     "Returns a list of bools in input order: True where\n"
     "`descriptor.verify(payload, signature_bytes)` would succeed, False where it\n"
     "would raise `ValueError`. Every triple is type-checked before any\n"
     "verification (`TypeError` names the position). The interpreter lock is\n"
     "released while verifying, and large batches are spread over one worker\n"
     "thread per CPU available to the process."},
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
