"""Timing helpers shared by the benchmark modules."""
import timeit
from dataclasses import dataclass, field


def per_call(fn, min_time=0.2, repeat=5):
    """Best-of-`repeat` seconds per call, each round lasting at least `min_time`.

    `fn` is a callable, or a (statement, namespace) pair compiled into the
    timing loop so that no wrapper call is counted.
    """
    if isinstance(fn, tuple):
        stmt, env = fn
        timer = timeit.Timer(stmt, globals=env)
    else:
        timer = timeit.Timer(fn)
    n, dt = 1, 0.0
    while True:
        dt = timer.timeit(n)
        if dt >= min_time / 4:
            break
        n *= 4
    n = max(1, int(n * min_time / max(dt, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=n)) / n


@dataclass
class Native:
    """A figure timed elsewhere (a native program, or a call timed per item
    of a batch): `run()` returns seconds per call."""
    run: object


def timed(fn):
    """Seconds per call of a Case's `ours` or peer."""
    return fn.run() if isinstance(fn, Native) else per_call(fn)


@dataclass
class Case:
    """One operation of ours timed beside the alternatives a user would write."""
    group: str
    name: str
    ours: object
    peers: dict = field(default_factory=dict)
    # (peer name, ratio ours/peer must not exceed)
    targets: list = field(default_factory=list)
    unit: str = "us"


@dataclass
class Result:
    case: Case
    ours_s: float
    peers_s: dict

    def ratio(self, peer):
        return self.ours_s / self.peers_s[peer]
