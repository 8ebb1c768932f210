#!/usr/bin/env python3
"""Times varbloc.equilibration beside pymbar's detectEquilibration.

usage, from the repository root, after `./build.sh test` and
`scripts/setup.sh python3-scipy python3-pymbar`:
    nice /usr/bin/python3 bench/equilibration_speed.py [REPETITIONS]

One column of 10^4 samples, AR(1) phi = 0.9 of unit variance plus an offset
20 exp(-t / 200) (the chains of scripts/validate_equilibration.py beside
pymbar), drawn from a fixed seed. On that very array the two searches run in
turns, REPETITIONS times each (default 7), the order swapped every round:
`varbloc.equilibration(x)` and `pymbar.timeseries.detectEquilibration(x,
fast=True)` (pymbar 3's name for detect_equilibration). A varbloc round is
the mean of INNER back-to-back calls, since one call is far shorter than the
clock's noise; a pymbar round is one call. Then varbloc alone on 10^5 and 10^6
samples of the same process (offset 20 exp(-t / 2000) and 20 exp(-t / 20000),
n / T = 50 throughout), and pymbar once on the 10^5 samples in a child
process, stopped after PYMBAR_LIMIT seconds.

Prints the processor (lscpu's model name, family and model), the load average
before and after, the starts each found, and a Markdown table of the medians
(minimum to maximum) and their ratio. Wall time on the monotonic clock.
"""
import math
import os
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "build", "release", "python"))

import numpy as np  # noqa: E402
from scipy.signal import lfilter  # noqa: E402

SEED = 20_251_210
PHI = 0.9
AMPLITUDE = 20.0
INNER = 200                 # varbloc calls per timed round at n = 10^4
PYMBAR_LIMIT = 120.0        # seconds allowed to pymbar at n = 10^5


def chain(n):
    """n samples of AR(1) phi = 0.9, unit variance, started stationary, plus
    AMPLITUDE exp(-t / (n / 50))."""
    rng = np.random.default_rng([SEED, n])
    e = rng.standard_normal(n) * math.sqrt(1.0 - PHI * PHI)
    e[0] = rng.standard_normal()
    x = lfilter([1.0], [1.0, -PHI], e)
    return x + AMPLITUDE * np.exp(-np.arange(n) / (n / 50.0))


def processor():
    """lscpu's model name, CPU family and model."""
    try:
        text = subprocess.run(["lscpu"], stdout=subprocess.PIPE, text=True).stdout
    except OSError:
        return "unknown processor"
    fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
    get = (lambda key: fields.get(key, "?").strip())
    return "%s, family %s, model %s, %s CPUs" % (get("Model name"), get("CPU family"),
                                                 get("Model"), get("CPU(s)"))


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


def time_varbloc(x, inner):
    import varbloc
    start = time.perf_counter()
    for _ in range(inner):
        result = varbloc.equilibration(x)
    return (time.perf_counter() - start) / inner, int(result.start[0])


def time_pymbar(x):
    import pymbar.timeseries
    start = time.perf_counter()
    t, _, _ = pymbar.timeseries.detectEquilibration(x, fast=True)
    return time.perf_counter() - start, int(t)


def spread(values):
    return "%.4g (%.4g-%.4g)" % (statistics.median(values), min(values), max(values))


def child(n):
    """The pymbar call at n samples, in its own process: prints seconds and start."""
    seconds, start = time_pymbar(chain(n))
    print("%.6f %d" % (seconds, start))


def main(argv):
    if len(argv) == 3 and argv[1] == "--pymbar-child":
        child(int(argv[2]))
        return 0
    repetitions = int(argv[1]) if len(argv) > 1 else 7
    print("processor: %s" % processor())
    print("load average before: %s" % load_average())
    x = chain(10_000)
    time_varbloc(x, 10)          # warm up the module
    v_times, p_times, ratios = [], [], []
    for r in range(repetitions):
        order = ("varbloc", "pymbar") if r % 2 == 0 else ("pymbar", "varbloc")
        for name in order:
            if name == "varbloc":
                seconds, v_start = time_varbloc(x, INNER)
                v_times.append(seconds)
            else:
                seconds, p_start = time_pymbar(x)
                p_times.append(seconds)
        ratios.append(p_times[-1] / v_times[-1])
        print("round %d: varbloc %.3g s, pymbar %.3g s, ratio %.0f"
              % (r + 1, v_times[-1], p_times[-1], ratios[-1]), file=sys.stderr)
    print("n = 10,000: varbloc start %d, pymbar start %d" % (v_start, p_start))
    rows = [("10,000", "varbloc.equilibration", spread(v_times), "%d x %d calls"
             % (repetitions, INNER)),
            ("10,000", "pymbar detectEquilibration(fast=True)", spread(p_times),
             "%d calls" % repetitions)]
    for n in (100_000, 1_000_000):
        xs = chain(n)
        inner = max(1, INNER * 10_000 // n)
        times = []
        for _ in range(repetitions):
            seconds, start = time_varbloc(xs, inner)
            times.append(seconds)
        print("n = {:,}: varbloc start {}".format(n, start))
        rows.append(("{:,}".format(n), "varbloc.equilibration", spread(times),
                     "%d x %d calls" % (repetitions, inner)))
    try:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--pymbar-child",
                               "100000"], stdout=subprocess.PIPE, text=True,
                              timeout=PYMBAR_LIMIT)
        seconds, start = done.stdout.split()
        print("n = 100,000: pymbar start %s" % start)
        rows.append(("100,000", "pymbar detectEquilibration(fast=True)", "%.4g" % float(seconds),
                     "1 call"))
    except subprocess.TimeoutExpired:
        rows.append(("100,000", "pymbar detectEquilibration(fast=True)",
                     "stopped after %.0f s" % PYMBAR_LIMIT, "1 call, not finished"))
    print("load average after: %s" % load_average())
    print()
    print("| n | search | seconds per call: median (min-max) | runs |")
    print("|---:|---:|---:|---:|")
    for row in rows:
        print("| %s |" % " | ".join(row))
    print()
    print("n = 10,000: ratio of the medians pymbar / varbloc %.0f; per round %s"
          % (statistics.median(p_times) / statistics.median(v_times), spread(ratios)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
