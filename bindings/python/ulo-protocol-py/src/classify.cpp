// The module-level function classify_exchange.
#include "classes.hpp"
#include "classify.hpp"

namespace ulo::py {
namespace {

PyObject* classify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("classify_exchange()", {"protocol_hint", "counterparty"});
    Args a(sig);
    std::string_view hint, counterparty;
    if (!a.bind(args, nargs, kwnames) || !a.text(0, hint) || !a.text(1, counterparty)) {
      return nullptr;
    }
    return new_text(classify_exchange(hint, counterparty));
  });
}

}  // namespace

PyMethodDef classify_exchange_def = {
    "classify_exchange", ULO_FASTCALL(classify), METH_FASTCALL | METH_KEYWORDS,
    "classify_exchange(protocol_hint, counterparty)\n--\n\n"
    "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
    "routing, discovery, enrichment, composition, causal, marketplace,\n"
    "trust, compliance, conductance, mediation, preference.\n\n"
    "Mirror of `ulo_protocol_signed_envelope::classify::classify_exchange`."};

}  // namespace ulo::py
