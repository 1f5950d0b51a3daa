"""ProtocolAddress beside a frozen dataclass doing the same work in Python."""
from dataclasses import dataclass

from harness import Case
from ulo_protocol import ProtocolAddress

CLASSES = ("body", "act", "datum", "prop", "discard", "pair", "doc", "evidence", "route",
           "mediation")


@dataclass(frozen=True)
class PyAddress:
    address_class: str
    type: str
    ref: str

    @staticmethod
    def parse(uri):
        if not uri.startswith("tov://"):
            raise ValueError("invalid tov:// URI: " + uri)
        parts = uri[6:].split("/", 2)
        if len(parts) != 3 or parts[0] not in CLASSES:
            raise ValueError("invalid tov:// URI: " + uri)
        return PyAddress(*parts)

    def to_uri(self):
        return f"tov://{self.address_class}/{self.type}/{self.ref}"


URI = "tov://body/peer/3f2a9c1e0b7d4a6f8e5c2b1a0d9f8e7c"


def cases():
    ours = ProtocolAddress.parse(URI)
    peer = PyAddress.parse(URI)
    target = [("frozen dataclass", 0.5)]
    env = {"ProtocolAddress": ProtocolAddress, "PyAddress": PyAddress, "URI": URI,
           "ours": ours, "peer": peer}
    return [
        Case("address", "ProtocolAddress.parse", ("ProtocolAddress.parse(URI)", env),
             {"frozen dataclass": ("PyAddress.parse(URI)", env)}, target),
        Case("address", "to_uri", ("ours.to_uri()", env),
             {"frozen dataclass": ("peer.to_uri()", env)}, target),
        Case("address", "hash()", ("hash(ours)", env), {"frozen dataclass": ("hash(peer)", env)},
             target),
    ]
