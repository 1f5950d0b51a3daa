"""A sign on the year is read back only where the writer puts one: years
above 9999 and below 0. Elsewhere it is neither RFC 3339 nor canonical."""

import json

import pytest

import ulo_protocol as ulo

BASE = {
    "exchange_id": "ex-1", "peer_self": {"class": "body", "type": "agent", "ref": "alice"},
    "direction": "outbound", "request_hash": "aa11", "our_signature": "sig-a",
    "protocol_hint": "quic", "counterparty_identifier": "peer-7",
}


def parse(opened_at, field="opened_at"):
    record = dict(BASE, opened_at="2026-01-01T00:00:00Z")
    record[field] = opened_at
    return ulo.SignedEnvelope.from_json(json.dumps(record))


@pytest.mark.parametrize("text", [
    "+10000-01-01T00:00:00Z",
    "+99999999999-12-31T23:59:59Z",
    "-0001-12-31T23:59:59Z",
    "-10000-06-30T12:00:00.500Z",
])
@pytest.mark.parametrize("field", ["opened_at", "closed_at"])
def test_signed_years_outside_four_digits_read_back(text, field):
    assert json.loads(parse(text, field).to_json())[field] == text


@pytest.mark.parametrize("text", [
    "+2026-06-29T09:30:59Z",
    "+9999-12-31T23:59:59Z",
    "+0000-01-01T00:00:00Z",
    "-0000-01-01T00:00:00Z",
    "+02026-06-29T09:30:59Z",
    "+2026-06-29T09:30:59+02:00",
])
@pytest.mark.parametrize("field", ["opened_at", "closed_at"])
def test_signed_years_inside_four_digits_are_refused(text, field):
    with pytest.raises(ValueError, match=r"^invalid SignedEnvelope JSON: input contains invalid characters"):
        parse(text, field)
