"""End-to-end tests of the `ulo-protocol` console script, run as a subprocess
against real queue directories and files."""

import base64
import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest
import resource

import ulo_protocol as ulo
from conftest import SANITIZED, envelope_with

_SCRIPT = pathlib.Path(sys.executable).with_name("ulo-protocol")
# The installed console script when present, else the package's __main__.
CLI = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "ulo_protocol_cli"]

ID_OLD = "0190a5b2-0000-7000-8000-000000000001"
ID_NEW = "0190a5b2-0000-7000-8000-000000000002"


def envelope(exchange_id="ex-1", opened_at="2026-04-15T09:00:00Z", **extra):
    return envelope_with(exchange_id=exchange_id, opened_at=opened_at, **extra)


def cli(*args, home=None, stdin=None, cwd=None, preexec=None):
    env = dict(os.environ)
    if home is not None:
        env["HOME"] = str(home)
    proc = subprocess.run(
        [*CLI, *(a if isinstance(a, bytes) else str(a) for a in args)],
        capture_output=True, env=env, input=stdin, cwd=cwd, timeout=60, preexec_fn=preexec
    )
    assert b"Traceback" not in proc.stderr, proc.stderr.decode()
    return proc


@pytest.fixture
def queue_dir(tmp_path):
    """A queue holding two items, pushed newest first."""
    qdir = tmp_path / "queue"
    q = ulo.EnvelopeQueue(str(qdir))
    q.push("trust", envelope(ID_NEW, "2026-04-15T09:00:01.500Z"))
    q.push("routing", envelope(ID_OLD, response_hash="bb22"))
    return qdir


def test_queue_ls_lists_in_emission_order(queue_dir):
    proc = cli("queue", "ls", queue_dir)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode().splitlines() == [
        f"{ID_OLD}\trouting\t2026-04-15T09:00:00+00:00",
        f"{ID_NEW}\ttrust\t2026-04-15T09:00:01.500000+00:00",
    ]
    (queue_dir / "broken.json").write_text("{")
    assert cli("queue", "count", queue_dir).stdout == b"3\n"


def test_queue_ls_defaults_to_the_queue_under_home_and_help_says_so(tmp_path):
    ulo.EnvelopeQueue(str(tmp_path / ".tovane" / "envelope-queue")).push("causal", envelope())
    proc = cli("queue", "ls", home=tmp_path)
    assert proc.stdout.decode() == "ex-1\tcausal\t2026-04-15T09:00:00+00:00\n"
    # Help wraps long paths at hyphens: compared without the whitespace.
    helped = "".join(cli("queue", "ls", "--help", home=tmp_path).stdout.decode().split())
    assert f"default:{tmp_path / '.tovane' / 'envelope-queue'}," in helped


def test_queue_show_prints_the_envelope_as_indented_json(queue_dir):
    proc = cli("queue", "show", ID_OLD, queue_dir)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout.decode()
    assert text.startswith('{\n  "exchange_id"')
    shown = ulo.SignedEnvelope.from_json(text)
    assert shown == envelope(ID_OLD, response_hash="bb22")


@pytest.mark.parametrize("queue_id, dropped", [
    (ID_OLD, True),
    ("not-queued", False),
    (ID_OLD[:-1] + "." + ID_OLD[-1], False),  # shares ID_OLD's file name, not its item
])
def test_queue_drop_fails_unless_it_removed_the_item(queue_dir, queue_id, dropped):
    proc = cli("queue", "drop", queue_id, queue_dir)
    left = [i.queue_id for i in ulo.EnvelopeQueue(str(queue_dir)).list()]
    if dropped:
        assert (proc.returncode, proc.stderr, left) == (0, b"", [ID_NEW])
    else:
        assert (proc.returncode, left) == (1, [ID_OLD, ID_NEW])
        assert proc.stderr.decode() == f"ulo-protocol: error: no queued item with id {queue_id!r}\n"


@pytest.fixture
def envelope_file(tmp_path):
    path = tmp_path / "env.json"
    path.write_text(envelope(response_hash="bb22").to_json())
    return path


def test_signing_bytes_raw_and_hex(envelope_file):
    expected = b'["ex-1","aa11","bb22"]'
    assert cli("envelope", "signing-bytes", envelope_file).stdout == expected
    hexed = cli("envelope", "signing-bytes", "--hex", envelope_file).stdout
    assert hexed == expected.hex().encode() + b"\n"
    from_stdin = cli("envelope", "signing-bytes", "-", stdin=envelope_file.read_bytes())
    assert from_stdin.stdout == expected


