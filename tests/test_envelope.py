"""SignedEnvelope: decoding rules, canonical output, signing bytes, getters."""
import datetime as dt
import json
import warnings

import pytest

from conftest import ENVELOPE_JSON, envelope_with, load_jsonl
from ulo_protocol import AnchorReceipt, ProtocolAddress, SignedEnvelope

DECODE = load_jsonl("json_decode.jsonl")
CLASSES = {"SignedEnvelope": SignedEnvelope, "AnchorReceipt": AnchorReceipt}


def decode(v):
    cls = CLASSES[v["schema"]]
    if v["category"] == "dict_form":
        return cls.from_dict(json.loads(v["input"]))
    return cls.from_json(v["input"])


def escaped(message):
    """The vectors' messages echo input raw; the module writes control
    characters of echoed input as escapes, so one message stays one line."""
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
    return "".join(named.get(c) or (f"\\u{{{ord(c):x}}}" if ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f
                                    or c in "\u2028\u2029" else c) for c in message)


@pytest.mark.parametrize("v", [v for v in DECODE if v["fixed"] != "none"],
                         ids=lambda v: f'{v["schema"]}-{v["category"]}')
def test_decode_vectors(v):
    if v["ok"]:
        record = decode(v)
        assert type(record).from_json(record.to_json()) == record
        if v["fixed"] == "exact":
            assert record.to_json() == v["canonical"]
        return
    with pytest.raises(ValueError) as e:
        decode(v)
    if v["fixed"] == "exact":
        assert str(e.value) == escaped(v["exception_message"])


@pytest.mark.parametrize("v", [v for v in DECODE if v["fixed"] == "none"],
                         ids=lambda v: v["category"])
def test_unsettled_inputs_never_crash(v):
    try:
        record = decode(v)
    except ValueError as e:
        assert str(e).startswith(f'invalid {v["schema"]} JSON: ')
    else:
        assert type(record).from_json(record.to_json()) == record


TIMESTAMPS = load_jsonl("timestamps.jsonl")


@pytest.mark.parametrize("v", [v for v in TIMESTAMPS if v["fixed"] != "none"],
                         ids=lambda v: v["input"][:40])
