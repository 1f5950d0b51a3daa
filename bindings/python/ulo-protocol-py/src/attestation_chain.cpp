// Python face of AttestationChain.
#include "classes.hpp"
#include "fields.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

using Rec = AttestationChain;

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("AttestationChain.__new__()", {"certs_b64", "vendor"}, 0);
    Args a(sig);
    if (!a.bind(args, kwargs)) return nullptr;
    // An omitted argument takes the default; an explicit None is refused.
    Rec rec;
    if (a.given(0) && !a.text_list(0, rec.certs_b64)) return nullptr;
    if (a.given(1)) {
      std::string_view vendor;
      if (!a.text(1, vendor)) return nullptr;
      rec.vendor.assign(vendor);
    }
    return wrap(type, std::move(rec));
  });
}

PyObject* is_empty(const Rec& r) { return new_bool(r.is_empty()); }

PyObject* reduce(const Rec& r) {
  return reduce_by_fields(attestation_chain_cell().get(), kAttestationChainRecord, &r);
}

PyObject* repr_of(const Rec& r) {
  return Repr("AttestationChain")
      .text("vendor", r.vendor)
      .integer("certs", static_cast<long long>(r.certs_b64.size()))
      .finish();
}

PyMethodDef methods[] = {
    {"is_empty", method0<Rec, is_empty>, METH_NOARGS, "is_empty($self)\n--\n\n"},
    {"__reduce__", method0<Rec, reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "AttestationChain(certs_b64=..., vendor=...)\n--\n\n"
    "Hardware attestation chain. Empty for software identities; non-empty\n"
    "for Secure Enclave / TPM / YubiKey / threshold identities.";

}  // namespace

TypeCell& attestation_chain_cell() {
  static TypeCell cell([] {
    ClassDef def = table_class<Rec>(kAttestationChainRecord, kDoc, repr_slot<Rec, repr_of>, methods);
    def.construct = chain_new;
    return def;
  }());
  return cell;
}

PyObject* new_attestation_chain(const AttestationChain& c) {
  return wrap(attestation_chain_cell().get(), AttestationChain(c));
}

}  // namespace ulo::py
