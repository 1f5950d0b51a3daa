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

PyType_Slot item_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "One spilled record: the envelope plus the pair class it was meant to\n"
                    "be emitted as. Constructed by the queue, not by user code.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<QueuedItem>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot<QueuedItem, item_repr>)},
    {Py_tp_getset, item_getset},
    {0, nullptr},
};

PyType_Spec item_spec = {"ulo_protocol.QueuedItem", sizeof(Instance<QueuedItem>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, item_slots};

}  // namespace

TypeCell& queued_item_cell() {
  static TypeCell cell("QueuedItem", &item_spec);
  return cell;
}

PyObject* new_queued_item(QueuedItem&& item) {
  return wrap(queued_item_cell().get(), std::move(item));
}

}  // namespace ulo::py
