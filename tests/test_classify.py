"""classify_exchange and CounterpartyInfo."""
import itertools

import pytest

from conftest import load_jsonl
from ulo_protocol import CounterpartyInfo, classify_exchange

HOSTS = [("addressing.tovane.net", "causal"), ("governance.tovane.net", "compliance"),
         ("compliance.tovane.net", "compliance"), ("api.stripe.com", "marketplace"),
         ("api.paddle.com", "marketplace"), ("api.lemonsqueezy.com", "marketplace"),
         ("api.nango.dev", "enrichment"), ("company.clearbit.com", "enrichment"),
         ("api.apollo.io", "enrichment"), ("api.hunter.io", "enrichment")]
HINTS = {"tcp": "routing", "quic": "routing", "libp2p": "routing", "webrtc": "routing",
         "dns": "discovery", "mdns": "discovery", "dnssd": "discovery", "x3dh": "trust",
         "noise": "trust", "tls-handshake": "trust"}


@pytest.mark.parametrize("host,expected", HOSTS)
def test_hosts_decide_before_hints(host, expected):
    for counterparty in (host, host.upper(), f"https://{host}/v1/x", f"xx{host}.example"):
        assert classify_exchange("x3dh", counterparty) == expected


def test_first_host_in_table_order_wins():
    for (a, ca), (b, _) in itertools.combinations(HOSTS, 2):
        assert classify_exchange("", f"{b} {a}") == ca


@pytest.mark.parametrize("hint,expected", list(HINTS.items()))
def test_hints(hint, expected):
    assert classify_exchange(hint, "") == expected
    assert classify_exchange(hint.upper(), "peer-7") == expected


@pytest.mark.parametrize("hint", ["tls_handshake", " tcp", "", "QUİC", "unknown"])
def test_fallback_is_routing(hint):
    assert classify_exchange(hint, "") == "routing"


def test_arguments():
    assert classify_exchange(counterparty="api.stripe.com", protocol_hint="tcp") == "marketplace"
    with pytest.raises(TypeError, match="argument 'protocol_hint'"):
        classify_exchange(1, 2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'counterparty'"):
        classify_exchange("tcp")


COUNTERPARTY = [v for v in load_jsonl("canonical_encode.jsonl") if v["kind"] == "counterparty_info"]


@pytest.mark.parametrize("v", COUNTERPARTY)
def test_counterparty_dict_vectors(v):
    import json
    info = CounterpartyInfo(v["identifier"], v["protocol_hint"], v["peer_address"],
                            v["counterparty_signature"])
    assert list(info.to_dict().items()) == list(json.loads(v["json"]).items())


def test_counterparty_value_semantics():
    a = CounterpartyInfo("a", "b")
    assert a.to_dict() == {"identifier": "a", "protocol_hint": "b", "peer_address": None,
                           "counterparty_signature": None}
    assert a == CounterpartyInfo("a", "b", None, None)
    assert a != CounterpartyInfo("a", "b", "")
    assert (a == "a") is False and a != "a"
    assert CounterpartyInfo(protocol_hint="tcp", identifier="x") == CounterpartyInfo("x", "tcp")
    assert repr(CounterpartyInfo('say "hi"', "q")) == (
        'CounterpartyInfo(identifier="say \\"hi\\"", protocol_hint="q")')
    assert CounterpartyInfo("é", "ü", "ß").to_dict()["peer_address"] == "ß"
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        a < a  # noqa: B015
    with pytest.raises(TypeError, match="argument 'peer_address'"):
        CounterpartyInfo("a", "b", 3)
