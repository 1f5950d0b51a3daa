// The module-level function classify_exchange.
#include <string>

#include "classes.hpp"
#include "classify.hpp"

namespace ulo::py {

PyMethodDef& classify_exchange_def() {
  static const MethodRow row =
      function<classify_exchange, "classify_exchange", "protocol_hint", "counterparty">(
          "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
          "routing, discovery, enrichment, composition, causal, marketplace,\n"
          "trust, compliance, conductance, mediation, preference.\n\n"
          "Mirror of `ulo_protocol_signed_envelope::classify::classify_exchange`.");
  static const std::string doc = text_signature(row.name, false, row.params) + row.doc;
  static PyMethodDef def{row.name, row.function, row.flags, doc.c_str()};
  return def;
}

}  // namespace ulo::py
