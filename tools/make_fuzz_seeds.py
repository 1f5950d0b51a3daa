#!/usr/bin/env python3
"""Writes seed corpora for the fuzz targets from the test vectors.

usage: make_fuzz_seeds.py DATA_DIR OUT_DIR
Creates OUT_DIR/<target>/<n> files; targets without vectors get none.
"""
import base64
import hashlib
import json
import pathlib
import sys


def load(data, name):
    path = data / name
    if not path.exists():
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def verify_seed(row):
    key = row["public_key_b64"].encode()
    sig = bytes.fromhex(row["signature_hex"])
    if len(key) >= 64 or len(sig) >= 72:
        return None
    # Layout of verify_fuzz's even mode: lengths as bytes, then the parts.
    return bytes([0, len(key)]) + key + bytes([len(sig)]) + sig + bytes.fromhex(row["payload_hex"])


def wide_seeds(rows):
    # Raw lanes of verify_wide_fuzz (kind 0: key, lengths as bytes), eight
    # vectors to an input, each group followed by one signed lane per
    # mutation kind.
    lanes = []
    for row in rows:
        key = base64_key(row["public_key_b64"])
        sig = bytes.fromhex(row["signature_hex"])
        payload = bytes.fromhex(row["payload_hex"])
        if key is None or len(sig) >= 72 or len(payload) > 255:
            continue
        lanes.append(bytes([0]) + key + bytes([len(sig)]) + sig + bytes([len(payload)]) + payload)
    signed = [bytes([1, who, 3]) + b"abc" + bytes([how, 5 * who + 1, 0x81]) for who, how in enumerate(range(7))]
    return [b"".join(lanes[i:i + 8]) + b"".join(signed) for i in range(0, len(lanes), 8)]


def base64_key(text):
    try:
        raw = base64.b64decode(text + "=" * (-len(text) % 4), validate=True)
    except ValueError:
        return None
    return raw if len(raw) == 32 else None


def seeds(data):
    out = {
        "uri_fuzz": [r["uri"].encode() for r in load(data, "address_hash.jsonl")],
        "timestamp_fuzz": [r["input"].encode() for r in load(data, "timestamps.jsonl")],
        "fingerprint_fuzz": [bytes.fromhex(r["pk_hex"]) for r in load(data, "fingerprint.jsonl")],
        "verify_fuzz": [s for s in map(verify_seed, load(data, "ed25519.jsonl")) if s],
    }
    out["verify_wide_fuzz"] = wide_seeds(load(data, "ed25519.jsonl"))
    texts = [r["input"].encode() for r in load(data, "json_decode.jsonl")]
    texts += [r["json"].encode() for r in load(data, "canonical_encode.jsonl") if "json" in r]
    out["json_syntax_fuzz"] = texts
    out["json_reader_fuzz"] = texts
    # Odd mode: a seed, a zero mask (a valid signature), the payload.
    for r in load(data, "seeds.jsonl"):
        out["verify_fuzz"].append(
            b"\x01" + bytes.fromhex(r["seed_hex"]) + bytes(64) + bytes.fromhex(r["payload_hex"]))
    return out


def main():
    data, dest = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    for target, items in seeds(data).items():
        d = dest / target
        d.mkdir(parents=True, exist_ok=True)
        for item in items:
            # Content-named, like libFuzzer's own corpus files.
            (d / hashlib.sha1(item).hexdigest()).write_bytes(item)


if __name__ == "__main__":
    main()