@pytest.fixture
def signed(tmp_path, envelope_file):
    """(descriptor file, unpadded Base64 signature) over envelope_file."""
    identity = ulo.SoftwareIdentity.from_seed(bytes(range(32)))
    payload = ulo.SignedEnvelope.from_json(envelope_file.read_text()).canonical_signing_bytes()
    descriptor = tmp_path / "descriptor.json"
    descriptor.write_text(identity.descriptor().to_json())
    sig = base64.b64encode(identity.sign(payload)).decode()
    return descriptor, sig


@pytest.mark.parametrize("form, given", [
    ("envelope", "padded"), ("envelope", "unpadded"), ("queue item", "padded"),
    ("envelope", "none"), ("queue item", "none"),  # the envelope's own our_signature
])
def test_verify_accepts_a_good_signature(tmp_path, signed, form, given):
    descriptor, sig = signed
    env = envelope(response_hash="bb22", our_signature=sig)
    if form == "envelope":
        path = tmp_path / "signed.json"
        path.write_text(env.to_json())
    else:
        ulo.EnvelopeQueue(str(tmp_path / "q")).push("routing", env)
        path = tmp_path / "q" / "ex-1.json"
    signature = {"padded": [sig], "unpadded": [sig.rstrip("=")], "none": []}[given]
    real = ulo.PeerIdentityDescriptor.from_json(descriptor.read_text()).fingerprint
    proc = cli("envelope", "verify", path, "--descriptor", descriptor,
               *(["--signature", *signature] if signature else []))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode() == f"ok: signature by {real} verifies\n"


def test_verify_rejects_a_signature_over_other_bytes(tmp_path, signed):
    descriptor, sig = signed
    other = tmp_path / "other.json"
    other.write_text(envelope(response_hash="cc33").to_json())
    proc = cli("envelope", "verify", other, "--descriptor", descriptor, "--signature", sig)
    assert proc.returncode == 1
    assert proc.stderr.decode() == (f"ulo-protocol: error: signature verification failed: "
                                    f"BadSignature ({other}, key of {descriptor})\n")
    as_json = cli("envelope", "verify", other, "--descriptor", descriptor, "--signature", sig,
                  "--json")
    assert as_json.returncode == 1
    assert json.loads(as_json.stdout) == {
        "file": str(other), "ok": False, "small_order_key": False,
        "error": f"signature verification failed: BadSignature ({other}, key of {descriptor})"}


def test_small_order_key_is_warned_about_and_refused_with_strict(tmp_path, envelope_file):
    # The identity point as the key: R = identity, S = 0 verifies any payload.
    descriptor = tmp_path / "weak.json"
    descriptor.write_text(json.dumps({
        "fingerprint": "00" * 16, "public_key_b64": base64.b64encode(b"\x01" + bytes(31)).decode(),
        "surface": "software", "created_at": "2026-04-15T00:00:00Z"}).replace("=", ""))
    forged = base64.b64encode(b"\x01" + bytes(63)).decode()
    argv = ["envelope", "verify", envelope_file, "--descriptor", descriptor, "--signature", forged]
    lenient = cli(*argv, "--json")
    assert b"anyone can sign for this key" in lenient.stderr
    strict = cli(*argv, "--strict")
    assert strict.returncode == 1 and strict.stdout == b""
    assert strict.stderr.decode().startswith(
        "ulo-protocol: error: signature verification failed: BadPublicKey (")
    assert b"anyone can sign for this key" in strict.stderr


