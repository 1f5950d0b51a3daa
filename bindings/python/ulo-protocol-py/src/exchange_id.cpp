// The module-level function new_exchange_id.
#include "classes.hpp"
#include "exchange_id.hpp"

namespace ulo::py {
namespace {

PyObject* make_id() { return new_text(new_exchange_id()); }

}  // namespace

PyMethodDef& new_exchange_id_def() {
  static ModuleFunction f(function<make_id, "new_exchange_id">(
      "A new exchange id: a UUIDv7 (RFC 9562) as lowercase hyphenated text.\n\n"
      "Ids sort in the order they were made: each is greater than every id made\n"
      "before it in this process, by any thread, within one millisecond too, and\n"
      "in a forked child greater than its parent's. The queue lists items in the\n"
      "order of their ids, so with these ids it drains in emission order."));
  return f.def;
}

}  // namespace ulo::py
