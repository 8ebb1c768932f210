#!/usr/bin/env python3
"""Validates varbloc's equilibration search on chains with a known start-up transient.

usage, from the repository root, after `./build.sh test` and
`scripts/setup.sh python3-scipy python3-pymbar`:
    /usr/bin/python3 scripts/validate_equilibration.py          every series, pymbar beside,
                                                                rewrite the equilibration
                                                                section of docs/validation.md
    /usr/bin/python3 scripts/validate_equilibration.py --check  the checked AR(1) series only,
                                                                fewer chains, no pymbar, no
                                                                document (for CI, seconds)

`varbloc.equilibration(data)` gives each column the start t0 that maximises
the effective samples (n - t0) / tau(t0) of the rest of the chain. This script
measures that start on chains whose transient is known exactly:

- AR(1) chains x_t = phi x_(t-1) + e_t of unit variance, started in their
  stationary distribution, plus an offset A exp(-t / T). The offset falls
  below one standard deviation at t1 = T ln A; the true mean is 0, so the mean
  of x[t0:] with its automatic error (`varbloc.block(x[t0:]).automatic.error`)
  can be held against it, beside the same without discarding anything.
- Stationary AR(1) chains, where the start should stay near 0 and the error of
  the rest should be the exact error of the mean of its samples.
- The same transient at n = 10^4 beside pymbar's detectEquilibration, and the
  shipped Ising generator from its random start (full run only).

The chains are drawn from fixed seeds with NumPy and scipy.signal.lfilter and
analysed in memory by the module in the build tree (build/release/python).
A statistical target is met when a 3-sigma confidence interval of the measured
figure (Wilson's for a fraction, the order-statistic interval for a median)
reaches the target's range, as in scripts/validate_automatic.py; the document
shows the plain figures beside it. The script builds nothing and stops with a
message when the module or the generator is missing. It ends with the line
"equilibration: N passed, M failed" and exits non-zero when a check fails.
"""
import datetime
import math
import os
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field

import validation_kit as kit
from validation_kit import (EQUILIBRATION_MARKER, ISING, REPO, VALIDATION_DOCUMENT, Z, Check, ar1,
                            chain_batches, exact_error, failure_lines, fill, fraction_check,
                            git_revision, ising_chain, machine, margin, markdown_table,
                            median_check, package_version, percent, pymbar_detect, targets_table,
                            write_section)

REGENERATE = "/usr/bin/python3 scripts/validate_equilibration.py"

ROOT_SEED = 20_251_209

# The transient: AR(1) phi = 0.9 of unit variance plus AMPLITUDE exp(-t / RELAXATION).
PHI = 0.9
AMPLITUDE = 20.0
RELAXATION = 2000.0
# (samples, chains in the full run, chains with --check); the chains of
# --check are the first ones of the full run.
TRANSIENT_RUNS = [(100_000, 1000, 400), (1_000_000, 40, 10)]
# The start's target: at or after t1, within this many relaxation times of it.
LATE_RELAXATIONS = 3.0
START_FRACTION = 0.90             # of the chains with their start in that window
COVERAGE_RANGE = (0.64, 0.72)     # |mean of the rest| < its automatic error

# Stationary chains: the start before 5% of n in at least 90% of them, and
# the median automatic / exact error of the rest within 5% of 1.
STATIONARY_PHIS = [0.5, 0.9]
STATIONARY_N = 100_000
STATIONARY_CHAINS = (1000, 400)   # full run, --check
EARLY_FRACTION = 0.05
EARLY_TARGET = 0.90
RATIO_RANGE = (0.95, 1.05)

# Beside pymbar: the transient scaled to n = 10^4 (the same n / T = 50).
PEER_N = 10_000
PEER_RELAXATION = 200.0
PEER_CHAINS = 100

# Ising chains, L = 32, from the generator's random start: (temperature,
# label). The reference figures come from one long chain per temperature.
ISING_TEMPERATURES = [(2.0, "below T_c"), (2.269, "at T_c"), (3.0, "above T_c")]
ISING_SWEEPS = 10_000
ISING_CHAINS = 20
ISING_FIRST_SEED = 5001
ISING_REFERENCE = (20_000, 100_000, 4001)   # discarded, kept sweeps, seed
ISING_TAIL = 2_500                # last sweeps of a chain, to tell whether it got there
ISING_COLUMNS = ["energy", "abs(magnetisation)"]
# What --check takes on this machine (measured; quoted in the document).
CHECK_SECONDS = "about 10 s"


# ----------------------------------------------------------------------------
# The chains.

def one_sigma_time(amplitude, relaxation):
    """Where amplitude exp(-t / relaxation) falls to one standard deviation (1)."""
    return relaxation * math.log(amplitude)


def offset_mean(amplitude, relaxation, start, n):
    """Mean of amplitude exp(-t / relaxation) over t = start, ..., n - 1."""
    import numpy as np
    start = np.asarray(start, dtype=np.float64)
    q = math.exp(-1.0 / relaxation)
    return amplitude * q ** start * (1.0 - q ** (n - start)) / ((1.0 - q) * (n - start))


