import faulthandler
import json
import os
import pathlib
import signal
import subprocess
import sys
import sysconfig

import pytest

from ulo_protocol import SignedEnvelope

DATA = pathlib.Path(__file__).parent / "data"

# Under the sanitizer freed memory waits in ASan's quarantine, so RSS says
# nothing about leaks (LeakSanitizer looks for them instead), and address
# space limits leave no room for its shadow memory.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


# A free-threaded CPython (3.13t), and whether the lock is on in this one
# (off with PYTHON_GIL=0, or while no module has asked for it).
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_ENABLED = getattr(sys, "_is_gil_enabled", lambda: True)()


def leak_check(floor):
    """Source of `leaks(step, rounds)` for a child interpreter: runs `step`
    in three windows of `rounds` and is True when RSS grew by more than
    `floor` bytes in each of the last two. A leak grows every window alike; a
    one-off (an allocator arena or a thread stack that a loaded machine's
    timing brings on late) grows one, so load cannot fail the check. No
    bound under the sanitizer."""
    floor = 1 << 50 if SANITIZED else floor
    return f"""
def leaks(step, rounds):
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    marks = [rss()]
    for _ in range(3):
        for _ in range(rounds):
            step()
        marks.append(rss())
    return min(b - a for a, b in zip(marks[1:], marks[2:])) > {floor}
"""


# An outbound exchange still open (no response, not closed), in canonical
# form: the required members only.
ENVELOPE_JSON = ('{"exchange_id":"ex-1","peer_self":{"class":"body","type":"agent","ref":"alice"},'
                 '"direction":"outbound","request_hash":"aa11","our_signature":"sig-a",'
                 '"opened_at":"2026-04-15T09:00:00Z","protocol_hint":"quic",'
                 '"counterparty_identifier":"peer-7"}')


def envelope_dict(**fields):
    """The sample as a dict with `fields` replaced; a value of ... removes the member."""
    d = json.loads(ENVELOPE_JSON)
    for k, v in fields.items():
        if v is ...:
            d.pop(k, None)
        else:
            d[k] = v
    return d


def envelope_with(**fields):
    return SignedEnvelope.from_json(json.dumps(envelope_dict(**fields)))


def load_jsonl(name):
    with open(DATA / name, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


@pytest.fixture(scope="session")
def data_dir():
    return DATA


def run_python(code, *args, timeout=60, check=True):
    """Runs `code` in a fresh interpreter. At the timeout a hang ends it with
    every thread's traceback, which a failure shows; the child is killed
    only if even that does not come."""
    watchdog = f"import faulthandler; faulthandler.dump_traceback_later({timeout}, exit=True)\n"
    out = subprocess.run([sys.executable, "-c", watchdog + code, *map(str, args)],
                         capture_output=True, text=True, timeout=timeout + 10)
    if check and out.returncode != 0:
        pytest.fail(f"the child exited with {out.returncode}:\n{out.stderr}", pytrace=False)
    return out


def run_in_child(work, limit=60):
    """Forks; the child runs work() under an alarm (a hang ends it with
    SIGALRM) and exits 0 unless work() raised or returned False. Returns the
    child's wait status: 0 on success."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(limit)
            code = 1 if work() is False else 0
        finally:
            os._exit(code)
    return os.waitpid(pid, 0)[1]


@pytest.fixture
def watchdog():
    # A thread of its own, so it fires even while a call holds the
    # interpreter lock, and ends the process with a traceback.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
