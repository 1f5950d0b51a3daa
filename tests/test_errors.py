"""Internal faults surface as PanicException; the module keeps working."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

import ulo_protocol
from conftest import ENVELOPE_JSON

# Starting the worker runtime needs a thread stack; an address-space limit just
# above the current size makes that fail, which is an internal fault.
SCRIPT = textwrap.dedent("""
    import os, resource, sys
    import ulo_protocol as u
    e = u.SignedEnvelope.from_json({envelope!r})
    q = u.EnvelopeQueue(sys.argv[1])
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), resource.RLIM_INFINITY))
    try:
        q.push("routing", e)
    except Exception:
        print("caught by except Exception")
    except BaseException as ex:
        print(type(ex).__name__, "|", ex, "|", [c.__name__ for c in type(ex).__mro__])
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    q.push("routing", e)
    print(len(q.list()))
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address-space limit leaves no room for sanitizer shadow memory")
@pytest.mark.skipif(bool(os.environ.get("ULO_EMULATED")),
                    reason="under user-mode emulation the limit applies to the emulator's own mappings")
def test_runtime_start_failure_is_a_panic_and_the_next_call_retries(tmp_path):
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(envelope=ENVELOPE_JSON), str(tmp_path)],
                         capture_output=True, text=True, check=True, timeout=60)
    first, second = out.stdout.strip().splitlines()
    name, message, mro = first.split(" | ")
    assert name == "PanicException"
    assert message.startswith("failed to start tokio runtime for ulo-protocol-py: ")
    assert mro == "['PanicException', 'BaseException', 'object']"
    assert second == "1"
    assert len(out.stderr.strip().splitlines()) == 1 and message in out.stderr
    # The line names the source file, never a directory of the build machine.
    where = re.search(r"internal fault at (\S+):\d+: ", out.stderr)
    assert where and "/" not in where.group(1) and where.group(1).endswith((".hpp", ".cpp"))


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(ulo_protocol, "PanicException")
