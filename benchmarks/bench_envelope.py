"""SignedEnvelope beside msgspec, pydantic and stdlib json + dataclasses."""
import dataclasses
import datetime as dt
import json
import time
from typing import Optional

import msgspec
import pydantic

from harness import Case
from ulo_protocol import SignedEnvelope

EXAMPLE = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
           '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
           '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
           '"counterparty_identifier":"peer-7"}')


class MAddress(msgspec.Struct):
    class_: str = msgspec.field(name="class")
    type: str = ""
    ref: str = ""


class MEnvelope(msgspec.Struct, omit_defaults=True):
    exchange_id: str
    peer_self: MAddress
    direction: str
    request_hash: str
    our_signature: str
    opened_at: dt.datetime
    protocol_hint: str
    counterparty_identifier: str
    peer_counterparty: Optional[MAddress] = None
    response_hash: Optional[str] = None
    counterparty_signature: Optional[str] = None
    closed_at: Optional[dt.datetime] = None


class PAddress(pydantic.BaseModel):
    class_: str = pydantic.Field(alias="class")
    type: str
    ref: str


class PEnvelope(pydantic.BaseModel):
    exchange_id: str
    peer_self: PAddress
    peer_counterparty: Optional[PAddress] = None
    direction: str
    request_hash: str
    response_hash: Optional[str] = None
    counterparty_signature: Optional[str] = None
    our_signature: str
    opened_at: dt.datetime
    closed_at: Optional[dt.datetime] = None
    protocol_hint: str
    counterparty_identifier: str


@dataclasses.dataclass
class DAddress:
    cls: str
    type: str
    ref: str


@dataclasses.dataclass
class DEnvelope:
    exchange_id: str
    peer_self: DAddress
    direction: str
    request_hash: str
    our_signature: str
    opened_at: dt.datetime
    protocol_hint: str
    counterparty_identifier: str


def stdlib_decode(text):
    d = json.loads(text)
    p = d["peer_self"]
    return DEnvelope(d["exchange_id"], DAddress(p["class"], p["type"], p["ref"]), d["direction"],
                     d["request_hash"], d["our_signature"],
                     dt.datetime.fromisoformat(d["opened_at"].replace("Z", "+00:00")),
                     d["protocol_hint"], d["counterparty_identifier"])


def big_unknown(n):
    return EXAMPLE[:-1] + ',"skip":' + json.dumps(["x" * 100] * (n // 104)) + "}"


def big_strings(n):
    d = json.loads(EXAMPLE)
    d["request_hash"] = "a" * (n // 2)
    d["our_signature"] = "b" * (n // 2)
    return json.dumps(d)


def cases():
    m_decoder = msgspec.json.Decoder(MEnvelope)
    m_encoder = msgspec.json.Encoder()
    env = SignedEnvelope.from_json(EXAMPLE)
    m_env = m_decoder.decode(EXAMPLE)
    env_dict = json.loads(EXAMPLE)
    args = [env.exchange_id, env.request_hash, env.response_hash]
    env_ns = {"SignedEnvelope": SignedEnvelope, "EXAMPLE": EXAMPLE, "m_decoder": m_decoder,
              "m_encoder": m_encoder, "PEnvelope": PEnvelope, "stdlib_decode": stdlib_decode,
              "env": env, "m_env": m_env, "json": json, "args": args, "env_dict": env_dict}
    return [
        Case("envelope", "SignedEnvelope.from_json (242 B)", ("SignedEnvelope.from_json(EXAMPLE)", env_ns),
             {"msgspec Struct": ("m_decoder.decode(EXAMPLE)", env_ns),
              "pydantic v2": ("PEnvelope.model_validate_json(EXAMPLE)", env_ns),
              "json + dataclasses": ("stdlib_decode(EXAMPLE)", env_ns)},
             [("msgspec Struct", 1.0)]),
        Case("envelope", "to_json", ("env.to_json()", env_ns),
             {"msgspec Struct": ("m_encoder.encode(m_env)", env_ns)}, [("msgspec Struct", 1.0)]),
        Case("envelope", "canonical_signing_bytes", ("env.canonical_signing_bytes()", env_ns),
             {"json.dumps of the array": (
                 "json.dumps(args, separators=(',', ':'), ensure_ascii=False).encode()", env_ns)},
             [("json.dumps of the array", 0.25)]),
        Case("envelope", "from_dict", ("SignedEnvelope.from_dict(env_dict)", env_ns),
             {"msgspec convert": ("msgspec.convert(env_dict, MEnvelope)",
                                  {**env_ns, "msgspec": msgspec, "MEnvelope": MEnvelope})}),
    ]


def extra_report():
    lines = []
    for label, text in (("1 MB value under an unknown key", big_unknown(1 << 20)),
                        ("1 MB of string fields", big_strings(1 << 20))):
        mb = len(text.encode()) / 1e6
        ours = _best(lambda: SignedEnvelope.from_json(text))
        theirs = _best(lambda: json.loads(text))
        lines.append(f"reader throughput, {label}: ours {mb / ours:8.0f} MB/s | "
                     f"json.loads {mb / theirs:8.0f} MB/s")
    return lines


def _best(fn, rounds=20):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best
