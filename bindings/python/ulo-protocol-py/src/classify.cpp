// The module-level function classify_exchange.
#include <string>

#include "classes.hpp"
#include "classify.hpp"

namespace ulo::py {

PyMethodDef& classify_exchange_def() {
  static ModuleFunction f(
      function<classify_exchange, "classify_exchange", "protocol_hint", "counterparty">(
          "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
          "routing, discovery, enrichment, composition, causal, marketplace,\n"
          "trust, compliance, conductance, mediation, preference.\n\n"
          "Mirror of `ulo_protocol_signed_envelope::classify::classify_exchange`."));
  return f.def;
}

}  // namespace ulo::py
