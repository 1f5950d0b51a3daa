// Python face of SoftwareIdentity. Equality and hash stay by identity: two
// identities from one seed are distinct objects holding the same key.
#include "classes.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

using Rec = SoftwareIdentity;
using Cls = Class<Rec>;

PyObject* generate() {
  auto id = Rec::generate();
  if (!id) panic("Error: " + id.error());
  return new_instance(std::move(*id));
}

PyObject* from_seed(Bytes seed) {
  auto id = Rec::from_seed(seed);
  if (!id) return raise_value_error("seed must be exactly 32 bytes");
  return new_instance(std::move(*id));
}

std::string_view surface_of(const Rec&) { return name_of(Surface::software); }
bool attested_of(const Rec&) { return surface_hardware_attested(Surface::software); }

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

}  // namespace

TypeCell& ClassOf<SoftwareIdentity>::cell() {
  static TypeCell cell(Cls::def({
      .name = "SoftwareIdentity",
      .doc = "Tier-0 Ed25519 identity. Keypair lives in Python process memory.\n\n"
             "`surface() == \"software\"` and `hardware_attested() == False` by\n"
             "construction \xe2\x80\x94 substrate adjudicators read these properties when\n"
             "deciding what this identity is allowed to sign.",
      .repr = unary_slot<repr_of>,
      .methods = {Cls::static_method<generate, "generate">(
                      "A new identity from 32 bytes of the operating system's random source."),
                  Cls::static_method<from_seed, "from_seed", "seed">(
                      "The identity of a 32-byte Ed25519 seed (deterministic)."),
                  Cls::method<&Rec::sign, "sign", "payload">(
                      "The 64-byte Ed25519 signature of `payload`."),
                  Cls::method<&Rec::descriptor, "descriptor">(
                      "The identity's public `PeerIdentityDescriptor`."),
                  Cls::method<&Rec::seed, "secret_bytes">(
                      "The 32-byte seed. Once handed out it is ordinary Python data."),
                  Cls::method<reduce, "__reduce__">()},
      .properties = {Cls::property<&Rec::fingerprint, "fingerprint">(),
                     Cls::property<surface_of, "surface">(),
                     Cls::property<attested_of, "hardware_attested">()},
  }));
  return cell;
}

}  // namespace ulo::py
