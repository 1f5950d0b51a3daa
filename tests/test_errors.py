"""Internal faults surface as PanicException; the module keeps working.
Notes beside the fixed messages say where a decode failed and why a
signature was refused, and never change str(e)."""
import base64
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import ulo_protocol
from conftest import ENVELOPE_JSON, SANITIZED, envelope_dict, load_jsonl

# Starting the worker runtime needs a thread stack; an address-space limit just
# above the current size makes that fail, which is an internal fault.
SCRIPT = textwrap.dedent("""
    import os, resource, sys
    import ulo_protocol as u
    e = u.SignedEnvelope.from_json({envelope!r})
    q = u.EnvelopeQueue(sys.argv[1])
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), resource.RLIM_INFINITY))
    try:
        q.push("routing", e)
    except Exception:
        print("caught by except Exception")
    except BaseException as ex:
        print(type(ex).__name__, "|", ex, "|", [c.__name__ for c in type(ex).__mro__])
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    q.push("routing", e)
    print(len(q.list()))
""")


@pytest.mark.skipif(SANITIZED,
                    reason="the address-space limit leaves no room for sanitizer shadow memory")
@pytest.mark.skipif(bool(os.environ.get("ULO_EMULATED")),
                    reason="under user-mode emulation the limit applies to the emulator's own mappings")
def test_runtime_start_failure_is_a_panic_and_the_next_call_retries(tmp_path):
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(envelope=ENVELOPE_JSON), str(tmp_path)],
                         capture_output=True, text=True, check=True, timeout=60)
    first, second = out.stdout.strip().splitlines()
    name, message, mro = first.split(" | ")
    assert name == "PanicException"
    assert message.startswith("failed to start tokio runtime for ulo-protocol-py: ")
    assert mro == "['PanicException', 'BaseException', 'object']"
    assert second == "1"
    assert len(out.stderr.strip().splitlines()) == 1 and message in out.stderr
    # The line names the source file, never a directory of the build machine.
    where = re.search(r"internal fault at (\S+):\d+: ", out.stderr)
    assert where and "/" not in where.group(1) and where.group(1).endswith((".hpp", ".cpp"))


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(ulo_protocol, "PanicException")


IDENT = ulo_protocol.SoftwareIdentity.from_seed(bytes(range(32)))
D = IDENT.descriptor()
SIG = IDENT.sign(b"p")
DECODE = load_jsonl("json_decode.jsonl")
DUMPS = "line and column refer to json.dumps(d)"


def vector(schema, error):
    (v,) = [v for v in DECODE if v["schema"] == schema and v.get("error") == error]
    return v


def notes_of(e):
    return getattr(e, "__notes__", [])


# (schema, the vector's error, the field path the note names, or None for no note)
FIELD_NOTES = [
    ("SignedEnvelope", "invalid type: integer `5`, expected a string at line 1 column 16",
     "exchange_id"),
    ("SignedEnvelope", "duplicate field `exchange_id` at line 1 column 42", "exchange_id"),
    ("SignedEnvelope", "expected `:` at line 1 column 16", "exchange_id"),
    ("SignedEnvelope", "invalid type: null, expected a string at line 1 column 61", "peer_self.type"),
    ("SignedEnvelope", "duplicate field `type` at line 1 column 85", "peer_self.type"),
    ("SignedEnvelope", "missing field `class` at line 1 column 36", "peer_self"),
    ("SignedEnvelope", "invalid length 1, expected struct ProtocolAddress with 3 elements at line 1 "
     "column 42", "peer_self"),
    # The array form: the first element stands for exchange_id.
    ("SignedEnvelope", "invalid type: map, expected a string at line 1 column 1", "exchange_id"),
    ("SignedEnvelope", "unknown variant `sideways`, expected `outbound` or `inbound` at line 5 "
     "column 25", "direction"),
    ("AnchorReceipt", "unknown variant `Local`, expected one of `open_timestamps`, `ethereum`, "
     "`solana`, `nist_tsa`, `handshake`, `local` at line 1 column 39", "anchor_kind"),
    # Outside every field: the message says all there is.
    ("SignedEnvelope", "missing field `exchange_id` at line 1 column 2", None),
    ("SignedEnvelope", "invalid length 4, expected struct SignedEnvelope with 12 elements at line 1 "
     "column 107", None),
    ("SignedEnvelope", "expected `,` or `}` at line 1 column 13", None),  # in an unknown key
    ("SignedEnvelope", "trailing characters at line 1 column 244", None),
    ("AnchorReceipt", "EOF while parsing an object at line 1 column 1", None),
]


