// Python face of CounterpartyInfo: properties, dict and pickle forms from the
// record's field table.
#include "classes.hpp"
#include "envelope.hpp"
#include "fields.hpp"
#include "record_table.hpp"

namespace ulo::py {
namespace {

using Rec = CounterpartyInfo;

std::optional<std::string> owned(const std::optional<std::string_view>& v) {
  return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
}

PyObject* info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig =
        params("CounterpartyInfo.__new__()",
               {"identifier", "protocol_hint", "peer_address", "counterparty_signature"}, 2);
    Args a(sig);
    std::string_view identifier, hint;
    std::optional<std::string_view> peer, signature;
    if (!a.bind(args, kwargs) || !a.text(0, identifier) || !a.text(1, hint) ||
        !a.opt_text(2, peer) || !a.opt_text(3, signature)) {
      return nullptr;
    }
    return wrap(type, Rec{std::string(identifier), std::string(hint), owned(peer), owned(signature)});
  });
}

PyObject* dict_of(const Rec& r) { return json_loads(encode_record(kCounterpartyInfoRecord, &r)); }

PyObject* reduce(const Rec& r) {
  return reduce_by_fields(counterparty_info_cell().get(), kCounterpartyInfoRecord, &r);
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

constexpr const char* kDoc =
    "CounterpartyInfo(identifier, protocol_hint, peer_address=None, "
    "counterparty_signature=None)\n--\n\n"
    "Everything we know about the other end of an exchange. Free-form\n"
    "metadata that travels with a `SignedEnvelope`.";

}  // namespace

TypeCell& counterparty_info_cell() {
  static TypeCell cell([] {
    ClassDef def = table_class<Rec>(kCounterpartyInfoRecord, kDoc, repr_slot<Rec, repr_of>, methods);
    def.construct = info_new;
    return def;
  }());
  return cell;
}

}  // namespace ulo::py
