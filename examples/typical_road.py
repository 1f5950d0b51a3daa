"""The typical road through ulo_protocol, step by step.

Run with `make demo`.
"""
import ulo_protocol as ulo


def section(title):
    print(f"\n-- {title}")


section("Protocol addresses")
addr = ulo.ProtocolAddress.parse("tov://body/peer/abc")
print("parsed:", repr(addr))
print("parts:", addr.address_class, addr.type, addr.ref)
print("dict:", addr.to_dict())
print("content hash (stable across runs):", hash(addr))
same = ulo.ProtocolAddress("body", "peer", "abc")
print("equal to one built from parts:", addr == same, "| one dict key:", len({addr, same}) == 1)
try:
    ulo.ProtocolAddress.parse("tov://body/peer")
except ValueError as e:
    print("refused:", e)