def test_timestamp_vectors(v):
    text = ENVELOPE_JSON.replace("2026-04-15T09:00:00Z", v["input"].replace("\\", "\\\\"))
    if not v["ok"]:
        with pytest.raises(ValueError) as e:
            SignedEnvelope.from_json(text)
        if v["fixed"] == "exact":
            assert v["error"] in str(e.value)
        return
    env = SignedEnvelope.from_json(text)
    assert json.loads(env.to_json())["opened_at"] == v["canonical"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if not v["datetime_ok"]:
            with pytest.raises(ValueError):
                env.opened_at  # noqa: B018
            return
        got = env.opened_at
    y, mo, d, h, mi, s, us = v["micro"]
    assert got == dt.datetime(y, mo, d, h, mi, s, us, tzinfo=dt.timezone.utc)
    assert got.tzinfo is dt.timezone.utc
    leap_warnings = [w for w in caught if issubclass(w.category, UserWarning)]
    assert len(leap_warnings) == (1 if v["leap"] else 0)
    if v["leap"]:
        assert str(leap_warnings[0].message) == (
            "ignored leap-second, `datetime` does not support leap-seconds")


# A sign on the year is read back only where the writer puts one, outside
# four digits; elsewhere it is neither RFC 3339 nor canonical.
@pytest.mark.parametrize("field", ["opened_at", "closed_at"])
@pytest.mark.parametrize("text, accepted", [
    ("+10000-01-01T00:00:00Z", True), ("-0001-12-31T23:59:59Z", True),
    ("+9999-12-31T23:59:59Z", False), ("-0000-01-01T00:00:00Z", False),
    ("+2026-06-29T09:30:59+02:00", False),
])
def test_signed_years_only_outside_four_digits(field, text, accepted):
    if accepted:
        assert json.loads(envelope_with(**{field: text}).to_json())[field] == text
        return
    with pytest.raises(ValueError, match="^invalid SignedEnvelope JSON: input contains invalid char"):
        envelope_with(**{field: text})


def test_leap_second_warning_as_error_is_raised():
    env = envelope_with(opened_at="2016-12-31T23:59:60.5Z")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            env.opened_at  # noqa: B018


ENCODE = load_jsonl("canonical_encode.jsonl")


@pytest.mark.parametrize("v", [v for v in ENCODE if v["kind"] == "signing"],
                         ids=lambda v: v["text"][:30])
def test_signing_bytes_vectors(v):
    env = envelope_with(exchange_id=v["exchange_id"], request_hash=v["request_hash"],
                        response_hash=v["response_hash"])
    got = env.canonical_signing_bytes()
    assert got == bytes.fromhex(v["hex"]) and len(got) == v["length"]


@pytest.mark.parametrize("v", [v for v in ENCODE if v["kind"] == "string"],
                         ids=lambda v: v["hex"][:20])
def test_string_escaping_vectors(v):
    env = envelope_with(exchange_id=v["text"])
    assert env.canonical_signing_bytes() == b"[" + bytes.fromhex(v["hex"]) + b',"aa11",null]'
    assert env.to_json().startswith('{"exchange_id":' + v["json"] + ",")


def test_round_trips_and_canonical_output():
    full = json.loads(ENVELOPE_JSON)
    full.update(peer_counterparty={"ref": "bob", "type": "peer", "class": "body", "x": [1]},
                response_hash="bb22", counterparty_signature="sig-b",
                closed_at="2026-04-15T11:00:01.000001+02:00", unknown={"deep": [[[]]]})
    env = SignedEnvelope.from_json(json.dumps(full, indent=3))
    text = env.to_json()
    assert list(json.loads(text)) == [
        "exchange_id", "peer_self", "peer_counterparty", "direction", "request_hash",
        "response_hash", "counterparty_signature", "our_signature", "opened_at", "closed_at",
        "protocol_hint", "counterparty_identifier"]
    assert '"closed_at":"2026-04-15T09:00:01.000001Z"' in text
    assert SignedEnvelope.from_json(text) == env
    assert SignedEnvelope.from_dict(env.to_dict()) == env
    assert env.to_dict() == json.loads(text)


def test_optional_fields_absent_and_null():
    env = envelope_with(response_hash=None, closed_at=None, peer_counterparty=None)
    assert env.to_json() == ENVELOPE_JSON
    assert env.response_hash is None and env.closed_at is None and env.peer_counterparty is None
    assert env.canonical_signing_bytes() == b'["ex-1","aa11",null]'
    assert len(env.to_dict()) == 8
    assert envelope_with(response_hash="").canonical_signing_bytes() == b'["ex-1","aa11",""]'


def test_getters_return_fresh_objects_and_repr():
    env = envelope_with(peer_counterparty={"class": "body", "type": "peer", "ref": "bob"},
                        opened_at="2026-04-15T09:00:00.123456789Z")
    assert env.peer_self is not env.peer_self and env.peer_self == env.peer_self
    assert env.peer_self == ProtocolAddress("body", "agent", "alice")
    assert env.peer_counterparty == ProtocolAddress("body", "peer", "bob")
    assert env.opened_at.microsecond == 123456
    assert '"opened_at":"2026-04-15T09:00:00.123456789Z"' in env.to_json()
    assert (env.exchange_id, env.direction, env.request_hash, env.our_signature,
            env.protocol_hint, env.counterparty_identifier) == (
        "ex-1", "outbound", "aa11", "sig-a", "quic", "peer-7")
    assert repr(env) == str(env) == 'SignedEnvelope(exchange_id="ex-1", direction="outbound")'


@pytest.mark.parametrize("text", [
    '{"x":' + "[" * 1_000_000 + "]" * 1_000_000 + "}",
    '{"x":' + "[" * 1_000_000,
    '{"x":' + "{" * 500_000,
    '{"exchange_id":"' + "a" * 100_000_000,
    '{"exchange_id":"\\ud800"}',
    '{"exchange_id":"\\udc00\\ud800"}',
    '{"exchange_id":1e999}',
    '{"exchange_id":"a\x00b"}',
    "\x00",
    "[" * 200,
])
def test_hostile_inputs_raise_value_error(text):
    with pytest.raises(ValueError) as e:
        SignedEnvelope.from_json(text)
    assert str(e.value).startswith("invalid SignedEnvelope JSON: ")
    assert " at line " in str(e.value)


def test_deep_unknown_value_and_huge_string_are_read():
    text = ENVELOPE_JSON[:-1] + ',"skip":' + "[{}," * 100_000 + "0" + "]" * 100_000 + "}"
    assert SignedEnvelope.from_json(text).to_json() == ENVELOPE_JSON
    big = "é" + "a" * 100_000_000
    assert envelope_with(exchange_id=big, skip=big).exchange_id == big


@pytest.mark.parametrize("number,found", [
    ("18446744073709551615", "integer `18446744073709551615`"),
    ("-9223372036854775808", "integer `-9223372036854775808`"),
    ("1e20", "floating point `100000000000000000000`"),
    ("1E-7", "floating point `0.0000001`"),
    ("123.456e1", "floating point `1234.56`"),
    ("1e-400", "floating point `0`"),
    ("-1e-400", "floating point `-0`"),
])
def test_found_numbers_in_messages(number, found):
    with pytest.raises(ValueError) as e:
        SignedEnvelope.from_json('{"exchange_id":' + number + "}")
    assert str(e.value).startswith(
        f"invalid SignedEnvelope JSON: invalid type: {found}, expected a string")
