"""Messages that echo caller or file input stay one bounded line: control
characters are written as escapes, long values are cut with their length."""
import json

import pytest

import ulo_protocol as ulo
from conftest import envelope_dict

ANCHOR_RECEIPT = {"anchor_id": "a", "anchor_kind": "local", "submission_ref": "mock://00",
                  "merkle_root_hex": "00" * 32, "submitted_at": "2026-04-15T09:00:00Z",
                  "expected_finality_at": "2026-04-15T09:00:00Z"}


def address_class(value):
    ulo.ProtocolAddress(value, "t", "r")


def uri(value):
    ulo.ProtocolAddress.parse(value)


def anchor_kind(value):
    ulo.AnchorReceipt.from_json(json.dumps({**ANCHOR_RECEIPT, "anchor_kind": value}))


def direction(value):
    ulo.SignedEnvelope.from_json(json.dumps(envelope_dict(direction=value)))


def wrong_type_string(value):
    # A string where a record belongs: the decoder shows the string found.
    ulo.SignedEnvelope.from_json(json.dumps(envelope_dict(peer_self=value)))


SITES = [address_class, uri, anchor_kind, direction, wrong_type_string]


@pytest.mark.parametrize("site", SITES, ids=lambda f: f.__name__)
@pytest.mark.parametrize("value, shown", [
    ("x\nERROR forged", "x\\nERROR forged"),
    ("\x1b[31mred\r\t\x00", "\\u{1b}[31mred\\r\\t\\0"),
    ("del\x7f c1\x85 ls\u2028 ps\u2029", "del\\u{7f} c1\\u{85} ls\\u{2028} ps\\u{2029}"),
])
def test_control_characters_are_escaped(site, value, shown):
    with pytest.raises(ValueError) as e:
        site(value)
    message = str(e.value)
    assert shown in message
    assert not any(c in message for c in "\n\r\x1b\x00\x7f\x85\u2028\u2029")


@pytest.mark.parametrize("site", SITES, ids=lambda f: f.__name__)
@pytest.mark.parametrize("length", [200, 201, 10_000_000])
def test_long_values_are_cut_with_their_length(site, length):
    value = "é" * length
    with pytest.raises(ValueError) as e:
        site(value)
    message = str(e.value)
    assert "é" * 200 in message and "é" * 201 not in message
    marker = f"... [{length} characters in all]"
    assert (marker in message) is (length > 200)
    assert len(message) < 1000
