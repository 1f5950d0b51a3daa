"""Merkle roots and inclusion proofs, against a plain recursive
implementation of the construction written with hashlib."""
import hashlib
import os

import pytest

from ulo_protocol import merkle_inclusion_proof, merkle_root, verify_merkle_inclusion


def sha(*parts):
    return hashlib.sha256(b"".join(parts)).digest()


def tree_hash(leaves):
    if len(leaves) == 1:
        return sha(b"\x00", leaves[0])
    k = 1 << ((len(leaves) - 1).bit_length() - 1)  # largest power of two below n
    return sha(b"\x01", tree_hash(leaves[:k]), tree_hash(leaves[k:]))


def audit_path(m, leaves):
    if len(leaves) == 1:
        return []
    k = 1 << ((len(leaves) - 1).bit_length() - 1)
    if m < k:
        return audit_path(m, leaves[:k]) + [tree_hash(leaves[k:])]
    return audit_path(m - k, leaves[k:]) + [tree_hash(leaves[:k])]


@pytest.mark.parametrize("n", [*range(1, 34), 255, 256, 257, 1000])
def test_roots_and_every_proof_match_the_reference(n):
    leaves = [os.urandom(i % 70) for i in range(n)]
    root = tree_hash(leaves)
    assert merkle_root(leaves) == merkle_root(iter(leaves)) == merkle_root(tuple(leaves)) == root
    for m in range(n) if n < 300 else (0, n // 2, n - 1):
        proof = merkle_inclusion_proof(leaves, m)
        assert proof == audit_path(m, leaves)
        assert verify_merkle_inclusion(leaves[m], m, n, proof, root) is None


def level_by_level(leaves):
    """The same tree bottom-up, an odd node carried up: fast enough for
    batches that span several of the chunks the module builds apart."""
    level = [sha(b"\x00", leaf) for leaf in leaves]
    while len(level) > 1:
        up = [sha(b"\x01", level[i], level[i + 1]) for i in range(0, len(level) - 1, 2)]
        level = up + level[len(up) * 2:]
    return level[0]


@pytest.mark.parametrize("n", [5000, 32768, 32769, 3 * 32768 + 5, 4 * 32768 + 1])
def test_large_batches_match_the_reference(n):
    leaves = [i.to_bytes(32, "big") for i in range(n)]
    assert merkle_root(leaves) == level_by_level(leaves)
    if n == 5000:
        assert level_by_level(leaves) == tree_hash(leaves)


LEAVES = [bytes([i]) * 32 for i in range(11)]
ROOT = tree_hash(LEAVES)
PROOF = audit_path(6, LEAVES)


def flip(b):
    return bytes([b[0] ^ 1]) + b[1:]


@pytest.mark.parametrize("args, message", [
    ((LEAVES[6], 6, 11, PROOF, flip(ROOT)), "inclusion proof does not lead to the root"),
    ((LEAVES[5], 6, 11, PROOF, ROOT), "inclusion proof does not lead to the root"),
    ((LEAVES[6], 7, 11, PROOF, ROOT), "inclusion proof does not lead to the root"),
    ((LEAVES[6], 6, 11, [PROOF[0], flip(PROOF[1]), *PROOF[2:]], ROOT),
     "inclusion proof does not lead to the root"),
    ((LEAVES[6], 6, 11, PROOF[:-1], ROOT),
     "inclusion proof holds 3 hashes; leaf 6 of a tree of 11 leaves needs 4"),
    ((LEAVES[6], 6, 11, [*PROOF, ROOT], ROOT), "holds 5 hashes"),
    ((LEAVES[6], 11, 11, PROOF, ROOT), "leaf index 11 is out of range for a tree of 11 leaves"),
    ((LEAVES[6], -1, 11, PROOF, ROOT), "leaf index -1 is out of range"),
    ((LEAVES[6], 0, 0, [], ROOT), "leaf index 0 is out of range for a tree of 0 leaves"),
    ((LEAVES[6], 6, 11, [b"x" * 31, *PROOF[1:]], ROOT), "proof[0] must be exactly 32 bytes"),
    ((LEAVES[6], 6, 11, PROOF, ROOT[:31]), "root must be exactly 32 bytes"),
])
def test_bad_proofs_are_refused(args, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[")):
        verify_merkle_inclusion(*args)


@pytest.mark.parametrize("call, message", [
    (lambda: merkle_root([]), "a Merkle tree needs at least one leaf"),
    (lambda: merkle_root(iter([])), "a Merkle tree needs at least one leaf"),
    (lambda: merkle_inclusion_proof(LEAVES, 11), "leaf index 11 is out of range"),
    (lambda: merkle_inclusion_proof(LEAVES, 1 << 64), "integer out of range"),
])
def test_bad_arguments_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_an_iterator_failing_midway_propagates():
    def leaves():
        yield b"a"
        raise OSError("disk gone")
    with pytest.raises(OSError, match="disk gone"):
        merkle_root(leaves())
