// Python face of QueuedItem: its properties come from the record's field
// table. Unlike the value records it keeps identity equality and has no
// JSON or dict form.
#include "classes.hpp"
#include "envelope.hpp"

namespace ulo::py {
namespace {

PyObject* repr_of(const QueuedItem& i) {
  return Repr("QueuedItem").text("queue_id", i.queue_id).text("pair_class", i.pair_class).finish();
}

}  // namespace

TypeCell& ClassOf<QueuedItem>::cell() {
  static TypeCell cell(Class<QueuedItem, &kQueuedItemRecord>::def({
      .doc = "One spilled record: the envelope plus the pair class it was meant to\n"
             "be emitted as. Constructed by the queue, not by user code.",
      .repr = unary_slot<repr_of>,
  }));
  return cell;
}

}  // namespace ulo::py
