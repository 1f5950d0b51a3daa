// Python face of CounterpartyInfo: constructor, properties, dict and pickle
// forms come from the record's field table.
#include "classes.hpp"
#include "envelope.hpp"

namespace ulo::py {
namespace {

using Rec = CounterpartyInfo;
using Cls = Class<Rec, &kCounterpartyInfoRecord>;

PyObject* repr_of(const Rec& r) {
  return Repr("CounterpartyInfo")
      .text("identifier", r.identifier)
      .text("protocol_hint", r.protocol_hint)
      .finish();
}

}  // namespace

TypeCell& ClassOf<CounterpartyInfo>::cell() {
  static TypeCell cell(Cls::def({
      .doc = "Everything we know about the other end of an exchange. Free-form\n"
             "metadata that travels with a `SignedEnvelope`.",
      .repr = unary_slot<repr_of>,
      .construct = Cls::fields_constructor<2>(),
      .methods = {Cls::method<JsonForms<Rec, &kCounterpartyInfoRecord>::to_dict, "to_dict">(""),
                  Cls::method<reduce_by_fields<Rec, &kCounterpartyInfoRecord>, "__reduce__">()},
      .equality = Equality::content,
  }));
  return cell;
}

}  // namespace ulo::py
