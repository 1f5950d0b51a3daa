"""The module frame: registration, type flags and re-import."""
import importlib
import inspect
import subprocess
import sys

import pytest

import ulo_protocol

EXPECTED_ORDER = [
    "__version__", "ProtocolAddress", "CounterpartyInfo", "SignedEnvelope",
    "AttestationChain", "PeerIdentityDescriptor", "SoftwareIdentity", "AnchorReceipt",
    "AnchorProof", "MockAnchor", "EnvelopeQueue", "QueuedItem", "classify_exchange",
]
CLASSES = [n for n in ulo_protocol.__all__ if n[0].isupper()]
NO_CONSTRUCTOR = {"SignedEnvelope", "PeerIdentityDescriptor", "SoftwareIdentity",
                  "AnchorReceipt", "AnchorProof", "QueuedItem"}


def test_version_and_doc():
    assert ulo_protocol.__version__ == "0.1.0"
    assert ulo_protocol.__doc__ == ""


def test_all_lists_registered_names_in_order():
    names = ulo_protocol.__all__
    assert names == [n for n in EXPECTED_ORDER if n in names]
    assert names[:2] == ["__version__", "ProtocolAddress"]
    for n in names:
        assert hasattr(ulo_protocol, n)


@pytest.mark.parametrize("name", CLASSES)
def test_class_flags(name):
    cls = getattr(ulo_protocol, name)
    assert cls.__module__ == "ulo_protocol"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    if name in NO_CONSTRUCTOR:
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("name, signature, doc_start", [
    ("ProtocolAddress", "(address_class, type_, ref_)", "Wraps the kernel's"),
    ("CounterpartyInfo", "(identifier, protocol_hint, peer_address=None, counterparty_signature=None)",
     "Everything we know"),
    ("AttestationChain", "(certs_b64=Ellipsis, vendor=Ellipsis)", "Hardware attestation chain."),
    ("MockAnchor", "(id)", "In-memory anchor"),
    ("EnvelopeQueue", "(dir)", "File-backed envelope spill queue"),
])
def test_constructor_signature_from_docstring(name, signature, doc_start):
    cls = getattr(ulo_protocol, name)
    assert str(inspect.signature(cls)) == signature
    assert cls.__doc__.startswith(doc_start)


def test_instances_take_no_new_attributes():
    addr = ulo_protocol.ProtocolAddress("body", "t", "r")
    with pytest.raises(AttributeError):
        addr.extra = 1
    with pytest.raises(AttributeError):
        addr.ref = "x"


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("ulo_protocol")
    try:
        again = importlib.import_module("ulo_protocol")
        assert again is first
    finally:
        sys.modules["ulo_protocol"] = first


def test_import_starts_no_thread_and_prints_nothing():
    code = ("import os; before = len(os.listdir('/proc/self/task')); import ulo_protocol; "
            "print(before, len(os.listdir('/proc/self/task')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after = out.stdout.split()
    assert before == after
    assert out.stderr == ""
