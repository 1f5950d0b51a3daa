// Python face of AttestationChain.
#include "classes.hpp"
#include "identity.hpp"

namespace ulo::py {
namespace {

using Rec = AttestationChain;

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"certs_b64", "vendor"};
    static constexpr Signature sig{"AttestationChain.__new__()", params, 0};
    PyObject* a[2];
    if (!bind_tuple(sig, args, kwargs, a)) return nullptr;
    // An omitted argument takes the default; an explicit None is refused.
    Rec rec;
    if (a[0] != nullptr && !to_text_list(a[0], "certs_b64", rec.certs_b64)) return nullptr;
    if (a[1] != nullptr) {
      std::string_view vendor;
      if (!to_text(a[1], "vendor", vendor)) return nullptr;
      rec.vendor.assign(vendor);
    }
    return wrap(type, std::move(rec));
  });
}

PyObject* certs_of(const Rec& r) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.certs_b64.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < r.certs_b64.size(); ++i) {
    PyObject* s = new_text(r.certs_b64[i]);
    if (s == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

PyObject* vendor_of(const Rec& r) { return new_text(r.vendor); }
PyObject* is_empty(const Rec& r) { return new_bool(r.is_empty()); }

PyObject* reduce(const Rec& r) {
  return Py_BuildValue("(O(NN))", attestation_chain_cell().get(), certs_of(r), vendor_of(r));
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

PyGetSetDef getset[] = {
    {"certs_b64", getter<Rec, certs_of>, nullptr, nullptr, nullptr},
    {"vendor", getter<Rec, vendor_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "AttestationChain(certs_b64=..., vendor=...)\n--\n\n"
    "Hardware attestation chain. Empty for software identities; non-empty\n"
    "for Secure Enclave / TPM / YubiKey / threshold identities.";

}  // namespace

TypeCell& attestation_chain_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("AttestationChain", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.construct = chain_new;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

PyObject* new_attestation_chain(const AttestationChain& c) {
  return wrap(attestation_chain_cell().get(), AttestationChain(c));
}

}  // namespace ulo::py
