"""Misuses the stubs must refuse. Never run; checked by check_misuse.py.

Every line marked `# error` must be reported by both mypy --strict and
basedpyright, and no other line may be.
"""

from __future__ import annotations

from collections.abc import Hashable

import ulo_protocol as ulo


def no_envelope_constructor() -> None:
    ulo.SignedEnvelope()  # error


def no_queued_item_constructor() -> None:
    ulo.QueuedItem()  # error


def no_descriptor_constructor() -> None:
    ulo.PeerIdentityDescriptor()  # error


def no_identity_constructor() -> None:
    ulo.SoftwareIdentity(b"\0" * 32)  # error


def no_receipt_constructor() -> None:
    ulo.AnchorReceipt()  # error


def no_proof_constructor() -> None:
    ulo.AnchorProof()  # error


def wrong_arguments(env: ulo.SignedEnvelope, addr: ulo.ProtocolAddress) -> None:
    _ = addr < addr  # error
    unhashable: Hashable = env  # error
    _ = ulo.SignedEnvelope.from_dict([])  # error
    _ = ulo.SoftwareIdentity.from_seed(bytearray(32))  # error
    ulo.EnvelopeQueue("q").push("routing", env.to_json())  # error
    _ = ulo.ProtocolAddress.parse(b"tov://body/peer/x")  # error
    env.exchange_id = "other"  # error
    _ = ulo.SignedEnvelope.from_dict({**env.to_dict(), "closed_on": "2026-04-15T09:00:01Z"})  # error
    _ = ulo.SignedEnvelope.from_dict({"exchange_id": "ex-1"})  # error
    _ = ulo.SignedEnvelope.from_dict({**env.to_dict(), "direction": "sideways"})  # error
    _ = env.to_dict()["closed_on"]  # error
    del unhashable
