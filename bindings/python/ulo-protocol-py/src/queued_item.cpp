// Python face of QueuedItem: its properties come from the record's field
// table. Unlike the value records it keeps identity equality and has no
// JSON or dict form.
#include "classes.hpp"
#include "envelope.hpp"
#include "fields.hpp"

namespace ulo::py {
namespace {

PyObject* item_repr(const QueuedItem& i) {
  return Repr("QueuedItem").text("queue_id", i.queue_id).text("pair_class", i.pair_class).finish();
}

constexpr const char* kDoc =
    "One spilled record: the envelope plus the pair class it was meant to\n"
    "be emitted as. Constructed by the queue, not by user code.";

}  // namespace

TypeCell& queued_item_cell() {
  static TypeCell cell([] {
    static std::vector<PyGetSetDef> getset = field_getset<QueuedItem>(kQueuedItemRecord);
    ClassDef def = record_class<QueuedItem>("QueuedItem", kDoc, repr_slot<QueuedItem, item_repr>);
    def.getset = getset.data();
    return def;
  }());
  return cell;
}

PyObject* new_queued_item(QueuedItem&& item) {
  return wrap(queued_item_cell().get(), std::move(item));
}

}  // namespace ulo::py
