// Python face of CounterpartyInfo.
#include "classes.hpp"
#include "envelope.hpp"

namespace ulo::py {
namespace {

using Rec = CounterpartyInfo;

std::optional<std::string> owned(const std::optional<std::string_view>& v) {
  return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
}

PyObject* info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr const char* params[] = {"identifier", "protocol_hint", "peer_address",
                                             "counterparty_signature"};
    static constexpr Signature sig{"CounterpartyInfo.__new__()", params, 2};
    PyObject* a[4];
    std::string_view identifier, hint;
    std::optional<std::string_view> peer, signature;
    if (!bind_tuple(sig, args, kwargs, a) || !to_text(a[0], "identifier", identifier) ||
        !to_text(a[1], "protocol_hint", hint) || !to_opt_text(a[2], "peer_address", peer) ||
        !to_opt_text(a[3], "counterparty_signature", signature)) {
      return nullptr;
    }
    return wrap(type, Rec{std::string(identifier), std::string(hint), owned(peer), owned(signature)});
  });
}

PyObject* opt_text(const std::optional<std::string>& v) {
  return new_optional(v, [](const std::string& s) { return new_text(s); });
}

PyObject* identifier_of(const Rec& r) { return new_text(r.identifier); }
PyObject* hint_of(const Rec& r) { return new_text(r.protocol_hint); }
PyObject* peer_of(const Rec& r) { return opt_text(r.peer_address); }
PyObject* signature_of(const Rec& r) { return opt_text(r.counterparty_signature); }
PyObject* dict_of(const Rec& r) { return json_loads(counterparty_to_json(r)); }

PyObject* reduce(const Rec& r) {
  PyObject* args = Py_BuildValue("(NNNN)", identifier_of(r), hint_of(r), peer_of(r),
                                 signature_of(r));
  return args != nullptr ? Py_BuildValue("(ON)", counterparty_info_cell().get(), args) : nullptr;
}

PyObject* repr_of(const Rec& r) {
  return Repr("CounterpartyInfo")
      .text("identifier", r.identifier)
      .text("protocol_hint", r.protocol_hint)
      .finish();
}

PyMethodDef methods[] = {
    {"to_dict", method0<Rec, dict_of>, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"__reduce__", method0<Rec, reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"identifier", getter<Rec, identifier_of>, nullptr, nullptr, nullptr},
    {"protocol_hint", getter<Rec, hint_of>, nullptr, nullptr, nullptr},
    {"peer_address", getter<Rec, peer_of>, nullptr, nullptr, nullptr},
    {"counterparty_signature", getter<Rec, signature_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "CounterpartyInfo(identifier, protocol_hint, peer_address=None, "
    "counterparty_signature=None)\n--\n\n"
    "Everything we know about the other end of an exchange. Free-form\n"
    "metadata that travels with a `SignedEnvelope`.";

}  // namespace

TypeCell& counterparty_info_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<Rec>("CounterpartyInfo", kDoc, repr_slot<Rec, repr_of>);
    def.methods = methods;
    def.getset = getset;
    def.construct = info_new;
    def.compare = richcompare<Rec>;
    return def;
  }());
  return cell;
}

}  // namespace ulo::py