@pytest.mark.parametrize(
    "argv, message",
    [
        (["envelope", "signing-bytes", "{missing}"], "cannot read"),
        (["envelope", "signing-bytes", "{garbage}"], "invalid SignedEnvelope JSON: "),
        (["envelope", "verify", "{env}", "--descriptor", "{garbage}", "--signature", "AA"],
         "invalid PeerIdentityDescriptor JSON: "),
        (["envelope", "verify", "{env}", "--descriptor", "{env}", "--signature", "!!"],
         "--signature is not valid Base64"),
        (["envelope", "verify", "{env}", "--descriptor", "{env}"],
         "the envelope's our_signature is not standard Base64; give the signature with --signature"),
        (["queue", "show", "nope", "{absent}"], "no queued item with id 'nope'"),
        (["queue", "count", "{absent}"], "no queue directory at "),
        (["queue", "ls", "{absent}"], "no queue directory at {absent}"),
        (["identity", "descriptor", "{short}"],
         "{short} is no seed file: a seed is exactly 32 bytes, it holds 31"),
        (["queue", "drop", "queue", "x"],
         "no queued item with id 'queue'; 'queue' is a directory: the id comes first"),
        (["queue", "ls", "{env}"], "queue I/O error at "),
        (["queue", "ls", b"q\xff"], "argument DIR is not valid UTF-8: b'q\\xff'"),
        (["queue", "drop", b"\xfe", "q"], "argument ID is not valid UTF-8: b'\\xfe'"),
        (["classify", b"qu\xffic", "x"], "argument HINT is not valid UTF-8"),
    ],
)
def test_failures_exit_1_with_one_line_on_stderr(tmp_path, envelope_file, argv, message):
    (tmp_path / "garbage.txt").write_text("not json")
    (tmp_path / "short").write_bytes(bytes(31))
    (tmp_path / "queue").mkdir()
    names = {"missing": tmp_path / "missing.json", "garbage": tmp_path / "garbage.txt",
             "env": envelope_file, "absent": tmp_path / "no-queue", "short": tmp_path / "short"}
    proc = cli(*(a if isinstance(a, bytes) else a.format(**names) for a in argv), cwd=tmp_path)
    assert proc.returncode == 1
    lines = proc.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("ulo-protocol: error: " + message.format(**names))


@pytest.mark.parametrize(
    "hint, counterparty",
    [("Noise", ""), (" tcp", "peer-7")],
)
def test_classify_matches_the_module(hint, counterparty):
    proc = cli("classify", hint, counterparty)
    assert proc.stdout.decode() == ulo.classify_exchange(hint, counterparty) + "\n"


def test_identity_new_writes_a_private_seed_and_prints_its_descriptor(tmp_path):
    seed_file = tmp_path / "seed"
    proc = cli("identity", "new", "--seed-out", seed_file)
    assert proc.returncode == 0, proc.stderr
    assert stat.S_IMODE(seed_file.stat().st_mode) == 0o600
    seed = seed_file.read_bytes()
    assert len(seed) == 32
    descriptor = ulo.PeerIdentityDescriptor.from_json(proc.stdout.decode())
    assert descriptor == ulo.SoftwareIdentity.from_seed(seed).descriptor()


def test_usage_errors_exit_2_and_help_says_which_signature_verify_checks():
    proc = cli("queue")
    assert proc.returncode == 2
    assert b"usage:" in proc.stderr
    helped = " ".join(cli("envelope", "verify", "--help").stdout.decode().split())
    assert "default: the envelope's own our_signature, read as standard Base64" in helped


def test_queue_ls_shows_good_items_and_every_bad_entry_by_path(queue_dir):
    (queue_dir / "a-broken.json").write_text("{")
    os.mkfifo(queue_dir / "b-fifo.json")
    proc = cli("queue", "ls", queue_dir)
    assert proc.returncode == 1
    assert [line.split("\t")[0] for line in proc.stdout.decode().splitlines()] == [ID_OLD, ID_NEW]
    errors = proc.stderr.decode().splitlines()
    assert len(errors) == 2 and all(e.startswith("ulo-protocol: error: ") for e in errors)
    assert errors[0].startswith("ulo-protocol: error: queue JSON error: ")
    assert str(queue_dir / "a-broken.json") in errors[0]
    assert str(queue_dir / "b-fifo.json") in errors[1]
    # Moved aside one by one (by path, or by name), the queue is whole again.
    moved = cli("queue", "quarantine", queue_dir / "a-broken.json", queue_dir)
    assert moved.stdout.decode() == f"{queue_dir / 'quarantine' / 'a-broken.json'}\n"
    assert cli("queue", "quarantine", "b-fifo.json", queue_dir).returncode == 0
    again = cli("queue", "ls", queue_dir)
    assert (again.returncode, again.stderr) == (0, b"")
    refused = cli("queue", "quarantine", "/etc/passwd", queue_dir)
    assert refused.returncode == 1 and b"not an entry of the queue" in refused.stderr
    # A corrupt item can still be dropped by its id.
    (queue_dir / "broken.json").write_text("{")
    assert cli("queue", "drop", "broken", queue_dir).returncode == 0
    assert cli("queue", "ls", queue_dir).returncode == 0


