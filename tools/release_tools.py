"""What the release scripts share: how each one reports and runs a step,
the release targets, and the Debian mirror this machine's apt already uses.

The scripts are modules of the `tools` package, run from the clone's top
folder as `python -m tools.<script>`."""

from __future__ import annotations

import dataclasses
import pathlib
import subprocess
import sys
from typing import NoReturn

APT_SOURCES = pathlib.Path("/etc/apt/sources.list.d")


class Reporter:
    """One script's voice: progress lines, passed checks, and the one way it
    stops (a message on stderr, exit status 1)."""

    def __init__(self, prefix: str) -> None:
        self.prefix = prefix

    def log(self, text: str) -> None:
        print(f"{self.prefix}: {text}", flush=True)

    def ok(self, text: str) -> None:
        self.log(f"ok: {text}")

    def fail(self, text: str) -> NoReturn:
        print(f"{self.prefix}: FAIL: {text}", file=sys.stderr, flush=True)
        sys.exit(1)

    def run(self, cmd: list[str], *, cwd: pathlib.Path | None = None, env: dict[str, str] | None = None,
            log: pathlib.Path | None = None) -> str:
        """Run `cmd` and return its output, or append the output to `log`
        (long steps: the build tools' chatter stays out of the terminal).
        A failure stops the script with what the command said last."""
        if log is None:
            proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, check=False)
            if proc.returncode != 0:
                self.fail(f"{' '.join(cmd)} exited {proc.returncode}\n{proc.stdout}{proc.stderr}")
            return proc.stdout
        with log.open("a") as out:
            out.write(f"$ {' '.join(cmd)}\n")
            out.flush()
            status = subprocess.run(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                    check=False).returncode
        if status != 0:
            tail = "\n".join(log.read_text(errors="replace").splitlines()[-40:])
            self.fail(f"{' '.join(cmd)} exited {status} (log {log}):\n{tail}")
        return ""


def host_mirror(security: bool = False, sources: pathlib.Path = APT_SOURCES) -> str:
    """The archive URI of this machine's main Debian suite (or of its
    security suite), read from apt's own sources: the tree names no host."""
    uris = []
    for path in sorted(sources.glob("*.sources")):
        for stanza in path.read_text().split("\n\n"):
            fields = dict(ln.split(":", 1) for ln in stanza.splitlines() if ":" in ln and not ln.startswith("#"))
            if "deb" in fields.get("Types", "").split():
                uris += [(u, fields.get("Suites", "")) for u in fields.get("URIs", "").split()]
    legacy = pathlib.Path("/etc/apt/sources.list")
    if legacy.is_file():
        for line in legacy.read_text().splitlines():
            words = [w for w in line.split() if not w.startswith("[")]
            if len(words) >= 3 and words[0] == "deb":
                uris.append((words[1], words[2]))
    for uri, suites in uris:
        if security == ("-security" in suites):
            return uri.rstrip("/")
    raise RuntimeError("no Debian archive" + (" for security updates" if security else "") + " in apt's sources")


@dataclasses.dataclass(frozen=True)
class Target:
    """One wheel the release builds: an architecture, a C library, and
    either the stable ABI (every CPython >= 3.10) or one free-threaded
    minor version."""
    arch: str  # x86_64 or aarch64
    libc: str = "gnu"  # gnu (glibc 2.17) or musl (1.2)
    free_threaded: str = ""  # "" for abi3, else the minor version, "3.13"

    @property
    def name(self) -> str:
        return f"{self.arch}-{self.libc}" + (f"-{self.free_threaded}t" if self.free_threaded else "")

    @property
    def zig_triple(self) -> str:
        return f"{self.arch}-linux-gnu.{GLIBC_FLOOR}" if self.libc == "gnu" else f"{self.arch}-linux-musl"

    @property
    def platform_tags(self) -> list[str]:
        if self.libc == "musl":
            return [f"musllinux_{MUSL_FLOOR.replace('.', '_')}_{self.arch}"]
        return [f"manylinux_{GLIBC_FLOOR.replace('.', '_')}_{self.arch}", f"manylinux2014_{self.arch}"]

    @property
    def python_tag(self) -> str:
        if not self.free_threaded:
            return "cp310-abi3"
        cp = "cp" + self.free_threaded.replace(".", "")
        return f"{cp}-{cp}t"

    @property
    def soabi(self) -> str:
        assert self.free_threaded, "an abi3 module has no interpreter-specific SOABI"
        return f"cpython-{self.free_threaded.replace('.', '')}t-{self.arch}-linux-{self.libc}"

    @property
    def module_file(self) -> str:
        return f"{MODULE}.{self.soabi}.so" if self.free_threaded else f"{MODULE}.abi3.so"

    @property
    def wheel_tag(self) -> str:
        return f"{self.python_tag}-{'.'.join(self.platform_tags)}"

    @classmethod
    def of_wheel(cls, wheel: pathlib.Path) -> Target:
        for target in TARGETS:
            if wheel.name.endswith(f"-{target.wheel_tag}.whl"):
                return target
        raise ValueError(f"{wheel.name} is not a wheel of any release target")


MODULE = "ulo_protocol"
GLIBC_FLOOR = "2.17"
MUSL_FLOOR = "1.2"
ARCHES = ("x86_64", "aarch64")
# Every wheel `make dist` writes.
TARGETS = tuple(
    [Target(a) for a in ARCHES] + [Target(a, "musl") for a in ARCHES] + [Target(a, free_threaded="3.13") for a in ARCHES]
)


if __name__ == "__main__":
    # `python -m tools.release_tools mirror` (or `security-mirror`), for make.
    print(host_mirror(security=sys.argv[1:] == ["security-mirror"]))
