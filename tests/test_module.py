"""The module frame: registration, type flags, docstrings and re-import."""
import datetime as dt
import importlib
import inspect
import re
import subprocess
import sys

import pytest

import ulo_protocol
from conftest import ENVELOPE_JSON, envelope_dict

EXPECTED_ORDER = [
    "__version__", "ProtocolAddress", "CounterpartyInfo", "SignedEnvelope",
    "AttestationChain", "PeerIdentityDescriptor", "SoftwareIdentity", "AnchorReceipt",
    "AnchorProof", "MockAnchor", "EnvelopeQueue", "QueuedItem", "classify_exchange",
    "merkle_root", "merkle_inclusion_proof", "verify_merkle_inclusion",
    "new_exchange_id",
]
CLASSES = [n for n in ulo_protocol.__all__ if n[0].isupper()]
NO_CONSTRUCTOR = {"SignedEnvelope", "PeerIdentityDescriptor", "SoftwareIdentity",
                  "AnchorReceipt", "AnchorProof", "QueuedItem"}


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
    ("EnvelopeQueue", "(dir, *, durable=False)", "File-backed envelope spill queue"),
])
def test_constructor_signature_from_docstring(name, signature, doc_start):
    cls = getattr(ulo_protocol, name)
    assert str(inspect.signature(cls)) == signature
    assert cls.__doc__.startswith(doc_start)


def instances(tmp_path):
    """One instance of every class with properties; optional fields both absent and present."""
    u = ulo_protocol
    me = u.SoftwareIdentity.from_seed(bytes(32))
    desc = me.descriptor()
    address = {"class": "body", "type": "peer", "ref": "bob"}
    env = u.SignedEnvelope.from_json(ENVELOPE_JSON)
    anchor = u.MockAnchor("m1")
    receipt = anchor.submit(bytes(32))
    queue = u.EnvelopeQueue(str(tmp_path))
    queue.push("routing", env)
    return [
        u.ProtocolAddress("body", "t", "r"), u.CounterpartyInfo("i", "p"),
        u.CounterpartyInfo("i", "p", "a", "s"), env,
        u.SignedEnvelope.from_dict(envelope_dict(
            peer_counterparty=address, response_hash="bb", counterparty_signature="s",
            closed_at="2026-04-15T09:00:01Z")),
        u.AttestationChain(["AA=="], "v"), desc,
        u.PeerIdentityDescriptor.from_dict({**desc.to_dict(), "superseded_by": address}),
        me, receipt, anchor.verify(receipt), anchor, queue, *queue.list(),
    ]


# Each property's docstring says what the value is, then "Type: ..." naming
# what it returns; checked against the value itself.
def test_every_property_documents_its_value_and_type(tmp_path):
    documented = set()
    for obj in instances(tmp_path):
        for name, attr in vars(type(obj)).items():
            if not inspect.isgetsetdescriptor(attr):
                continue
            documented.add(type(obj).__name__)
            what, _, shown = (attr.__doc__ or "").partition("\n\nType: ")
            assert what and shown, (type(obj), name)
            value = getattr(obj, name)
            if value is None:
                assert "or None" in shown, name
                continue
            t = type(value)
            assert re.match(r"`([\w.]+)`", shown)[1] in (t.__name__, f"{t.__module__}.{t.__name__}")
            if "one of" in shown:
                assert f'"{value}"' in shown.partition("one of")[2]
            if t is dt.datetime:
                assert value.tzinfo is dt.timezone.utc and "timezone-aware in UTC" in shown
            if t is list:
                assert "of `str`" in shown and all(type(x) is str for x in value)
    with_properties = {n for n in CLASSES if any(
        inspect.isgetsetdescriptor(a) for a in vars(getattr(ulo_protocol, n)).values())}
    assert documented == with_properties


JSON_FORMS = [("from_json", "(s)"), ("to_json", "($self)"), ("from_dict", "(d)"),
              ("to_dict", "($self)")]


@pytest.mark.parametrize("name", ["SignedEnvelope", "PeerIdentityDescriptor", "AnchorReceipt",
                                  "AnchorProof", "ProtocolAddress", "CounterpartyInfo"])
def test_dict_and_json_forms_are_described_under_unchanged_signatures(name):
    cls = getattr(ulo_protocol, name)
    forms = [(m, sig) for m, sig in JSON_FORMS if hasattr(cls, m)]
    assert forms
    for method, sig in forms:
        f = getattr(cls, method)
        assert f.__text_signature__ == sig and f.__doc__, method
        assert str(inspect.signature(f)) == ("(s)" if sig == "(s)" else "(d)" if sig == "(d)"
                                             else "(self, /)")
    if name == "SignedEnvelope":  # the protocol's own texts win over the usual ones
        assert cls.from_json.__doc__.startswith("Parse a canonical JSON wire envelope.")
        assert cls.to_json.__doc__ == "Serialize to canonical JSON."


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
