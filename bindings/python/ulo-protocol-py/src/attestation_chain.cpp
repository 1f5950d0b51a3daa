// Python face of AttestationChain: constructor, properties and pickle form
// come from the record's field table.
#include "classes.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

using Rec = AttestationChain;
using Cls = Class<Rec, &kAttestationChainRecord>;

PyObject* repr_of(const Rec& r) {
  return Repr("AttestationChain")
      .text("vendor", r.vendor)
      .integer("certs", static_cast<long long>(r.certs_b64.size()))
      .finish();
}

}  // namespace

TypeCell& ClassOf<AttestationChain>::cell() {
  // Both parameters may be omitted; an explicit None is refused.
  static TypeCell cell(Cls::def({
      .doc = "Hardware attestation chain. Empty for software identities; non-empty\n"
             "for Secure Enclave / TPM / YubiKey / threshold identities.",
      .repr = unary_slot<repr_of>,
      .construct = Cls::fields_constructor<0>(),
      .methods = {Cls::method<&Rec::is_empty, "is_empty">(""),
                  Cls::method<reduce_by_fields<Rec, &kAttestationChainRecord>, "__reduce__">()},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