@dataclass
class Cell:
    key: str               # names the seeds
    label: str
    n: int
    chains: int
    phi: float
    amplitude: float = 0.0
    relaxation: float = 1.0
    checked: bool = True

    @property
    def t1(self):
        return one_sigma_time(self.amplitude, self.relaxation) if self.amplitude else 0.0


def batches(cell):
    """The chains of a cell as n x chains arrays, each chain contiguous. With
    fewer chains the first ones are the same (same seeds, same batches)."""
    import numpy as np
    offset = cell.amplitude * np.exp(-np.arange(cell.n) / cell.relaxation) \
        if cell.amplitude else None

    def draw(rng, m):
        x = ar1(rng, cell.phi, m, cell.n)
        x *= math.sqrt(1.0 - cell.phi * cell.phi)
        if offset is not None:
            x += offset
        return x

    return chain_batches(ROOT_SEED, cell.key, cell.n, cell.chains, draw)


# ----------------------------------------------------------------------------
# The search on a batch, and whether it follows its rule.

@dataclass(eq=False)
class Outcome:
    cell: Cell
    parts: dict = field(default_factory=dict)
    problems: list = field(default_factory=list)
    seconds: float = 0.0

    def add(self, name, values):
        import numpy as np
        self.parts.setdefault(name, []).append(np.asarray(values))

    def __getitem__(self, name):
        import numpy as np
        return np.concatenate(self.parts[name])


def criterion_level(n, errors):
    """The criterion level of Lee, Kent & Needs, Phys. Rev. E 83, 066706
    (2011), Eq. 14, from a column's pairwise errors: the smallest k >= 1
    with (2^k)^3 > 2 n (e_k / e_0)^4, in the module's order of operations;
    the number of levels where none meets it."""
    for k in range(1, len(errors)):
        b = float(1 << k)
        ratio = errors[k] / errors[0]
        ratio2 = ratio * ratio
        if b * b * b > 2.0 * n * (ratio2 * ratio2):
            return k
    return len(errors)


