"""classify_exchange and CounterpartyInfo."""
import json

import pytest

from conftest import load_jsonl
from ulo_protocol import CounterpartyInfo, classify_exchange

# (protocol_hint, counterparty, pair class) as a caller sees them.
CASES = [
    ("x3dh", "api.stripe.com", "marketplace"),       # a known host wins over any hint
    ("", "HTTPS://API.STRIPE.COM/v1/x", "marketplace"),  # ASCII case folds; inside a URL
    ("", "xxapi.stripe.com.example", "marketplace"),  # found anywhere, not only as a suffix
    ("", "api.hunter.io api.stripe.com", "marketplace"),  # the host listed first decides
    ("tcp", "company.clearbit.com", "enrichment"),
    ("", "governance.tovane.net", "compliance"),
    ("", "addressing.tovane.net", "causal"),
    ("QUIC", "", "routing"), ("Noise", "peer-7", "trust"), ("mDNS", "", "discovery"),
    ("tls_handshake", "", "routing"), (" tcp", "", "routing"),
    ("", "", "routing"), ("QUİC", "", "routing"),     # only ASCII letters fold
]


@pytest.mark.parametrize("hint, counterparty, expected", CASES)
def test_classification(hint, counterparty, expected):
    assert classify_exchange(hint, counterparty) == expected
    assert classify_exchange(counterparty=counterparty, protocol_hint=hint) == expected


COUNTERPARTY = [v for v in load_jsonl("canonical_encode.jsonl") if v["kind"] == "counterparty_info"]


@pytest.mark.parametrize("v", COUNTERPARTY)
def test_counterparty_dict_vectors(v):
    info = CounterpartyInfo(v["identifier"], v["protocol_hint"], v["peer_address"],
                            v["counterparty_signature"])
    assert list(info.to_dict().items()) == list(json.loads(v["json"]).items())


def test_counterparty_defaults_keywords_and_repr():
    a = CounterpartyInfo("a", "b")
    assert a.to_dict() == {"identifier": "a", "protocol_hint": "b", "peer_address": None,
                           "counterparty_signature": None}
    assert a == CounterpartyInfo("a", "b", None, None) and a != CounterpartyInfo("a", "b", "")
    assert CounterpartyInfo(protocol_hint="tcp", identifier="x") == CounterpartyInfo("x", "tcp")
    assert repr(CounterpartyInfo('say "hi"', "q")) == (
        'CounterpartyInfo(identifier="say \\"hi\\"", protocol_hint="q")')
