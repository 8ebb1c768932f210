"""One timed call of the Python module or of a peer, for bench/python_benchmarks.sh.

usage: python_bench.py MODE FILE [ROUNDS]

MODE is one of
  varbloc   varbloc.load(FILE)
  pandas    pandas.read_csv(FILE, sep=r"\\s+", comment="#", header=None)
  loadtxt   numpy.loadtxt(FILE)
  import    nothing beyond importing numpy and varbloc (the interpreter's own
            memory)
  block     varbloc.load(FILE), then varbloc.block on its array ROUNDS times
            (default 5)

A load mode prints one line: "MODE SECONDS USER SYSTEM ROWS COLUMNS", the
call's wall time (monotonic clock) and its user and system time from
getrusage. The block mode prints the seconds of every round (and the
thread's CPU time: the analysis runs in the calling thread), their median,
whether the array was used in place, and the final errors.
"""

import resource
import statistics
import sys
import time

import numpy as np

import varbloc


def cpu_times():
    """User and system seconds of this process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def timed(call):
    """Runs `call` once; returns its value, wall, user and system seconds."""
    user, system = cpu_times()
    start = time.perf_counter()
    value = call()
    wall = time.perf_counter() - start
    user_after, system_after = cpu_times()
    return value, wall, user_after - user, system_after - system


def readers(path):
    """The loads compared, by mode."""

    def pandas_read():
        import pandas

        return pandas.read_csv(path, sep=r"\s+", comment="#", header=None)

    return {
        "varbloc": lambda: varbloc.load(path),
        "pandas": pandas_read,
        "loadtxt": lambda: np.loadtxt(path),
    }


def peak_rss_mb():
    """Largest resident set of this process so far, in MB (10^6 bytes)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 / 1e6


def time_block(path, rounds):
    """Times block() on load()'s array and shows that it was not copied."""
    samples = varbloc.load(path)
    before = peak_rss_mb()
    seconds = []
    for _ in range(rounds):
        cpu = time.thread_time()
        result, wall, _, _ = timed(lambda: varbloc.block(samples))
        cpu = time.thread_time() - cpu
        seconds.append(wall)
        print(f"round {len(seconds)}: {wall:.4f} s (cpu {cpu:.4f} s)")
    print(f"median {statistics.median(seconds):.4f} s")
    print(f"f_contiguous {samples.flags.f_contiguous}, peak RSS {before:.0f} MB after load, "
          f"{peak_rss_mb():.0f} MB after the rounds")
    print("errors " + " ".join(f"{e:.17g}" for e in result.error))


def main(argv):
    if len(argv) not in (3, 4) or argv[1] not in ("varbloc", "pandas", "loadtxt", "import",
                                                   "block"):
        sys.exit(__doc__.split("\n\n")[1])
    mode, path = argv[1], argv[2]
    if mode == "import":
        return
    if mode == "block":
        time_block(path, int(argv[3]) if len(argv) == 4 else 5)
        return
    table, wall, user, system = timed(readers(path)[mode])
    rows, columns = table.shape
    print(f"{mode} {wall:.3f} {user:.3f} {system:.3f} {rows} {columns}")


if __name__ == "__main__":
    main(sys.argv)