@pytest.mark.parametrize("schema, error, field", FIELD_NOTES, ids=lambda x: str(x)[:30])
def test_from_json_notes_name_the_field_and_leave_the_message(schema, error, field):
    v = vector(schema, error)
    with pytest.raises(ValueError) as e:
        getattr(ulo_protocol, schema).from_json(v["input"])
    assert str(e.value) == v["exception_message"] and e.value.args == (str(e.value),)
    assert notes_of(e.value) == ([f"field '{field}' ({schema})"] if field else [])


@pytest.mark.parametrize("schema, error, field", [
    ("SignedEnvelope", "invalid type: null, expected a string at line 1 column 20", "exchange_id"),
    ("SignedEnvelope", "invalid length 2, expected struct ProtocolAddress with 3 elements at line 1 "
     "column 54", "peer_self"),
    ("AnchorReceipt", "missing field `proof_b64` at line 1 column 311", None),
])
def test_from_dict_notes_say_where_positions_count(schema, error, field):
    v = vector(schema, error)
    with pytest.raises(ValueError) as e:
        getattr(ulo_protocol, schema).from_dict(json.loads(v["input"]))
    assert str(e.value) == v["exception_message"]
    assert notes_of(e.value) == ([f"field '{field}' ({schema})"] if field else []) + [DUMPS]


def test_nested_record_in_a_descriptor_is_named_by_its_path():
    d = ulo_protocol.SoftwareIdentity.from_seed(bytes(32)).descriptor().to_dict()
    with pytest.raises(ValueError) as e:
        ulo_protocol.PeerIdentityDescriptor.from_dict({**d, "attestation": {"certs_b64": [1]}})
    assert str(e.value).startswith("invalid PeerIdentityDescriptor JSON: invalid type: integer `1`")
    assert notes_of(e.value) == ["field 'attestation.certs_b64' (PeerIdentityDescriptor)", DUMPS]


CIRCULAR = envelope_dict()
CIRCULAR["peer_self"]["self"] = CIRCULAR


# Exceptions that did not come from the module carry nothing of ours, even
# json.dumps's own ValueError: only the notes json.dumps itself adds (it
# says where it failed from 3.14 on).
@pytest.mark.parametrize("call, arg, exc", [
    (ulo_protocol.SignedEnvelope.from_dict, envelope_dict(opened_at=b"x"), TypeError),
    (ulo_protocol.SignedEnvelope.from_dict, CIRCULAR, ValueError),
    (ulo_protocol.SignedEnvelope.from_json, "\ud800", UnicodeEncodeError),
    (ulo_protocol.AnchorProof.from_dict, [], TypeError),
])
def test_foreign_exceptions_get_no_note(call, arg, exc):
    with pytest.raises(exc) as e:
        call(arg)
    try:
        json.dumps(arg)
        own: list[str] = []
    except (TypeError, ValueError) as direct:
        own = getattr(direct, "__notes__", [])
    assert getattr(e.value, "__notes__", []) == own


@pytest.mark.parametrize("signature, key_ok, note_length", [
    ("base64", True, 88),
    ("short", True, 63),
    ("long", True, 65),
    ("flipped", True, None),   # 64 bytes that do not verify: the length was not the fault
    ("base64", False, None),   # a bad key is reported first, without the signature's note
])
def test_verify_note_on_wrong_signature_length(signature, key_ok, note_length):
    descriptor, sig = D, SIG
    sig = {"base64": base64.b64encode(sig), "short": sig[:63], "long": sig + b"\0",
           "flipped": bytes([sig[0] ^ 1]) + sig[1:]}[signature]
    if not key_ok:
        descriptor = ulo_protocol.PeerIdentityDescriptor.from_dict(
            {**descriptor.to_dict(), "public_key_b64": "!"})
    with pytest.raises(ValueError) as e:
        descriptor.verify(b"p", sig)
    assert str(e.value) == "signature verification failed: " + (
        "BadSignature" if key_ok else "BadPublicKey")
    if note_length is None:
        assert not hasattr(e.value, "__notes__")
        return
    (note,) = e.value.__notes__
    assert note.startswith(f"signature_bytes is {note_length} bytes long; an Ed25519 signature is "
                           "exactly 64.") and "base64.b64decode" in note