def rule_problems(data, eq):
    """Where varbloc.equilibration departs from its documented rule: block size
    of Lee, Kent and Needs' criterion level on the chain's second half, at
    least 4; start at the
    first whole block (laid from the end) of the earliest candidate with the
    largest effective samples; tau and ess the automatic estimate's of
    x[start:]; where no candidate leaves enough whole blocks, start 0, tau
    NaN and the reason "too few samples"."""
    import numpy as np
    import varbloc
    n, columns = data.shape
    problems = []
    half = varbloc.block(data[n - n // 2:, :]).pairwise
    half_errors = np.asarray(half.errors, dtype=np.float64)
    curve = np.asarray(eq.ess_curve)
    for c in range(columns):
        column = curve[:, c]
        if eq.reason[c] == "too few samples" and np.all(np.isnan(column)):
            # No candidate leaves enough whole blocks: nothing is discarded.
            if int(eq.start[c]) != 0 or not math.isnan(eq.tau[c]):
                problems.append("no candidate with effective samples, yet start %d, tau %g"
                                % (eq.start[c], eq.tau[c]))
            continue
        if eq.reason[c] != "ok":
            problems.append("column %d: no search (%s)" % (c, eq.reason[c]))
            continue
        b = int(eq.block_size[c])
        held = 1 << max(criterion_level(n // 2, half_errors[:, c]), 2)
        if b != held:
            problems.append("block size %d, not the second half's criterion level's %d"
                            % (b, held))
            continue
        if np.all(np.isnan(column)):
            problems.append("column %d: reason ok without any candidate" % c)
            continue
        best = int(np.nanargmax(column))
        candidate = int(eq.candidates[best])
        expected = n - (n - candidate) // b * b
        if int(eq.start[c]) != expected:
            problems.append("start %d, the rule gives %d (candidate %d)"
                            % (eq.start[c], expected, candidate))
            continue
        rest = varbloc.block(data[expected:, c]).automatic
        for name, got, want in (("tau", eq.tau[c], rest.tau[0]), ("ess", eq.ess[c], rest.ess[0])):
            if not abs(got / want - 1.0) <= 1e-9:
                problems.append("%s %.10g, the automatic estimate of the rest gives %.10g"
                                % (name, got, want))
    return problems


def search_batch(outcome, data, offset=None):
    """Runs the search on the columns of data and adds, per chain: the start,
    the mean and automatic error of the rest and of the whole chain, the exact
    error of the rest and the offset left in it."""
    import numpy as np
    import varbloc
    cell = outcome.cell
    n, columns = data.shape
    eq = varbloc.equilibration(data)
    outcome.problems += rule_problems(data, eq)
    whole = varbloc.block(data)
    starts = np.asarray(eq.start, dtype=np.int64)
    mean = np.empty(columns)
    error = np.empty(columns)
    reliable = np.empty(columns, dtype=bool)
    for c in range(columns):
        rest = varbloc.block(data[starts[c]:, c])
        mean[c] = rest.mean[0]
        error[c] = rest.automatic.error[0]
        reliable[c] = rest.automatic.reliable[0]
    outcome.add("start", starts)
    outcome.add("block_size", eq.block_size)
    outcome.add("mean", mean)
    outcome.add("error", error)
    outcome.add("reliable", reliable)
    outcome.add("whole_mean", whole.mean)
    outcome.add("whole_error", whole.automatic.error)
    outcome.add("exact", exact_error(cell.phi, n - starts))
    outcome.add("whole_exact", np.full(columns, float(exact_error(cell.phi, n))))
    if cell.amplitude:
        outcome.add("bias", offset_mean(cell.amplitude, cell.relaxation, starts, n))
    else:
        outcome.add("bias", np.zeros(columns))


def run_cell(cell):
    started = time.time()
    outcome = Outcome(cell)
    for data in batches(cell):
        search_batch(outcome, data)
    outcome.seconds = time.time() - started
    print("  %s, n = %d, %d chains: %.1f s" % (cell.label, cell.n, cell.chains, outcome.seconds),
          file=sys.stderr)
    return outcome


# ----------------------------------------------------------------------------
# Figures of an outcome.

def covered(o, whole=False):
    """(chains with |mean| < automatic error, chains)."""
    import numpy as np
    mean = o["whole_mean"] if whole else o["mean"]
    error = o["whole_error"] if whole else o["error"]
    hit = np.abs(mean) < error
    return int(hit.sum()), len(hit)


def expected_coverage(bias):
    """The fraction expected to be covered with exact errors, from the offset
    left alone: the mean over the chains of P(abs(Z + b) < 1), b the offset
    left over the exact error, Z standard normal."""
    import numpy as np
    from scipy.stats import norm
    b = np.asarray(bias, dtype=np.float64)
    return float(np.mean(norm.cdf(1.0 - b) - norm.cdf(-1.0 - b)))


def start_window(cell):
    return cell.t1, cell.t1 + LATE_RELAXATIONS * cell.relaxation


def in_window(o):
    import numpy as np
    low, high = start_window(o.cell)
    s = o["start"]
    return int(np.sum((s >= low) & (s <= high))), len(s)


def quantiles(values, qs=(0.05, 0.25, 0.5, 0.75, 0.95)):
    import numpy as np
    return [float(np.quantile(values, q)) for q in qs]


# ----------------------------------------------------------------------------
# Checks.

def cell_name(cell):
    return "%s, n = %s" % (cell.label, "{:,}".format(cell.n))


def rule_check(name, problems):
    """Whether the search followed its rule on every chain of a series."""
    return Check("%s: the search follows its rule" % name, not problems,
                 "every chain" if not problems else
                 "%d departures, first: %s" % (len(problems), problems[0]))


def checks_of(outcomes):
    checks = []
    for o in outcomes:
        c = o.cell
        name = cell_name(c)
        checks.append(rule_check(name, o.problems))
        if not c.checked:
            continue
        if c.amplitude:
            hits, chains = covered(o)
            checks.append(fraction_check("%s: abs(mean of x[start:]) < its automatic error" % name,
                                         hits, chains, *COVERAGE_RANGE))
            low, high = start_window(c)
            checks.append(median_check("%s: median start" % name, o["start"], low, high, 0))
            hits, chains = in_window(o)
            checks.append(fraction_check("%s: start in [t1, t1 + %g T]" % (name, LATE_RELAXATIONS),
                                         hits, chains, START_FRACTION, 1.0))
        else:
            early = int((o["start"] < EARLY_FRACTION * c.n).sum())
            checks.append(fraction_check("%s: start < %g%% of n" % (name, 100 * EARLY_FRACTION),
                                         early, len(o["start"]), EARLY_TARGET, 1.0))
            checks.append(median_check("%s: median automatic / exact error of the rest" % name,
                                       o["error"] / o["exact"], *RATIO_RANGE, 4))
    return checks


# ----------------------------------------------------------------------------
# Beside pymbar.

def peer_comparison():
    """varbloc's and pymbar's starts on the same n = 10^4 transient chains,
    and the coverage of the true mean 0 by the rest's mean with each."""
    import numpy as np
    import varbloc
    cell = Cell("peer %d" % PEER_N, "AR(1) phi = 0.9 + 20 exp(-t / 200)", PEER_N, PEER_CHAINS,
                PHI, AMPLITUDE, PEER_RELAXATION, checked=False)
    started = time.time()
    data = np.asfortranarray(next(batches(cell)))
    eq = varbloc.equilibration(data)
    problems = rule_problems(data, eq)
    rows = {"varbloc": {"start": [], "hit": [], "ratio": [], "bias": []},
            "pymbar": {"start": [], "hit": [], "ratio": [], "bias": [], "own_hit": [],
                       "own_ratio": []}}
    seconds = {"varbloc": [], "pymbar": []}
    warned = 0
    for c in range(cell.chains):
        x = np.ascontiguousarray(data[:, c])
        t = time.perf_counter()
        varbloc.equilibration(x)
        seconds["varbloc"].append(time.perf_counter() - t)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            t = time.perf_counter()
            start_p, g = pymbar_detect(x)
            seconds["pymbar"].append(time.perf_counter() - t)
        warned += bool(caught)
        for name, start in (("varbloc", int(eq.start[c])), ("pymbar", start_p)):
            rest = x[start:]
            r = varbloc.block(rest)
            exact = float(exact_error(PHI, len(rest)))
            row = rows[name]
            row["start"].append(start)
            row["hit"].append(abs(r.mean[0]) < r.automatic.error[0])
            row["ratio"].append(r.automatic.error[0] / exact)
            row["bias"].append(float(offset_mean(AMPLITUDE, PEER_RELAXATION, start, PEER_N))
                               / exact)
            if name == "pymbar":
                own = float(np.std(rest, ddof=1)) * math.sqrt(g / len(rest))
                row["own_hit"].append(abs(r.mean[0]) < own)
                row["own_ratio"].append(own / exact)
    print("  beside pymbar, n = %d, %d chains: %.1f s" % (PEER_N, cell.chains,
                                                          time.time() - started), file=sys.stderr)
    return {"cell": cell, "rows": {k: {q: np.asarray(v) for q, v in d.items()}
                                   for k, d in rows.items()},
            "seconds": {k: float(np.median(v)) for k, v in seconds.items()}, "warned": warned,
            "problems": problems}


# ----------------------------------------------------------------------------
# Ising chains.

def reference_point(data, mean, sd):
    """The first sweep at which the mean over the chains (the columns of
    data) lies within one standard deviation of a sweep of the reference
    mean; None if there is none."""
    import numpy as np
    inside = np.flatnonzero(np.abs(data.mean(axis=1) - mean) <= sd)
    return int(inside[0]) if inside.size else None


def ising_study(directory):
    import numpy as np
    import varbloc
    results = []
    discard, kept, ref_seed = ISING_REFERENCE
    for temperature, label in ISING_TEMPERATURES:
        started = time.time()
        reference = ising_chain(directory, temperature, kept, ref_seed, discard)
        ref_block = varbloc.block(reference)
        chains = [ising_chain(directory, temperature, ISING_SWEEPS, ISING_FIRST_SEED + i)
                  for i in range(ISING_CHAINS)]
        for c, name in enumerate(ISING_COLUMNS):
            data = np.asfortranarray(np.stack([x[:, c] for x in chains], axis=1))
            eq = varbloc.equilibration(data)
            ref_mean = float(ref_block.mean[c])
            ref_sd = float(np.std(reference[:, c], ddof=1))
            row = {"temperature": temperature, "label": label, "column": name,
                   "ref_mean": ref_mean, "ref_sd": ref_sd,
                   "ref_error": float(ref_block.automatic.error[c]),
                   "start": np.asarray(eq.start), "block_size": np.asarray(eq.block_size),
                   "no_candidate": int(np.all(np.isnan(np.asarray(eq.ess_curve)), axis=0).sum()),
                   "reason": eq.reason, "pymbar": [], "hit": [], "whole_hit": [],
                   "reference_point": reference_point(data, ref_mean, ref_sd),
                   "away": int(np.sum(np.abs(data[-ISING_TAIL:, :].mean(axis=0) - ref_mean)
                                      > ref_sd)),
                   "pymbar_hit": [], "problems": rule_problems(data, eq)}
            for i in range(ISING_CHAINS):
                x = np.ascontiguousarray(data[:, i])
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    start_p, _ = pymbar_detect(x)
                row["pymbar"].append(start_p)
                for key, start in (("hit", int(eq.start[i])), ("pymbar_hit", start_p),
                                   ("whole_hit", 0)):
                    r = varbloc.block(x[start:])
                    # The reference mean's own error adds in quadrature.
                    allowed = math.hypot(r.automatic.error[0], row["ref_error"])
                    row[key].append(abs(r.mean[0] - ref_mean) < allowed)
            results.append(row)
        print("  Ising T = %g: %.1f s" % (temperature, time.time() - started), file=sys.stderr)
    return results


# ----------------------------------------------------------------------------
# The document.

def fmt_int(value):
    return "{:,.0f}".format(value)


def transient_table(outcomes):
    import numpy as np
    rows = []
    for o in outcomes:
        c = o.cell
        q = quantiles(o["start"])
        hits, chains = covered(o)
        hits0, _ = covered(o, whole=True)
        inside, _ = in_window(o)
        rows.append(["{:,}".format(c.n), "%d" % chains,
                     " / ".join(fmt_int(v) for v in q),
                     fmt_int(o["start"].min()) + " / " + fmt_int(o["start"].max()),
                     percent(inside, chains),
                     percent(hits, chains), percent(hits0, chains),
                     "%.3f" % np.median(o["error"] / o["exact"]),
                     "%.2f" % np.median(o["bias"] / o["exact"]),
                     "%.1f" % (100 * expected_coverage(o["bias"] / o["exact"])),
                     "%.1f" % np.median(o["whole_error"] / o["whole_exact"]),
                     "%.1f" % np.median(np.abs(o["whole_mean"]) / o["whole_exact"]),
                     percent(int(o["reliable"].sum()), chains, 0),
                     ", ".join("%d" % b for b in np.unique(o["block_size"]))])
    return markdown_table(["n", "chains", "start: 5% / 25% / 50% / 75% / 95%", "min / max",
                           "start in [t1, t1 + 3 T] %", "covered after discarding %",
                           "covered without discarding %",
                           "median error / exact error of the rest",
                           "median offset left / exact error",
                           "covered with exact errors, from the offset left %",
                           "without discarding: median error / exact error",
                           "without discarding: median abs(mean) / exact error",
                           "rest reliable %", "block size held"], rows)


def stationary_table(outcomes):
    import numpy as np
    rows = []
    for o in outcomes:
        c = o.cell
        s = o["start"]
        hits, chains = covered(o)
        early = int((s < EARLY_FRACTION * c.n).sum())
        rows.append(["%g" % c.phi, "{:,}".format(c.n), "%d" % chains,
                     percent(early, chains),
                     " / ".join(fmt_int(v) for v in quantiles(s, (0.5, 0.9, 0.95))),
                     fmt_int(s.max()),
                     "%.4f" % np.median(o["error"] / o["exact"]),
                     percent(hits, chains),
                     percent(int(o["reliable"].sum()), chains, 0),
                     ", ".join("%d" % b for b in np.unique(o["block_size"]))])
    return markdown_table(["phi", "n", "chains", "start < 5% of n, %",
                           "start: 50% / 90% / 95%", "max", "median error / exact of the rest",
                           "covered %", "rest reliable %", "block size held"], rows)


def peer_table(peer):
    import numpy as np
    rows = []
    for name, label in (("varbloc", "varbloc.equilibration"),
                        ("pymbar", "pymbar detectEquilibration(x, fast=True)")):
        r = peer["rows"][name]
        chains = len(r["start"])
        inside = int(np.sum((r["start"] >= peer["cell"].t1)
                            & (r["start"] <= peer["cell"].t1
                               + LATE_RELAXATIONS * PEER_RELAXATION)))
        rows.append([label, " / ".join(fmt_int(v) for v in quantiles(r["start"])),
                     fmt_int(r["start"].min()) + " / " + fmt_int(r["start"].max()),
                     percent(inside, chains),
                     percent(int(r["hit"].sum()), chains),
                     "%.3f" % np.median(r["ratio"]), "%.2f" % np.median(r["bias"]),
                     "%.1f" % (100 * expected_coverage(r["bias"])),
                     percent(int(r["own_hit"].sum()), chains) if "own_hit" in r else "-",
                     "%.3f" % np.median(r["own_ratio"]) if "own_ratio" in r else "-",
                     "%.3g" % peer["seconds"][name]])
    return markdown_table(["search", "start: 5% / 25% / 50% / 75% / 95%", "min / max",
                           "start in [t1, t1 + 3 T] %",
                           "covered, automatic error of the rest %",
                           "median automatic / exact error", "median offset left / exact",
                           "covered with exact errors, from the offset left %",
                           "covered, pymbar's sigma sqrt(g / N) %",
                           "median pymbar error / exact", "median s per chain"], rows)


def ising_table(results):
    import numpy as np
    rows = []
    for r in results:
        point = r["reference_point"]
        s = r["start"]
        p = np.asarray(r["pymbar"])
        before = int(np.sum(s < point)) if point is not None else 0
        rows.append(["%g (%s)" % (r["temperature"], r["label"]), r["column"],
                     "%.4f +- %.4f (sd %.3f)" % (r["ref_mean"], r["ref_error"], r["ref_sd"]),
                     fmt_int(point) if point is not None else "never",
                     "%d" % r["away"],
                     "%s / %s / %s" % (fmt_int(s.min()), fmt_int(np.median(s)),
                                       fmt_int(s.max())),
                     "%d" % before,
                     "%s / %s / %s" % (fmt_int(p.min()), fmt_int(np.median(p)),
                                       fmt_int(p.max())),
                     "%d / %d" % (sum(r["hit"]), len(r["hit"])),
                     "%d / %d" % (sum(r["pymbar_hit"]), len(r["pymbar_hit"])),
                     "%d / %d" % (sum(r["whole_hit"]), len(r["whole_hit"])),
                     ", ".join("%d" % b for b in np.unique(r["block_size"])),
                     "%d" % r["no_candidate"]])
    return markdown_table(["T", "column", "reference: mean +- error (sd of a sweep)",
                           "reference point: sweep", "chains away at the end",
                           "varbloc start: min / median / max",
                           "varbloc start before the reference point",
                           "pymbar start: min / median / max", "varbloc: rest's mean covers",
                           "pymbar: rest's mean covers", "nothing discarded: covers",
                           "block size held",
                           "chains without a candidate"], rows)


def plain_lines(transient, stationary):
    import numpy as np
    lines = []
    for o in transient:
        c = o.cell
        hits, chains = covered(o)
        inside, _ = in_window(o)
        med = float(np.median(o["start"]))
        p = hits / chains
        lines.append(
            "- %s: covered after discarding %.1f%% of %d chains (target %.0f%% to %.0f%%; "
            "3-sigma binomial margin +-%.1f%%): %s; with exact errors the offset left alone "
            "would give %.1f%%. Median start %s, %.2f T after t1 = %s (target: in [t1, t1 + "
            "%g T]): %s; %.1f%% of the starts in that window (target >= %.0f%%, margin "
            "+-%.1f%%): %s."
            % (cell_name(c), 100 * p, chains, 100 * COVERAGE_RANGE[0], 100 * COVERAGE_RANGE[1],
               100 * margin(p, chains),
               "met" if COVERAGE_RANGE[0] <= p <= COVERAGE_RANGE[1] else "**not met**",
               100 * expected_coverage(o["bias"] / o["exact"]),
               fmt_int(med), (med - c.t1) / c.relaxation, fmt_int(c.t1), LATE_RELAXATIONS,
               "met" if start_window(c)[0] <= med <= start_window(c)[1] else "**not met**",
               100.0 * inside / chains, 100 * START_FRACTION,
               100 * margin(inside / chains, chains),
               "met" if inside / chains >= START_FRACTION else "**not met**"))
    for o in stationary:
        c = o.cell
        s = o["start"]
        early = float(np.mean(s < EARLY_FRACTION * c.n))
        ratio = float(np.median(o["error"] / o["exact"]))
        lines.append("- AR(1) phi = %g, stationary: start < 5%% of n in %.1f%% (target >= 90%%), "
                     "%s; median automatic / exact error of the rest %.4f (target %.2f to "
                     "%.2f), %s."
                     % (c.phi, 100 * early, "met" if early >= EARLY_TARGET else "**not met**",
                        ratio, *RATIO_RANGE,
                        "met" if RATIO_RANGE[0] <= ratio <= RATIO_RANGE[1] else "**not met**"))
    return "\n".join(lines)


def write_document(transient, stationary, peer, ising, checks, seconds):
    import numpy as np
    passed = sum(c.passed for c in checks)
    failures = [c for c in checks if not c.passed]
    failure_text = failure_lines(checks)
    t1 = one_sigma_time(AMPLITUDE, RELAXATION)
    peer_t1 = one_sigma_time(AMPLITUDE, PEER_RELAXATION)
    main_cell = transient[0].cell
    stripes = [r for r in ising if r["temperature"] < 2.269 and r["column"] == ISING_COLUMNS[1]]
    stuck = sum(r["away"] for r in stripes)
    v, p = peer["rows"]["varbloc"], peer["rows"]["pymbar"]
    difference = np.median(v["start"] - p["start"])
    later = int(np.sum(v["start"] > p["start"]))
    o = transient[0]
    whole_text = fill(
        "Without discarding, the mean of a chain of n = {:,} is too high by the offset's "
        "mean, {:.3f} = {:.1f} exact errors; the automatic error of the whole chain takes in "
        "the transient's spread as well: its median is {:.1f} times the exact error, and "
        "abs(mean) < error holds in {}% of the chains. That coverage measures the inflated "
        "error, not a correct one.".format(
            main_cell.n, float(offset_mean(AMPLITUDE, RELAXATION, 0, main_cell.n)),
            float(offset_mean(AMPLITUDE, RELAXATION, 0, main_cell.n) / o["whole_exact"][0]),
            float(np.median(o["whole_error"] / o["whole_exact"])),
            percent(*covered(o, whole=True))))
    floor_parts = []
    for so in stationary:
        blocks = np.unique(so["block_size"])
        floor_parts.append("phi = %g: block size %s, n mod B = %s, smallest start %d, "
                           "%.1f%% of the chains at that floor"
                           % (so.cell.phi, ", ".join("%d" % b for b in blocks),
                              ", ".join("%d" % (so.cell.n % b) for b in blocks),
                              so["start"].min(),
                              100 * np.mean(so["start"] == so.cell.n % so["block_size"])))
    floor_text = fill("The start cannot fall below n mod B, the samples before the first "
                      "whole block laid from the chain's end: " + "; ".join(floor_parts) + ".")
    checked_text = fill(
        "As checked (a %g-sigma interval of each figure must reach its target; `--check` runs "
        "the same checks on the first %d transient chains of n = %s, the first %d of n = %s "
        "and the first %d stationary chains per phi, without pymbar and the Ising chains, in "
        "%s; the 3-sigma binomial margin of a coverage near 68.3%% is +-%.1f%% from %d chains "
        "and +-%.1f%% from %d, of a fraction near 90%% +-%.1f%% and +-%.1f%%):"
        % (Z, TRANSIENT_RUNS[0][2], "{:,}".format(TRANSIENT_RUNS[0][0]), TRANSIENT_RUNS[1][2],
           "{:,}".format(TRANSIENT_RUNS[1][0]), STATIONARY_CHAINS[1], CHECK_SECONDS,
           100 * margin(0.683, TRANSIENT_RUNS[0][2]), TRANSIENT_RUNS[0][2],
           100 * margin(0.683, TRANSIENT_RUNS[0][1]), TRANSIENT_RUNS[0][1],
           100 * margin(0.9, TRANSIENT_RUNS[0][2]), 100 * margin(0.9, TRANSIENT_RUNS[0][1])))
    text = f"""{EQUILIBRATION_MARKER}

## Where the equilibrated part starts

Generated on {datetime.date.today().isoformat()} from revision {git_revision()} on
{machine()}, by

```sh
./build.sh test                                          # the module and generate_ising
scripts/setup.sh python3-scipy python3-pymbar            # Debian's packages
{REGENERATE}   # {seconds / 60:.0f} min; --check: the checks only (CI)
```

Result: **{passed} checks passed, {len(failures)} failed.**{failure_text}

`varbloc.equilibration(data)` gives every column the number of leading samples to
discard (`start`): the start t0 that maximises the effective samples
(n - t0) / tau(t0) of the rest of the chain (Chodera, J. Chem. Theory Comput. 12,
1799 (2016)). One block size B per column, that of the criterion level of Lee, Kent & Needs
(Phys. Rev. E 83, 066706 (2011), Eq. 14) on the chain's second half, at least 4,
is held across about
1024 evenly spaced candidate starts; tau(t0) is B times the variance of the block
means over that of the samples, with the blocks laid from the chain's end, and the
start is where the best candidate's first whole block begins. Each chain below is
then analysed from its start on, `varbloc.block(x[start:])`, and its mean held
against the truth with the automatic error of that rest. The first check of every
series confirms, chain by chain, that the search does what is written here: the
block size, the start from the largest effective samples (`ess_curve`), and tau and
the effective samples of the rest equal to the automatic estimate's on `x[start:]`.

### The chains

AR(1) chains x_t = phi x_(t-1) + e_t of unit variance (e_t normal with variance
1 - phi^2, x_0 standard normal, so every chain starts stationary), phi = {PHI}
(tau = 19), drawn from fixed seeds with NumPy's generator and `scipy.signal.lfilter`,
plus an offset {AMPLITUDE:g} exp(-t / T), T = {RELAXATION:g}. The offset falls below one
standard deviation at t1 = T ln {AMPLITUDE:g} = {t1:.0f}; the true mean of the chain
is 0 and the offset's mean over the rest is known exactly ("offset left" below, as a
multiple of the exact error). The exact error of the mean of the N samples of the rest
is that of the stationary AR(1) part, sqrt(1/N [1 + 2 sum_(k=1)^(N-1) (1 - k/N)
phi^k]) in its closed form (the formula of `scripts/validate_automatic.py`, whose
checks compare it with the term-by-term sum). "Covered" is abs(mean) < error,
nominally 68.3% for an unbiased mean with a correct error. "A few relaxation times"
in the target is read as {LATE_RELAXATIONS:g} T: the window [t1, t1 + {LATE_RELAXATIONS:g} T] =
[{t1:.0f}, {t1 + LATE_RELAXATIONS * RELAXATION:.0f}].

### A known transient: AR(1) phi = {PHI} + {AMPLITUDE:g} exp(-t / {RELAXATION:g})

{transient_table(transient)}

{whole_text}

### Stationary chains

{stationary_table(stationary)}

{floor_text}

### Beside pymbar

The transient scaled to n = {PEER_N:,}: AR(1) phi = {PHI} +
{AMPLITUDE:g} exp(-t / {PEER_RELAXATION:g})
(the same n / T = 50 as above), t1 = {peer_t1:.0f}, {PEER_CHAINS} chains.
pymbar {package_version("python3-pymbar")}, `pymbar.timeseries.detectEquilibration(x, fast=True)`
(pymbar 3's name for `detect_equilibration`; every start t, its statistical inefficiency
g of x[t:]; it returns the t with the largest (n - t + 1) / g). Both starts on the very
same chains; each rest analysed with `varbloc.block`, and pymbar's rest also with its
own error sigma sqrt(g / N) (sigma the sample standard deviation of the rest).
pymbar warned on {peer["warned"]} chains.

{peer_table(peer)}

Chain by chain, varbloc's start is later than pymbar's in {later} of {PEER_CHAINS}; the
median difference is {difference:+.0f} samples. The seconds per chain are single calls inside
this run; `bench/equilibration_speed.py` times the two properly.

### Ising chains from a random start

`build/release/examples/generate_ising T SWEEPS SEED` (L = 32, Metropolis) has no
option for an ordered start: every chain starts from random spins (an infinite
temperature start). So below T_c the chain orders from disorder, by coarsening, and may
sit in a striped state (two domains across the lattice, abs(m) near 0) for long. Per
temperature {ISING_CHAINS} chains of {ISING_SWEEPS:,} sweeps (seeds {ISING_FIRST_SEED} to
{ISING_FIRST_SEED + ISING_CHAINS - 1}), energy and abs(m) per spin searched each. The reference
is one chain of {ISING_REFERENCE[1]:,} sweeps after {ISING_REFERENCE[0]:,} discarded (seed
{ISING_REFERENCE[2]}): its mean with its automatic error and the standard deviation of a
sweep. The reference point of a temperature and column is the first sweep at which the
mean over its {ISING_CHAINS} chains lies within one such standard deviation of the reference
mean (the counterpart of t1; "never" if it does not within {ISING_SWEEPS:,} sweeps);
"away at the end" counts the chains whose last {ISING_TAIL:,} sweeps still average more
than one such standard deviation from it. "Covers" counts
the chains whose rest's mean lies within its automatic error (combined with the
reference's) of the reference mean; "nothing discarded" does the same with the whole
chain. "Without a candidate" counts chains where the held
block size leaves fewer than 32 whole blocks after every candidate start: the search
then discards nothing (start 0, reason "too few samples"). pymbar's `detectEquilibration(x, fast=True)` on the
same columns beside. Not checked: there is no exact answer here, and with 20 chains a
count covered is binomial (sd 2.1 chains at 68.3%).

{ising_table(ising)}

Below T_c {stuck} of the {ISING_CHAINS} abs(m) chains were still away from the ordered
reference in their last {ISING_TAIL:,} sweeps.

### The targets

Read plainly:

{plain_lines(transient, stationary)}

{checked_text}

{targets_table(checks)}

{fill(f"The full run took {seconds / 60:.1f} min ({seconds:.0f} s), in one process, niced, "
       "on a machine shared with other work.")}
"""
    write_section(text, EQUILIBRATION_MARKER)


# ----------------------------------------------------------------------------

def print_outcome(o):
    import numpy as np
    hits, chains = covered(o)
    hits0, _ = covered(o, whole=True)
    print("%-40s start median %7.0f (5%% %7.0f, 95%% %7.0f)  covered %5s%% (whole %5s%%)  "
          "error/exact %.3f"
          % (cell_name(o.cell), np.median(o["start"]), np.quantile(o["start"], 0.05),
             np.quantile(o["start"], 0.95), percent(hits, chains),
             percent(hits0, chains), np.median(o["error"] / o["exact"])))


def main():
    arguments = kit.parse_arguments(
        "Validate varbloc.equilibration on AR(1) chains with a known transient, stationary "
        "chains and Ising chains, beside pymbar. Takes the module from build/release/python "
        "(./build.sh test); by default rewrites the equilibration section of "
        "docs/validation.md.",
        "the checked AR(1) series only, fewer chains, without pymbar and the Ising chains; "
        "docs/validation.md is left alone")
    kit.require_binaries("validate_equilibration.py", (ISING,))
    needed = ["numpy", "scipy", "varbloc"] + ([] if arguments.check else ["pymbar"])
    if not kit.modules_found("validate_equilibration.py", needed,
                             "build the module with ./build.sh test, install the others with "
                             "scripts/setup.sh python3-scipy python3-pymbar and run this with "
                             "/usr/bin/python3"):
        return 2
    started = time.time()
    quick = arguments.check

    transient, stationary = [], []
    for n, full, check in TRANSIENT_RUNS:
        cell = Cell("transient %d" % n, "AR(1) phi = 0.9 + 20 exp(-t / 2000)", n,
                    check if quick else full, PHI, AMPLITUDE, RELAXATION)
        transient.append(run_cell(cell))
        print_outcome(transient[-1])
    for phi in STATIONARY_PHIS:
        cell = Cell("stationary %r %d" % (phi, STATIONARY_N), "AR(1) phi = %g, stationary" % phi,
                    STATIONARY_N, STATIONARY_CHAINS[1 if quick else 0], phi)
        stationary.append(run_cell(cell))
        print_outcome(stationary[-1])
    checks = checks_of(transient + stationary)
    peer = ising = None
    if not quick:
        peer = peer_comparison()
        checks.append(rule_check(cell_name(peer["cell"]), peer["problems"]))
        with tempfile.TemporaryDirectory(prefix="varbloc_equilibration_") as directory:
            ising = ising_study(directory)
        for r in ising:
            checks.append(rule_check("Ising T = %g, %s" % (r["temperature"], r["column"]),
                                     r["problems"]))
    kit.report_failures(checks)
    seconds = time.time() - started
    if not quick:
        write_document(transient, stationary, peer, ising, checks, seconds)
        print("wrote %s" % os.path.relpath(VALIDATION_DOCUMENT, REPO))
    return kit.finish("equilibration", checks, seconds)


if __name__ == "__main__":
    sys.exit(main())
