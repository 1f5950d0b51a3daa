// The type cells of every class and the conversions one class file needs
// from another.
#pragma once
#include "toolkit.hpp"

namespace ulo {
struct ProtocolAddress;
struct AttestationChain;
struct CounterpartyInfo;
struct SignedEnvelope;
struct PeerIdentityDescriptor;
struct AnchorReceipt;
struct AnchorProof;
struct QueuedItem;
}

namespace ulo::py {

TypeCell& protocol_address_cell();
PyObject* new_protocol_address(const ProtocolAddress& a);

TypeCell& counterparty_info_cell();
TypeCell& signed_envelope_cell();
PyObject* new_signed_envelope(const SignedEnvelope& e);
TypeCell& attestation_chain_cell();
PyObject* new_attestation_chain(const AttestationChain& c);
TypeCell& peer_identity_descriptor_cell();
PyObject* new_peer_identity_descriptor(PeerIdentityDescriptor&& d);
TypeCell& software_identity_cell();
TypeCell& anchor_receipt_cell();
PyObject* new_anchor_receipt(AnchorReceipt&& r);
TypeCell& anchor_proof_cell();
PyObject* new_anchor_proof(AnchorProof&& p);
TypeCell& mock_anchor_cell();
TypeCell& envelope_queue_cell();
TypeCell& queued_item_cell();
PyObject* new_queued_item(QueuedItem&& item);

// Module-level function definition of classify_exchange.
extern PyMethodDef classify_exchange_def;

}  // namespace ulo::py