# opened_at as written -> the note that says what is wrong (None: no such note)
TIMESTAMP_HINTS = [
    ("2026-04-15T09:00:00", "no UTC offset: add Z or +00:00"),
    ("2026-04-15T09:00:00.5", "no UTC offset: add Z or +00:00"),
    ("2026-04-15 09:00:00Z", "the date and the time are joined by T, not a space"),
    ("2026-04-15 09:00:00", "the date and the time are joined by T, not a space; "
                            "no UTC offset: add Z or +00:00"),
    ("2026-04-15", "a date alone: add a time and an offset, e.g. T00:00:00Z"),
    ("2026-04-15T09:00:00 UTC", "write the offset as Z or +00:00, not UTC"),
    ("2026-13-15T09:00:00Z", None),  # the message already says it: out of range
    ("yesterday", None),
]


@pytest.mark.parametrize("text, hint", TIMESTAMP_HINTS)
def test_timestamp_mistakes_are_explained_beside_the_unchanged_message(text, hint):
    d = envelope_dict(opened_at=text)
    with pytest.raises(ValueError) as e:
        ulo_protocol.SignedEnvelope.from_json(json.dumps(d))
    assert str(e.value).startswith("invalid SignedEnvelope JSON: ")
    assert not str(e.value).endswith(str(hint))
    assert notes_of(e.value) == ["field 'opened_at' (SignedEnvelope)", *([hint] if hint else [])]


def test_a_timestamp_datetime_cannot_hold_names_its_field():
    env = ulo_protocol.SignedEnvelope.from_json(
        json.dumps(envelope_dict(opened_at="+10000-01-01T00:00:00Z")))
    with pytest.raises(ValueError) as e:
        env.opened_at
    assert "10000" in str(e.value)  # datetime's own message, which CPython 3.14 reworded
    (note,) = notes_of(e.value)
    assert note.startswith("field 'opened_at' holds +10000-01-01T00:00:00Z, outside the years 1 "
                           "to 9999")


# --- argument errors: one message shape, whatever the callable -------------

U = ulo_protocol
P = U.ProtocolAddress
GOOD = (D, b"p", SIG)
SHAPE = "': expected a tuple (descriptor, payload, signature_bytes) of 3 items, got "
NEW = "ProtocolAddress.__new__() "


def a(*args, **kwargs):
    return args, kwargs


def cast(name, got, want):
    return f"argument '{name}': '{got}' object cannot be cast as '{want}'"


