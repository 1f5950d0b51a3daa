// The type cell of every class: ClassOf<R>::cell() for the record R its
// instances hold. Each is defined in the class's own file.
#pragma once
#include "toolkit.hpp"

namespace ulo {
struct ProtocolAddress;
struct AttestationChain;
struct CounterpartyInfo;
struct SignedEnvelope;
struct PeerIdentityDescriptor;
class SoftwareIdentity;
struct AnchorReceipt;
struct AnchorProof;
struct QueuedItem;
}  // namespace ulo

namespace ulo::py {

// The records of the classes that are not wire records.
struct AnchorRec;  // mock_anchor.cpp
struct QueueRec;   // envelope_queue.cpp
struct ItemsRec;   // queued_item_iterator.cpp

#define ULO_CLASS_OF(R)          \
  template <>                    \
  struct ClassOf<R> {            \
    static TypeCell& cell();     \
  }

ULO_CLASS_OF(ProtocolAddress);
ULO_CLASS_OF(CounterpartyInfo);
ULO_CLASS_OF(SignedEnvelope);
ULO_CLASS_OF(AttestationChain);
ULO_CLASS_OF(PeerIdentityDescriptor);
ULO_CLASS_OF(SoftwareIdentity);
ULO_CLASS_OF(AnchorReceipt);
ULO_CLASS_OF(AnchorProof);
ULO_CLASS_OF(AnchorRec);
ULO_CLASS_OF(QueueRec);
ULO_CLASS_OF(QueuedItem);
ULO_CLASS_OF(ItemsRec);

#undef ULO_CLASS_OF

// A new iterator over the items of the queue in `dir` (EnvelopeQueue.items).
PyObject* new_queued_item_iterator(const std::string& dir);

// A module-level function's definition, made once from its row: the
// docstring is the text signature, then the description.
struct ModuleFunction {
  explicit ModuleFunction(const MethodRow& r)
      : row(r), doc(text_signature(r.name, false, r.params) + r.doc),
        def{r.name, r.function, r.flags, doc.c_str()} {}
  MethodRow row;
  std::string doc;
  PyMethodDef def;
};

// The module-level functions, each defined in its own file.
PyMethodDef& classify_exchange_def();
PyMethodDef& merkle_root_def();
PyMethodDef& merkle_inclusion_proof_def();
PyMethodDef& verify_merkle_inclusion_def();
PyMethodDef& new_exchange_id_def();

}  // namespace ulo::py