def test_queue_paths_are_compared_as_files_and_json_output(queue_dir, tmp_path):
    (queue_dir / "bad.json").write_text("{")
    # The queue named relatively, the entry absolutely and through a link.
    os.symlink(queue_dir, tmp_path / "link")
    moved = cli("queue", "quarantine", tmp_path / "link" / "bad.json", "queue", cwd=tmp_path)
    assert moved.returncode == 0, moved.stderr
    assert moved.stdout.decode() == f"{os.path.join('queue', 'quarantine', 'bad.json')}\n"
    lines = cli("queue", "ls", queue_dir, "--json").stdout.decode().splitlines()
    assert [json.loads(line) for line in lines] == [
        {"queue_id": ID_OLD, "pair_class": "routing", "opened_at": "2026-04-15T09:00:00Z"},
        {"queue_id": ID_NEW, "pair_class": "trust", "opened_at": "2026-04-15T09:00:01.500Z"}]
    assert json.loads(cli("queue", "count", queue_dir, "--json").stdout) == {
        "dir": str(queue_dir), "count": 2}


def test_identity_descriptor_prints_the_descriptor_of_a_seed_file(tmp_path):
    seed_file = tmp_path / "seed"
    seed_file.write_bytes(bytes(range(32)))
    proc = cli("identity", "descriptor", seed_file)
    assert proc.returncode == 0, proc.stderr
    want = ulo.SoftwareIdentity.from_seed(bytes(range(32))).descriptor().to_json()
    assert proc.stdout.decode() == want + "\n"


def test_queue_ls_into_a_closed_pipe_ends_quietly(tmp_path):
    q = ulo.EnvelopeQueue(str(tmp_path))
    for n in range(3000):  # more than a pipe holds
        q.push("routing", envelope(f"id-{n:05d}"))
    proc = subprocess.Popen([*CLI, "queue", "ls", str(tmp_path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    assert proc.stdout.readline().startswith(b"id-00000\t")
    proc.stdout.close()
    _, err = proc.communicate(timeout=60)
    assert err == b""


def _limit(kind, value):
    return lambda: resource.setrlimit(kind, (value, value))


@pytest.mark.skipif(SANITIZED,
                    reason="the sanitizer reserves more address space than the limit")
def test_reading_an_endless_file_under_a_memory_limit_says_what_is_wrong():
    proc = cli("envelope", "signing-bytes", "/dev/zero",
               preexec=_limit(resource.RLIMIT_AS, 1 << 30))
    assert proc.returncode == 1
    assert proc.stderr.decode() in (
        "ulo-protocol: error: cannot read /dev/zero: not enough memory to hold it\n",
        f"ulo-protocol: error: cannot read /dev/zero: longer than {256 * 1024 * 1024} characters\n",
    )


@pytest.mark.parametrize("existing, limit, message", [
    (b"keep me", None, "refusing to overwrite"),
    (None, 16, "cannot write {seed}: "),  # no partial seed is left behind
])
def test_identity_new_failures_leave_the_seed_file_as_it_was(tmp_path, existing, limit, message):
    seed_file = tmp_path / "seed"
    if existing is not None:
        seed_file.write_bytes(existing)
    proc = cli("identity", "new", "--seed-out", seed_file,
               preexec=limit and _limit(resource.RLIMIT_FSIZE, limit))
    assert (proc.returncode, proc.stdout) == (1, b"")
    assert proc.stderr.decode().startswith("ulo-protocol: error: " + message.format(seed=seed_file))
    if existing is None:
        assert not seed_file.exists()
        assert cli("identity", "new", "--seed-out", seed_file).returncode == 0  # the retry works
    else:
        assert seed_file.read_bytes() == existing


def test_verify_vouches_only_for_the_key_it_checked(tmp_path, envelope_file, signed):
    descriptor, sig = signed
    real = ulo.PeerIdentityDescriptor.from_json(descriptor.read_text()).fingerprint
    forged = json.loads(descriptor.read_text())
    claimed = ulo.SoftwareIdentity.from_seed(bytes(32)).descriptor().fingerprint
    forged["fingerprint"] = claimed
    descriptor.write_text(json.dumps(forged))
    proc = cli("envelope", "verify", envelope_file, "--descriptor", descriptor, "--signature", sig)
    assert proc.returncode == 1 and proc.stdout == b""
    message = proc.stderr.decode()
    assert real in message and claimed in message and "claims" in message