# (callable, its arguments, the TypeError's exact message)
ARGUMENT_ERRORS = [
    (P, a(), NEW + "missing 3 required positional arguments: 'address_class', 'type_', and 'ref_'"),
    (P, a("body"), NEW + "missing 2 required positional arguments: 'type_' and 'ref_'"),
    (P, a("body", "t"), NEW + "missing 1 required positional argument: 'ref_'"),
    (P, a("body", "t", "r", "x"), NEW + "takes 3 positional arguments but 4 were given"),
    (P, a("body", "t", ref_="r", extra=1), NEW + "got an unexpected keyword argument 'extra'"),
    (P, a("body", "t", "r", type_="t"), NEW + "got multiple values for argument 'type_'"),
    (P, a(None, "t", "r"), cast("address_class", "NoneType", "str")),
    # The types are checked before the class name is looked up.
    (P, a("widget", 1, "r"), cast("type_", "int", "str")),
    (P.parse, a("a", "b"), "ProtocolAddress.parse() takes 1 positional arguments but 2 were given"),
    (P.parse, a(uri=b"x"), cast("uri", "bytes", "str")),
    (P("body", "t", "r").to_uri, a(1), "ProtocolAddress.to_uri() takes no arguments (1 given)"),
    (U.classify_exchange, a(1, 2), cast("protocol_hint", "int", "str")),
    (U.classify_exchange, a("tcp"),
     "classify_exchange() missing 1 required positional argument: 'counterparty'"),
    (U.CounterpartyInfo, a("a", "b", 3), cast("peer_address", "int", "str")),
    (U.SignedEnvelope.from_json, a(b"{}"), cast("s", "bytes", "str")),
    (U.SignedEnvelope.from_dict, a([]), cast("d", "list", "dict")),
    (U.AnchorProof.from_dict, a([]), cast("d", "list", "dict")),
    (U.MockAnchor("m").submit, a(bytearray(32)), cast("merkle_root", "bytearray", "bytes")),
    (U.MockAnchor("m").submit, a(None), cast("merkle_root", "NoneType", "bytes")),
    (U.MockAnchor("m").verify, a("{}"), cast("receipt", "str", "AnchorReceipt")),
    (D.verify, a(bytearray(b"x"), "sig"), cast("payload", "bytearray", "bytes")),
    (D.verify, a(b"x", memoryview(b"s")), cast("signature_bytes", "memoryview", "bytes")),
    (U.SoftwareIdentity.from_seed, a("x" * 32), cast("seed", "str", "bytes")),
    (U.AttestationChain, a("abc"), "argument 'certs_b64': Can't extract `str` to `Vec`"),
    (U.AttestationChain, a(None), cast("certs_b64", "NoneType", "Sequence")),
    (U.AttestationChain, a([1]), cast("certs_b64", "int", "str")),
    (U.AttestationChain, a([], None), cast("vendor", "NoneType", "str")),
    (U.merkle_root, a(b"abc"), cast("leaves", "bytes", "Iterable[bytes]")),
    (U.merkle_root, a([b"a", bytearray(b"b")]), cast("leaves[1]", "bytearray", "bytes")),
    (U.merkle_inclusion_proof, a([b"a"], True), cast("index", "bool", "int")),
    (U.merkle_inclusion_proof, a([b"a"], 1.0), cast("index", "float", "int")),
    (U.verify_merkle_inclusion, a("a", 0, 1, [], bytes(32)), cast("leaf", "str", "bytes")),
    (U.verify_merkle_inclusion, a(b"", 0, 1, b"", bytes(32)),
     cast("proof", "bytes", "Sequence[bytes]")),
    # verify_many names the position of the item, and of the member in it.
    (D.verify_many, a(), "PeerIdentityDescriptor.verify_many() missing 1 required positional "
                         "argument: 'items'"),
    (D.verify_many, a(5), cast("items", "int", "Iterable")),
    (D.verify_many, a([(D, b"p")]), "argument 'items[0]" + SHAPE + "2"),
    (D.verify_many, a([GOOD, GOOD, GOOD + (SIG,)]), "argument 'items[2]" + SHAPE + "4"),
    (D.verify_many, a([GOOD, ()]), "argument 'items[1]" + SHAPE + "0"),
    (D.verify_many, a([GOOD, [D, b"p", SIG]]), cast("items[1]", "list", "tuple")),
    (D.verify_many, a([GOOD, None]), cast("items[1]", "NoneType", "tuple")),
    (D.verify_many, a([(D.to_json(), b"p", SIG)]),
     cast("items[0][0]", "str", "PeerIdentityDescriptor")),
    (D.verify_many, a([GOOD, GOOD, GOOD, (D, bytearray(b"p"), SIG)]),
     cast("items[3][1]", "bytearray", "bytes")),
    (D.verify_many, a([GOOD, (D, b"p", memoryview(SIG))]),
     cast("items[1][2]", "memoryview", "bytes")),
    (D.verify_many, a([(D, "p", 5)]), cast("items[0][1]", "str", "bytes")),
]


@pytest.mark.parametrize("call, arguments, message", ARGUMENT_ERRORS,
                         ids=lambda x: getattr(x, "__qualname__", None))
def test_argument_errors_name_the_argument(call, arguments, message):
    args, kwargs = arguments
    with pytest.raises(TypeError) as e:
        call(*args, **kwargs)
    assert str(e.value) == message
