// Python face of QueuedItem.
#include "classes.hpp"
#include "envelope.hpp"

namespace ulo::py {
namespace {

PyObject* queue_id_of(const QueuedItem& i) { return new_text(i.queue_id); }
PyObject* pair_class_of(const QueuedItem& i) { return new_text(i.pair_class); }
PyObject* envelope_of(const QueuedItem& i) { return new_signed_envelope(i.envelope); }

PyObject* item_repr(const QueuedItem& i) {
  return Repr("QueuedItem").text("queue_id", i.queue_id).text("pair_class", i.pair_class).finish();
}

PyGetSetDef item_getset[] = {
    {"queue_id", getter<QueuedItem, queue_id_of>, nullptr, nullptr, nullptr},
    {"pair_class", getter<QueuedItem, pair_class_of>, nullptr, nullptr, nullptr},
    {"envelope", getter<QueuedItem, envelope_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "One spilled record: the envelope plus the pair class it was meant to\n"
    "be emitted as. Constructed by the queue, not by user code.";

}  // namespace

TypeCell& queued_item_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<QueuedItem>("QueuedItem", kDoc, repr_slot<QueuedItem, item_repr>);
    def.getset = item_getset;
    return def;
  }());
  return cell;
}

PyObject* new_queued_item(QueuedItem&& item) {
  return wrap(queued_item_cell().get(), std::move(item));
}

}  // namespace ulo::py
