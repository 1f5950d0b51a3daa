// Python face of SoftwareIdentity. Equality and hash stay by identity: two
// identities from one seed are distinct objects holding the same key.
#include "classes.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

using Rec = SoftwareIdentity;

PyObject* make(Rec&& id) { return wrap(software_identity_cell().get(), std::move(id)); }

PyObject* generate(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    auto id = Rec::generate();
    if (!id) panic("Error: " + id.error());
    return make(std::move(*id));
  });
}

PyObject* from_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("SoftwareIdentity.from_seed()", {"seed"});
    Args a(sig);
    std::span<const std::uint8_t> seed;
    if (!a.bind(args, nargs, kwnames) || !a.bytes(0, seed)) return nullptr;
    auto id = Rec::from_seed(seed);
    if (!id) return raise_value_error("seed must be exactly 32 bytes");
    return make(std::move(*id));
  });
}

PyObject* sign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("SoftwareIdentity.sign()", {"payload"});
    Args a(sig);
    std::span<const std::uint8_t> payload;
    if (!a.bind(args, nargs, kwnames) || !a.bytes(0, payload)) return nullptr;
    return new_bytes(record_of<Rec>(self).sign(payload));
  });
}

PyObject* descriptor_of(const Rec& r) { return new_peer_identity_descriptor(r.descriptor()); }
PyObject* secret_of(const Rec& r) { return new_bytes(r.seed()); }
PyObject* fingerprint_of(const Rec& r) { return new_text(r.fingerprint()); }
PyObject* surface_of(const Rec&) { return new_text(name_of(Surface::software)); }
PyObject* attested_of(const Rec&) {
  return new_bool(surface_hardware_attested(Surface::software));
}

// A pickled key would be a secret written wherever the pickle goes.
PyObject* reduce(const Rec&) {
  return refuse_pickling("SoftwareIdentity",
                         "it holds a secret key; move the seed explicitly with secret_bytes()");
}

PyObject* repr_of(const Rec& r) {
  return Repr("SoftwareIdentity")
      .text("fingerprint", r.fingerprint())
      .raw("surface", "\"software\"")
      .finish();
}

PyMethodDef methods[] = {
    {"generate", generate, METH_NOARGS | METH_STATIC,
     "generate()\n--\n\nA new identity from 32 bytes of the operating system's random source."},
    {"from_seed", ULO_FASTCALL(from_seed), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_seed(seed)\n--\n\nThe identity of a 32-byte Ed25519 seed (deterministic)."},
    {"sign", ULO_FASTCALL(sign), METH_FASTCALL | METH_KEYWORDS,
     "sign($self, payload)\n--\n\nThe 64-byte Ed25519 signature of `payload`."},
    {"descriptor", method0<Rec, descriptor_of>, METH_NOARGS,
     "descriptor($self)\n--\n\nThe identity's public `PeerIdentityDescriptor`."},
    {"secret_bytes", method0<Rec, secret_of>, METH_NOARGS,
     "secret_bytes($self)\n--\n\nThe 32-byte seed. Once handed out it is ordinary Python data."},
    {"__reduce__", method0<Rec, reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"fingerprint", getter<Rec, fingerprint_of>, nullptr, nullptr, nullptr},
    {"surface", getter<Rec, surface_of>, nullptr, nullptr, nullptr},
    {"hardware_attested", getter<Rec, attested_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Tier-0 Ed25519 identity. Keypair lives in Python process memory.\n\n"
    "`surface() == \"software\"` and `hardware_attested() == False` by\n"
    "construction \xe2\x80\x94 substrate adjudicators read these properties when\n"
    "deciding what this identity is allowed to sign.";

}  // namespace

TypeCell& software_identity_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("SoftwareIdentity", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    return def;
  }());
  return cell;
}

}  // namespace ulo::py
