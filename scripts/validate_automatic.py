#!/usr/bin/env python3
"""Validates varbloc's automatic error estimate and its verdict, beside emcee and pymbar.

usage, from the repository root, after `./build.sh test` and
`scripts/setup.sh python3-scipy python3-emcee python3-pymbar`:
    /usr/bin/python3 scripts/validate_automatic.py          every series, the peers,
                                                            rewrite the automatic-estimate
                                                            section of docs/validation.md
    /usr/bin/python3 scripts/validate_automatic.py --check  the checked AR(1) series and
                                                            the verdict cases only, no peers,
                                                            no document (for CI, about a minute)

Thousands of AR(1) chains x_t = phi x_(t-1) + e_t, started in their stationary
distribution, are drawn from fixed seeds with NumPy and scipy.signal.lfilter
and analysed in batches by varbloc's Python module in the build tree
(build/release/python), so the chains never pass through a file. For each
chain the script reads the automatic estimate and the pairwise levels, forms
the other candidate estimates from those levels, and compares everything with
the exact standard error of the chain mean. The full run adds emcee's
integrated autocorrelation time and pymbar's statistical inefficiency on the
very same chains, a process with two time scales, and chains of the shipped
Ising generator (build/release/examples/generate_ising) against the spread of
the means of many independent chains.

Each statistical check allows for the sampling noise of the chains it has: a
target is met when a 3-sigma confidence interval of the measured figure
(Wilson's interval for a fraction, the order-statistic interval for a median)
reaches the target's range; the document shows the plain figures beside it.

The numbers come from /usr/bin/python3 with Debian's NumPy, SciPy, emcee and
pymbar. This script builds nothing and stops with a message when the module
or the generator is missing. It ends with the line
"automatic: N passed, M failed" and exits non-zero when a check fails.
"""
import collections
import datetime
import math
import os
import sys
import tempfile
import textwrap
import time
import warnings
from dataclasses import dataclass, field

import validation_kit as kit
from validation_kit import (AUTOMATIC_MARKER, EQUILIBRATION_MARKER, ISING, REPO,
                            VALIDATION_DOCUMENT, Z, Check, ar1, chain_batches,
                            closed_form_variance, exact_variance, failure_lines, fill,
                            git_revision, integrated_time, ising_chain, machine, markdown_table,
                            median_interval, package_version, peer_errors, percent, targets_table,
                            wilson, write_section)

REGENERATE = "/usr/bin/python3 scripts/validate_automatic.py"

ROOT_SEED = 20_250_611

# The targets and the noise allowance of their checks (Z sigmas each).
RATIO_RANGE = (0.97, 1.03)        # median automatic / exact error, where n >= 200 tau
RATIO_MIN_TAUS = 200
COVERAGE_TARGETS = [(1.0, 0.683, 0.03), (1.96, 0.95, 0.02)]   # multiple, nominal, +-
SHORT_UNRELIABLE = 0.90           # phi = 0.99, n = 4000: not reliable in at least this
LONG_RELIABLE = 0.95              # n >= 1000 tau: reliable in at least this
LONG_MIN_TAUS = 1000
# A cell's own coverage is checked from this many reliable chains on; below
# it the binomial noise (1.5% at 1000 chains) swamps the +-3% target, and
# such cells count in the pooled check only.
COVERAGE_MIN_CHAINS = 1000

AR_PHIS = [0.0, 0.5, 0.9, 0.99]
# (samples, chains in the full run, chains with --check). The 2^17 chains of
# --check are the first ones of the full run (same seeds, same batches).
AR_RUNS = [(1 << 17, 1000, 1000), (1_000_000, 200, 100)]
SHORT_PHI = 0.99
SHORT_N = 4000
# The verdict as a function of the run length, phi = 0.99 (full run only,
# besides n = 4000, which --check runs too).
VERDICT_NS = [1000, 2000, 4000, 8000, 16_000, 32_000, 65_536]
VERDICT_CHAINS = 1000
SHORT_CHAINS = 2000               # at n = 4000, in both modes

# Two time scales: AR(1) phi = 0.5 plus 0.1 x an independent AR(1) phi = 0.995.
TWO_FAST, TWO_SLOW, TWO_WEIGHT = 0.5, 0.995, 0.1
TWO_RUNS = [(1 << 17, 400), (1_000_000, 100)]

# Ising chains, L = 32: (temperature, kept sweeps, discarded sweeps, chains,
# first seed). The critical chains of every length are measured against the
# mean of the long critical chains.
T_CRITICAL, T_HIGH = 2.269, 3.0
ISING_GROUPS = [(T_CRITICAL, 200_000, 20_000, 100, 1),
                (T_CRITICAL, 10_000, 20_000, 200, 1001),
                (T_CRITICAL, 2_000, 20_000, 200, 2001),
                (T_HIGH, 50_000, 1_000, 100, 3001)]
ISING_COLUMNS = ["energy", "abs(magnetisation)"]

ESTIMATORS = [
    ("criterion", "(a) level k*"),
    ("automatic", "(b) automatic"),
    ("extrap_kstar", "(c) extrap. at k*"),
    ("corrected", "(d) lag-1 corrected"),
    ("fixed", "(e) fixed rule"),
    ("emcee", "emcee"),
    ("pymbar", "pymbar"),
]
PEERS = ("emcee", "pymbar")


# ----------------------------------------------------------------------------
# The series.

@dataclass
class Cell:
    key: str               # names the seeds
    process: str
    label: str             # e.g. "phi = 0.9"
    n: int
    chains: int
    tau: float             # true integrated time, nan where unknown
    exact: float = math.nan    # exact standard error of the mean, or the reference
    phi: float = math.nan
    checked: bool = False  # the AR(1) cells of the targets


@dataclass(eq=False)
class Outcome:
    cell: Cell
    mean: object = None                  # per chain
    truth: object = None                 # the true mean, per chain
    errors: dict = field(default_factory=dict)   # estimator -> per-chain errors
    reliable: object = None
    reasons: list = field(default_factory=list)
    error_error: object = None
    auto_tau: object = None
    block_size: object = None
    emcee_warned: object = None          # None when the peers did not run
    rule_problems: list = field(default_factory=list)
    reference_note: str = ""


def ar_cell(phi, n, chains, checked):
    tau = integrated_time(phi)
    return Cell("ar1 %r %d" % (phi, n), "AR(1)", "phi = %g" % phi, n, chains, tau,
                math.sqrt(exact_variance(phi, n)), phi=phi, checked=checked)


def two_scale_cell(n, chains):
    var = exact_variance(TWO_FAST, n) + TWO_WEIGHT ** 2 * exact_variance(TWO_SLOW, n)
    sigma2 = 1.0 / (1.0 - TWO_FAST ** 2) + TWO_WEIGHT ** 2 / (1.0 - TWO_SLOW ** 2)
    long_run = (integrated_time(TWO_FAST) / (1.0 - TWO_FAST ** 2)
                + TWO_WEIGHT ** 2 * integrated_time(TWO_SLOW) / (1.0 - TWO_SLOW ** 2))
    return Cell("two %d" % n, "two time scales", "0.5 + 0.1 x 0.995", n, chains,
                long_run / sigma2, math.sqrt(var))


def generate_batches(cell):
    """Yields the chains of an AR(1) or two-scale cell as n x chains arrays
    in Fortran order (each chain contiguous, as varbloc.block takes it)."""
    def draw(rng, m):
        if cell.process == "AR(1)":
            return ar1(rng, cell.phi, m, cell.n)
        x = ar1(rng, TWO_FAST, m, cell.n)
        x += TWO_WEIGHT * ar1(rng, TWO_SLOW, m, cell.n)
        return x

    return chain_batches(ROOT_SEED, cell.key, cell.n, cell.chains, draw)


# ----------------------------------------------------------------------------
# The estimates of one batch.

def candidates(result):
    """The candidate errors of every column, formed from the pairwise levels,
    and the rule's own figures to compare with the module's."""
    import numpy as np
    p = result.pairwise
    e = np.asarray(p.errors, dtype=np.float64)
    rho = np.asarray(p.correlations, dtype=np.float64)
    counts = np.asarray(p.counts)
    n = result.samples
    levels, columns = e.shape
    k = np.arange(levels)
    cols = np.arange(columns)
    nan = np.full(columns, np.nan)
    with np.errstate(all="ignore"):
        # Lee, Kent & Needs, Eq. 14: the first level with B^3 > 2 n (e_B / e_0)^4.
        met = (2.0 ** (3 * k))[:, None] > 2.0 * n * (e / e[0]) ** 4
        has = met.any(axis=0) & (levels >= 2)
        kstar = np.where(has, met.argmax(axis=0), 0)
        kstar = np.maximum(kstar, 1)  # level 0 never meets it for n >= 1
        criterion = np.where(has, e[kstar, cols], nan)

        def extrapolate(level):
            square = 2.0 * e[level, cols] ** 2 - e[level - 1, cols] ** 2
            return np.where(has & (square > 0), np.sqrt(square), nan), square

        at_kstar, _ = extrapolate(kstar)
        r = rho[kstar - 1, cols]
        corrected = np.where(has & (np.abs(r) < 1),
                             e[kstar - 1, cols] * np.sqrt((1 + r) / (1 - r)), nan)
        u = np.maximum(kstar - 1, 1)
        chosen, square = extrapolate(u)
    rule = dict(has=has, u=u, chosen=chosen, square=square, count_u=counts[u], e0=e[0])
    return dict(criterion=criterion, extrap_kstar=at_kstar, corrected=corrected), rule


def rule_problems(result, rule):
    """Where the module's automatic estimate departs from its documented rule:
    estimate sqrt(2 e_u^2 - e_(u-1)^2) at u = max(k* - 1, 1), block size 2^u,
    reliable iff n >= 64, criterion met, extrapolation positive and at least
    32 values at level u; error_error = error sqrt(1.25 / (count_u - 1)),
    tau = (error / e_0)^2, ess = n / tau. Compared on the columns where the
    criterion is met."""
    import numpy as np
    a = result.automatic
    n = result.samples
    problems = []
    expected_reliable = (n >= 64) & rule["has"] & (rule["square"] > 0) & (rule["count_u"] >= 32)
    wrong = np.flatnonzero(np.asarray(a.reliable) != expected_reliable)
    if wrong.size:
        problems.append("reliable differs from the rule in %d columns (first %d)"
                        % (wrong.size, wrong[0]))
    ok = np.asarray(a.reliable) & expected_reliable
    if ok.any():
        error = np.asarray(a.error)[ok]

        def off(measured, expected):
            return float(np.max(np.abs(np.asarray(measured)[ok] / expected - 1.0)))

        figures = [("error", off(a.error, rule["chosen"][ok])),
                   ("error_error", off(a.error_error,
                                       error * np.sqrt(1.25 / (rule["count_u"][ok] - 1)))),
                   ("tau", off(a.tau, (error / rule["e0"][ok]) ** 2)),
                   ("ess", off(a.ess, n / np.asarray(a.tau)[ok]))]
        for name, worst in figures:
            if not worst <= 1e-12:
                problems.append("%s off the rule by %.3g (relative)" % (name, worst))
        if np.any(np.asarray(a.block_size)[ok] != 2 ** rule["u"][ok]):
            problems.append("block_size is not 2^u")
    return problems


def column_peer_errors(data):
    """emcee's and pymbar's errors of every column, and whether emcee warned
    that the chain is shorter than 50 of its tau (emcee_tau takes the
    estimate integrated_time(x, quiet=True) would return)."""
    import numpy as np
    columns = data.shape[1]
    errors = {"emcee": np.empty(columns), "pymbar": np.empty(columns)}
    warned = np.zeros(columns, dtype=bool)
    for c in range(columns):
        peers = peer_errors(np.ascontiguousarray(data[:, c]))
        errors["emcee"][c] = peers.emcee_error
        errors["pymbar"][c] = peers.pymbar_error
        warned[c] = bool(peers.emcee_warning)
    return errors, warned


class Collector:
    """Gathers the per-chain figures of a cell over its batches."""

    def __init__(self, cell, peers):
        self.cell, self.peers = cell, peers
        self.parts = collections.defaultdict(list)
        self.reasons, self.problems = [], []

    def add(self, data):
        import numpy as np
        import varbloc
        result = varbloc.block(data)
        a = result.automatic
        extra, rule = candidates(result)
        self.problems += rule_problems(result, rule)
        self.parts["mean"].append(np.asarray(result.mean))
        self.parts["automatic"].append(np.asarray(a.error))
        self.parts["fixed"].append(np.asarray(result.error))
        for name, values in extra.items():
            self.parts[name].append(values)
        self.parts["reliable"].append(np.asarray(a.reliable))
        self.parts["error_error"].append(np.asarray(a.error_error))
        self.parts["auto_tau"].append(np.asarray(a.tau))
        self.parts["block_size"].append(np.asarray(a.block_size))
        self.reasons += list(a.reason)
        if self.peers:
            errors, warned = column_peer_errors(data)
            for name, values in errors.items():
                self.parts[name].append(values)
            self.parts["emcee_warned"].append(warned)

    def outcome(self, truth=0.0):
        import numpy as np
        joined = {name: np.concatenate(values) for name, values in self.parts.items()}
        o = Outcome(self.cell, mean=joined["mean"], reliable=joined["reliable"],
                    reasons=self.reasons, error_error=joined["error_error"],
                    auto_tau=joined["auto_tau"], block_size=joined["block_size"],
                    emcee_warned=joined.get("emcee_warned"),
                    rule_problems=sorted(set(self.problems)))
        o.truth = np.broadcast_to(np.asarray(truth, dtype=np.float64), o.mean.shape)
        o.errors = {name: joined[name] for name, _ in ESTIMATORS if name in joined}
        return o


def run_generated(cell, peers):
    started = time.time()
    collector = Collector(cell, peers)
    for data in generate_batches(cell):
        collector.add(data)
    o = collector.outcome()
    print("  %s, %s, n = %d, %d chains: %.1f s"
          % (cell.process, cell.label, cell.n, cell.chains, time.time() - started),
          file=sys.stderr)
    return o


def ising_outcomes(directory, peers):
    """The Ising groups, one outcome per group and column. The true mean of a
    critical chain is taken as the mean of the long critical chains (leaving
    the chain itself out where it is one of them); the reference error of a
    group is the standard deviation of its chains' means."""
    import numpy as np
    groups = []
    for temperature, sweeps, discard, chains, seed in ISING_GROUPS:
        started = time.time()
        data = np.empty((sweeps, chains * 2), order="F")
        for i in range(chains):
            chain = ising_chain(directory, temperature, sweeps, seed + i, discard)
            data[:, i] = chain[:, 0]
            data[:, chains + i] = chain[:, 1]
        per_column = []
        for c, name in enumerate(ISING_COLUMNS):
            cell = Cell("ising %g %d %s" % (temperature, sweeps, name),
                        "Ising T = %g" % temperature, name, sweeps, chains, math.nan)
            collector = Collector(cell, peers)
            collector.add(data[:, c * chains:(c + 1) * chains])
            per_column.append(collector.outcome())
        groups.append((temperature, sweeps, seed, per_column))
        print("  Ising T = %g, %d sweeps, %d chains: %.1f s"
              % (temperature, sweeps, chains, time.time() - started), file=sys.stderr)
    # Reference errors and true means.
    long_critical = groups[0][3]
    outcomes = []
    for temperature, sweeps, seed, per_column in groups:
        for c, o in enumerate(per_column):
            means = o.mean
            m = len(means)
            o.cell.exact = float(np.std(means, ddof=1))
            if temperature == T_CRITICAL and o is not long_critical[c]:
                source = long_critical[c].mean
                o.truth = np.full(m, float(np.mean(source)))
                o.reference_note = "mean of the %d long critical chains" % len(source)
            else:
                o.truth = (means.sum() - means) / (m - 1)   # leave the chain out
                o.reference_note = "mean of the other %d chains" % (m - 1)
            outcomes.append(o)
    return outcomes


# ----------------------------------------------------------------------------
# Figures of an outcome.

def used(o, name):
    """Chains an estimator is judged on: the automatic estimate where it says
    reliable, any other where it gave a finite error."""
    import numpy as np
    err = o.errors[name]
    ok = np.isfinite(err)
    return ok & o.reliable if name == "automatic" else ok


def median_ratio(o, name, mask=None):
    import numpy as np
    err = o.errors[name]
    ok = np.isfinite(err) if mask is None else (np.isfinite(err) & mask)
    return float(np.median(err[ok] / o.cell.exact)) if ok.any() else math.nan


def coverage(o, name, multiple, mask=None):
    """(covered, chains) of truth by mean +- multiple x error."""
    import numpy as np
    ok = used(o, name) if mask is None else (used(o, name) & mask)
    hit = np.abs(o.mean - o.truth)[ok] <= multiple * o.errors[name][ok]
    return int(hit.sum()), int(ok.sum())


def reason_counts(o):
    counts = collections.Counter(o.reasons)
    return ", ".join("%s %d" % (reason, number) for reason, number in counts.most_common()
                     if reason != "ok") or "-"


# ----------------------------------------------------------------------------
# Checks.

def edge_checks():
    """Columns the estimate must not call reliable, each with its reason."""
    import numpy as np
    import varbloc
    checks = []
    rng = np.random.default_rng([ROOT_SEED, 0])
    data = np.asfortranarray(rng.standard_normal((4096, 7)))
    data[100, 1] = np.nan
    data[200, 2] = np.inf
    data[300, 3] = -np.inf
    data[:, 4] = 3.25
    data[:, 5] *= 1e300
    data[:, 6] = rng.standard_normal(4096) + 2.0 ** 40   # large offset, still fine
    cases = [("independent normal samples", 0, True, "ok"),
             ("a NaN", 1, False, "non-finite samples"),
             ("+inf", 2, False, "non-finite samples"),
             ("-inf", 3, False, "non-finite samples"),
             ("a constant column", 4, False, "constant column"),
             ("values near 1e300", 5, False, "values too large"),
             ("normal samples around 2^40", 6, True, "ok")]
    rows = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = varbloc.block(data)
        short = [("1 sample", varbloc.block(np.array([1.5]))),
                 ("2 samples", varbloc.block(np.array([1.0, 2.0]))),
                 ("2 samples, 2 columns", varbloc.block(np.array([[1.0, 5.0], [2.0, 4.0]])))]
    a = result.automatic
    for name, c, reliable, reason in cases:
        got_reason, got_reliable, error = a.reason[c], bool(a.reliable[c]), float(a.error[c])
        passed = got_reliable == reliable and got_reason == reason
        if reason in ("non-finite samples", "constant column"):
            passed = passed and math.isnan(error)
        rows.append((name, got_reliable, got_reason, reason, error))
        checks.append(Check("verdict: column with %s" % name, passed,
                            "reliable %s, reason %r, error %r; expected reliable %s, reason %r%s"
                            % (got_reliable, got_reason, error, reliable, reason,
                               ", error nan" if reason in ("non-finite samples",
                                                           "constant column") else "")))
    for name, r in short:
        aa = r.automatic
        got = list(zip(map(bool, aa.reliable), aa.reason))
        passed = all(rel is False and why == "too few samples" for rel, why in got)
        rows.append((name, any(rel for rel, _ in got), ", ".join(why for _, why in got),
                     "too few samples", float(aa.error[0])))
        checks.append(Check("verdict: chain of %s" % name, passed,
                            "(reliable, reason) per column %s; expected not reliable, "
                            "'too few samples'" % got))
    return checks, rows


def exact_check():
    worst = max(abs(exact_variance(phi, n) / closed_form_variance(phi, n) - 1.0)
                for phi in AR_PHIS + [TWO_SLOW] if phi for n, _, _ in AR_RUNS)
    return Check("exact error: term-by-term sum equals the closed form", worst < 1e-9,
                 "largest relative difference %.2g" % worst)


def cell_name(o):
    return "%s %s, n = %d" % (o.cell.process, o.cell.label, o.cell.n)


def ratio_check(o):
    import numpy as np
    err = o.errors["automatic"]
    ratios = err[np.isfinite(err)] / o.cell.exact
    if len(ratios) < 10:
        return Check("%s: median automatic / exact" % cell_name(o), False,
                     "only %d finite errors" % len(ratios))
    low, high = median_interval(ratios)
    median = float(np.median(ratios))
    return Check("%s: median automatic / exact" % cell_name(o),
                 low <= RATIO_RANGE[1] and high >= RATIO_RANGE[0],
                 "median %.4f of %d chains, %g-sigma interval %.4f to %.4f, target %.2f to %.2f"
                 % (median, len(ratios), Z, low, high, *RATIO_RANGE))


def coverage_check(name, hits, chains, multiple, nominal, band):
    low, high = wilson(hits, chains)
    fraction = hits / chains if chains else math.nan
    return Check("%s: coverage of mean +- %g error" % (name, multiple),
                 chains > 0 and low <= nominal + band and high >= nominal - band,
                 "%.1f%% of %d reliable chains, %g-sigma interval %.1f%% to %.1f%%, target "
                 "%.1f%% +- %g" % (100 * fraction, chains, Z, 100 * low, 100 * high,
                                   100 * nominal, 100 * band))


def statistical_checks(main, short):
    """The targets on the AR(1) cells; the coverage is pooled over the main
    cells (n = 2^17 and 10^6) where n >= RATIO_MIN_TAUS tau."""
    checks = []
    pooled = collections.defaultdict(lambda: [0, 0])
    for o in main + short:
        c = o.cell
        if not c.checked:
            continue
        if o.rule_problems:
            checks.append(Check("%s: estimate follows its rule" % cell_name(o), False,
                                "; ".join(o.rule_problems)))
        if c.n >= RATIO_MIN_TAUS * c.tau:
            checks.append(ratio_check(o))
            for multiple, nominal, band in COVERAGE_TARGETS:
                hits, chains = coverage(o, "automatic", multiple)
                if chains >= COVERAGE_MIN_CHAINS:
                    checks.append(coverage_check(cell_name(o), hits, chains, multiple,
                                                 nominal, band))
                if o in main:
                    pooled[multiple][0] += hits
                    pooled[multiple][1] += chains
        if c.n >= LONG_MIN_TAUS * c.tau:
            reliable = int(o.reliable.sum())
            low, high = wilson(reliable, len(o.reliable))
            checks.append(Check("%s (n = %.0f tau): reliable" % (cell_name(o), c.n / c.tau),
                                high >= LONG_RELIABLE,
                                "%d of %d (%.1f%%), %g-sigma upper bound %.1f%%, target "
                                ">= %.0f%%" % (reliable, len(o.reliable),
                                               100 * reliable / len(o.reliable), Z,
                                               100 * high, 100 * LONG_RELIABLE)))
        if c.phi == SHORT_PHI and c.n == SHORT_N:
            unreliable = int((~o.reliable).sum())
            low, high = wilson(unreliable, len(o.reliable))
            checks.append(Check("%s (n = %.1f tau): not reliable" % (cell_name(o), c.n / c.tau),
                                high >= SHORT_UNRELIABLE,
                                "%d of %d (%.1f%%), %g-sigma upper bound %.1f%%, target "
                                ">= %.0f%%; reasons: %s"
                                % (unreliable, len(o.reliable),
                                   100 * unreliable / len(o.reliable), Z, 100 * high,
                                   100 * SHORT_UNRELIABLE, reason_counts(o))))
    for multiple, nominal, band in COVERAGE_TARGETS:
        hits, chains = pooled[multiple]
        checks.append(coverage_check("AR(1) cells with n >= %d tau, pooled" % RATIO_MIN_TAUS,
                                     hits, chains, multiple, nominal, band))
    return checks, pooled


# ----------------------------------------------------------------------------
# Printing and the document.

def fmt(value, digits=3):
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) \
        else "%.*f" % (digits, value)


def row_head(o):
    c = o.cell
    taus = "{:,.0f}".format(c.n / c.tau) if not math.isnan(c.tau) else "?"
    return [c.process, c.label, "{:,}".format(c.n), taus, "%d" % c.chains]


HEAD = ["process", "series", "n", "n / tau", "chains"]


def available(outcomes):
    return [(name, label) for name, label in ESTIMATORS
            if all(name in o.errors for o in outcomes)]


def ratio_table(outcomes):
    estimators = available(outcomes)
    rows = [row_head(o) + [fmt(median_ratio(o, name)) for name, _ in estimators]
            for o in outcomes]
    return markdown_table(HEAD + [label for _, label in estimators], rows)


def coverage_table(outcomes, multiple, pooled=None):
    estimators = available(outcomes)
    rows = []
    for o in outcomes:
        row = row_head(o)
        for name, _ in estimators:
            hits, chains = coverage(o, name, multiple)
            text = percent(hits, chains)
            if name == "automatic" and chains != len(o.mean):
                text += " (%d)" % chains
            row.append(text)
        rows.append(row)
    if pooled is not None:
        pool = [o for o in pooled if o.cell.n >= RATIO_MIN_TAUS * o.cell.tau]
        row = ["AR(1)", "pooled, n >= %d tau" % RATIO_MIN_TAUS, "", "",
               "%d" % sum(len(o.mean) for o in pool)]
        for name, _ in estimators:
            hits = chains = 0
            for o in pool:
                h, c = coverage(o, name, multiple)
                hits, chains = hits + h, chains + c
            row.append(percent(hits, chains, 2))
        rows.append(row)
    return markdown_table(HEAD + [label for _, label in estimators], rows)


def verdict_table(outcomes):
    import numpy as np
    header = HEAD + ["reliable %", "reasons when not", "median block size", "tau: true",
                     "tau: median estimate", "sd of error / exact (reliable)",
                     "claimed: median error_error / error",
                     "abs(error - exact) <= error_error", "emcee warned %"]
    rows = []
    for o in outcomes:
        rel = o.reliable
        exact = o.cell.exact
        if rel.any():
            r = o.errors["automatic"][rel] / exact
            spread = fmt(float(np.std(r, ddof=1)) if rel.sum() > 1 else math.nan)
            claimed = fmt(float(np.median(o.error_error[rel] / o.errors["automatic"][rel])))
            inside = percent(int((np.abs(o.errors["automatic"][rel] - exact)
                                  <= o.error_error[rel]).sum()), int(rel.sum()))
            block = "%d" % int(np.median(o.block_size[rel]))
            tau = fmt(float(np.median(o.auto_tau[rel])), 2)
        else:
            spread = claimed = inside = block = tau = "-"
        warned = percent(int(o.emcee_warned.sum()), len(o.emcee_warned)) \
            if o.emcee_warned is not None else "-"
        rows.append(row_head(o) + [percent(int(rel.sum()), len(rel)), reason_counts(o), block,
                                   fmt(o.cell.tau, 2) if not math.isnan(o.cell.tau) else "?",
                                   tau, spread, claimed, inside, warned])
    return markdown_table(header, rows)


def short_table(outcomes):
    """The verdict against the run length: accuracy where reliable and where not."""
    rows = []
    for o in outcomes:
        rel = o.reliable
        h1, c1 = coverage(o, "automatic", 1.0)
        h2, c2 = coverage(o, "automatic", 1.96)
        rows.append(["{:,}".format(o.cell.n), "%.1f" % (o.cell.n / o.cell.tau),
                     "%d" % len(rel), percent(int(rel.sum()), len(rel)), reason_counts(o),
                     fmt(median_ratio(o, "automatic", rel)),
                     fmt(median_ratio(o, "automatic", ~rel)),
                     percent(h1, c1), percent(h2, c2),
                     fmt(median_ratio(o, "fixed")),
                     percent(int(o.emcee_warned.sum()), len(rel))
                     if o.emcee_warned is not None else "-",
                     fmt(median_ratio(o, "emcee")) if "emcee" in o.errors else "-",
                     fmt(median_ratio(o, "pymbar")) if "pymbar" in o.errors else "-"])
    return markdown_table(["n", "n / tau", "chains", "reliable %", "reasons when not",
                           "automatic / exact, reliable", "automatic / exact, not reliable",
                           "coverage +-1 error, reliable", "+-1.96 error, reliable",
                           "fixed rule / exact", "emcee warned %", "emcee / exact",
                           "pymbar / exact"], rows)


def print_outcome(o):
    parts = []
    for name, label in ESTIMATORS:
        if name in o.errors:
            parts.append("%s %s" % (name, fmt(median_ratio(o, name))))
    h1, c1 = coverage(o, "automatic", 1.0)
    h2, c2 = coverage(o, "automatic", 1.96)
    print("%-38s reliable %5s%%  cover %5s%% %5s%%  median/exact: %s"
          % (cell_name(o), percent(int(o.reliable.sum()), len(o.reliable)), percent(h1, c1),
             percent(h2, c2), ", ".join(parts)))


def plain_target_lines(ar_main, short, pooled):
    """The targets read plainly, without the noise allowance."""
    lines = []
    ratio_cells = [o for o in ar_main if o.cell.n >= RATIO_MIN_TAUS * o.cell.tau]
    medians = [(o, median_ratio(o, "automatic")) for o in ratio_cells]
    inside = [o for o, m in medians if RATIO_RANGE[0] <= m <= RATIO_RANGE[1]]
    lines.append("- Median automatic / exact error in %.2f to %.2f wherever n >= %d tau: "
                 "%d of %d cells inside (range %.4f to %.4f)."
                 % (RATIO_RANGE[0], RATIO_RANGE[1], RATIO_MIN_TAUS, len(inside), len(medians),
                    min(m for _, m in medians), max(m for _, m in medians)))
    for multiple, nominal, band in COVERAGE_TARGETS:
        per_cell = []
        for o in ratio_cells:
            h, c = coverage(o, "automatic", multiple)
            per_cell.append(h / c if c else math.nan)
        hits, chains = pooled[multiple]
        good = sum(1 for p in per_cell if abs(p - nominal) <= band)
        lines.append("- Coverage of mean +- %g error among reliable chains, target %.1f%% +- "
                     "%g: pooled %.2f%% (%d chains, binomial sd %.2f%%); %d of %d cells inside "
                     "(range %.1f%% to %.1f%%)."
                     % (multiple, 100 * nominal, 100 * band, 100 * hits / chains, chains,
                        100 * math.sqrt(nominal * (1 - nominal) / chains), good,
                        len(per_cell), 100 * min(per_cell), 100 * max(per_cell)))
    for o in short:
        if o.cell.n == SHORT_N:
            lines.append("- phi = %g, n = %d (%.1f tau): not reliable in %.1f%% of %d chains "
                         "(target >= %.0f%%)."
                         % (SHORT_PHI, SHORT_N, SHORT_N / o.cell.tau,
                            100 * (1 - o.reliable.mean()), len(o.reliable),
                            100 * SHORT_UNRELIABLE))
    long_cells = [o for o in ar_main if o.cell.n >= LONG_MIN_TAUS * o.cell.tau]
    lines.append("- n >= %d tau: reliable in %s (target >= %.0f%% each)."
                 % (LONG_MIN_TAUS, "; ".join("%.1f%% (%s)" % (100 * o.reliable.mean(),
                                                               cell_name(o))
                                             for o in long_cells), 100 * LONG_RELIABLE))
    return "\n".join(lines)


def shortfalls(outcomes):
    """Every shown series where the automatic estimate misses among the chains
    it calls reliable: its median ratio outside the target range, or its
    coverage below the target by more than the binomial noise allows. Against
    an Ising reference (the spread of M chain means, itself uncertain by about
    1 / sqrt(2 (M - 1))) a miss is also weighed against that uncertainty."""
    lines = []
    for o in outcomes:
        c = o.cell
        med_rel = median_ratio(o, "automatic", o.reliable)
        h1, c1 = coverage(o, "automatic", 1.0)
        h2, c2 = coverage(o, "automatic", 1.96)
        problems = []
        ising = c.process.startswith("Ising")
        if c1 and not RATIO_RANGE[0] <= med_rel <= RATIO_RANGE[1]:
            text = "the median error of its reliable chains is %.3f of the %s" % (
                med_rel, "reference" if ising else "exact error")
            if ising:
                noise = 1.0 / math.sqrt(2 * (len(o.mean) - 1))
                text += (" (the reference itself uncertain by %.0f%%, so this is %.1f of its "
                         "standard deviations%s)"
                         % (100 * noise, abs(med_rel - 1) / noise,
                            ", beyond its noise" if abs(med_rel - 1) > 3 * noise
                            else ", within its noise"))
            problems.append(text)
        for (multiple, nominal, band), (h, n) in zip(COVERAGE_TARGETS, [(h1, c1), (h2, c2)]):
            if n and wilson(h, n)[1] < nominal - band:
                problems.append("mean +- %g error covers the true mean in only %.1f%% of the "
                                "%d reliable chains (target %.1f%%)"
                                % (multiple, 100.0 * h / n, n, 100 * nominal))
        if not problems:
            continue
        peers = ", ".join("%s %s" % (name, fmt(median_ratio(o, name)))
                          for name in ("fixed", "emcee", "pymbar") if name in o.errors)
        lines.append("- **%s**: %s. The verdict calls %.0f%% of these chains reliable; "
                     "median ratios of the others on the same chains: %s."
                     % (cell_name(o), "; ".join(problems), 100.0 * o.reliable.mean(), peers))
    return "\n".join(lines) if lines else \
        "- None of the shown series: wherever chains were marked reliable, the median " \
        "automatic error lies within %.2f to %.2f of the exact (or reference) error and " \
        "the coverage is within its target up to noise." % RATIO_RANGE


def candidate_summary(ar_main):
    """The range of every estimator's median ratio over the AR(1) cells with
    n >= RATIO_MIN_TAUS tau."""
    cells = [o for o in ar_main if o.cell.n >= RATIO_MIN_TAUS * o.cell.tau]
    parts = []
    for name, label in available(cells):
        medians = [median_ratio(o, name) for o in cells]
        inside = sum(RATIO_RANGE[0] <= m <= RATIO_RANGE[1] for m in medians)
        parts.append("%s %.3f to %.3f (%d of %d cells in %.2f to %.2f)"
                     % (label, min(medians), max(medians), inside, len(medians), *RATIO_RANGE))
    return textwrap.fill("Side by side, the median error / exact error over the AR(1) cells "
                         "with n >= %d tau: %s." % (RATIO_MIN_TAUS, "; ".join(parts)), width=84)


def edge_table(rows):
    return markdown_table(["column", "reliable", "reason", "expected reason", "error"],
                          [[name, "yes" if rel else "no", reason, expected,
                            "nan" if math.isnan(error) else "%.4g" % error]
                           for name, rel, reason, expected, error in rows])


def write_document(everything, checks, edge_rows, pooled, seconds):
    ar_main = everything["ar_main"]
    short = everything["short"]
    two = everything["two"]
    ising = everything["ising"]
    passed = sum(check.passed for check in checks)
    failures = [check for check in checks if not check.passed]
    shown = ar_main + two + ising
    failure_text = failure_lines(checks)
    n = two[0].cell.n
    slow_part = TWO_WEIGHT ** 2 / (1 - TWO_SLOW ** 2)
    slow_variance = 100 * slow_part / (1 / (1 - TWO_FAST ** 2) + slow_part)
    slow_error = 100 * TWO_WEIGHT ** 2 * exact_variance(TWO_SLOW, n) / two[0].cell.exact ** 2

    two_text = "; ".join("n = {:,}: median automatic / exact {} (reliable {:.0f}%), emcee {}, "
                         "pymbar {}".format(o.cell.n, fmt(median_ratio(o, "automatic")),
                                            100 * o.reliable.mean(),
                                            fmt(median_ratio(o, "emcee")),
                                            fmt(median_ratio(o, "pymbar"))) for o in two)
    text = f"""{AUTOMATIC_MARKER}

## The automatic error estimate

Generated on {datetime.date.today().isoformat()} from revision {git_revision()} on
{machine()}, by

```sh
./build.sh test                                                  # the module and generate_ising
scripts/setup.sh python3-scipy python3-emcee python3-pymbar      # Debian's packages
{REGENERATE}         # {seconds / 60:.0f} min; --check: the checks only (CI)
```

Result: **{passed} checks passed, {len(failures)} failed.**{failure_text}

Beside the fixed rule, `varbloc.block` gives every column an automatic error
estimate with its uncertainty, the block size it rests on, tau (in emcee's and
pymbar's convention, error^2 = tau sigma^2 / n), the effective number of samples
n / tau and a verdict (`Result.automatic`), computed from the pairwise levels
(`Result.pairwise`: block sizes 1, 2, 4, ..., each level the averages of
consecutive pairs of the one before).

### The method

- e_k is the standard error of the mean at pairwise level k (block size 2^k),
  e_0 the naive one of the samples.
- The criterion level k* is the smallest k with 2^(3k) > 2 n (e_k / e_0)^4:
  the level whose blocks B satisfy B^3 > 2 n (tau)^2, the optimal block size of
  Lee, Kent & Needs, Phys. Rev. E 83, 066706 (2011), Eq. 14, after Wolff,
  Comput. Phys. Commun. 156, 143 (2004).
- The estimate is sqrt(2 e_u^2 - e_(u-1)^2) with u = max(k* - 1, 1): the
  blocking bias falls as 1 / B, so two adjacent levels extrapolate it away,
  taken one level below the criterion level, where there are twice as many
  blocks. Block size 2^u; uncertainty error sqrt(1.25 / (count_u - 1)); tau =
  (error / e_0)^2; effective samples n / tau.
- Reliable when n >= 64, the criterion is met, the extrapolation is positive and
  level u has at least 32 values; otherwise the reason says why (too few samples,
  no plateau, chain too short for its tau, non-finite samples, constant column,
  values too large).

The candidates compared, all from the same pairwise levels of the same chains:
(a) e_(k*), the criterion level's own error; (b) the automatic estimate above;
(c) the extrapolation at (k* - 1, k*); (d) e_(k*-1) sqrt((1 + rho) / (1 - rho)),
with rho that level's lag-1 correlation; (e) the fixed rule's error
(`Result.error`, the first ladder level with lag-1 correlation below 0.1).
Beside them, on the very same chains: **emcee** {package_version("python3-emcee")},
`emcee.autocorr.integrated_time(x)` (Sokal's automatic window), error
sigma sqrt(tau / n), with its warning that the chain is shorter than 50 tau
counted; **pymbar** {package_version("python3-pymbar")},
`pymbar.timeseries.statisticalInefficiency(x)` with its defaults, error sigma
sqrt(g / n); sigma the sample standard deviation.

### The series

AR(1) chains x_t = phi x_(t-1) + e_t with unit normal e_t, started in the
stationary distribution (x_0 ~ N(0, 1 / (1 - phi^2))), drawn with NumPy's
generator from fixed seeds and `scipy.signal.lfilter`. Their true mean is 0,
tau = (1 + phi) / (1 - phi) and the exact standard error of the mean of n samples
is sqrt(sigma^2 / n [1 + 2 sum_(k=1)^(n-1) (1 - k/n) phi^k]), sigma^2 =
1 / (1 - phi^2), summed term by term. The two-time-scale process is AR(1)
phi = {TWO_FAST} plus {TWO_WEIGHT} x an independent AR(1) phi = {TWO_SLOW}: the slow part
holds {slow_variance:.0f}% of the variance but {slow_error:.0f}% of the variance of the mean
(which is exactly the sum of the two parts'); tau of the sum is
{two[0].cell.tau:.1f}, while the slow part alone has tau {integrated_time(TWO_SLOW):.0f}, and the slow
part decays as {TWO_SLOW}^t, so its correlations last over thousands of samples.
The Ising chains come from `build/release/examples/generate_ising T SWEEPS SEED`
(L = 32, Metropolis, one line per sweep; energy and |m| per spin), each group
of independent seeds after discarding its first sweeps; as the reference error of
a group serves the standard deviation of its chains' means (uncertain by about
1 / sqrt(2 (chains - 1)): {100 / math.sqrt(2 * 99):.0f}% for 100 chains,
{100 / math.sqrt(2 * 199):.0f}% for 200), and as the true mean the mean of the
other chains (T = {T_HIGH:g}, long critical chains) or of the long critical chains
(shorter critical chains). tau is not known there; the "n / tau" column shows "?".

### Median error / exact error

Over all chains with a finite error (for the automatic estimate: reliable or
not; the verdict table below gives the fraction reliable). Target for (b): {RATIO_RANGE[0]:.2f} to
{RATIO_RANGE[1]:.2f} wherever n >= {RATIO_MIN_TAUS} tau.

{ratio_table(shown)}

### Coverage of the true mean by mean +- error (%)

Nominal 68.3%. The automatic estimate is judged among the chains it calls
reliable (their number in brackets where not all); the others on every chain.
Target for (b): 68.3% +- 3. The binomial standard deviation of a coverage from
1000 chains is 1.5%, from 200 chains 3.3%.

{coverage_table(shown, 1.0, ar_main)}

### Coverage by mean +- 1.96 error (%)

Nominal 95%; target for (b): 95% +- 2 (binomial sd 0.7% from 1000 chains,
1.5% from 200).

{coverage_table(shown, 1.96, ar_main)}

### The verdict and the claimed uncertainty

"sd of error / exact" is the spread of the automatic error over the reliable
chains, to compare with the uncertainty the estimate claims for itself
(error_error / error); where the claim is honest, about 68% of the reliable chains
have abs(error - exact) <= error_error.

{verdict_table(shown)}

### The verdict against the run length (phi = {SHORT_PHI}, tau = {integrated_time(SHORT_PHI):.0f})

{short_table(short)}

### Columns that must not be called reliable

{edge_table(edge_rows)}

### The targets

Read plainly:

{plain_target_lines(ar_main, short, pooled)}

As checked (a {Z:g}-sigma interval of each measured figure must reach its target
range, so that a correct estimate fails by chance very rarely while a real miss
of a few noise widths still fails; `--check` runs the same checks on the 2^17
chains above, the first {AR_RUNS[1][2]} chains of 10^6 per phi and the same {SHORT_CHAINS} chains of
n = {SHORT_N}, in about half a minute; there a cell's own coverage is checked only from
{COVERAGE_MIN_CHAINS} reliable chains on, since below that the binomial noise exceeds the
target's width, and the pooled coverage covers the rest):

{targets_table(checks)}

### Where the estimate falls short

{shortfalls(shown + short)}

{candidate_summary(ar_main)}

{fill(f"The two-time-scale process: {two_text}.")}

{fill("The full run took %.0f min (%.0f s), in one process, niced, on a machine shared with other work; `--check` takes about half a minute." % (seconds / 60, seconds))}
"""
    # The equilibration section after this one (scripts/validate_equilibration.py
    # writes it) is kept as it is.
    write_section(text, AUTOMATIC_MARKER, EQUILIBRATION_MARKER)


# ----------------------------------------------------------------------------

def main():
    arguments = kit.parse_arguments(
        "Validate varbloc's automatic error estimate and its verdict on AR(1), two-time-scale "
        "and Ising chains, beside emcee and pymbar. Takes the module from build/release/python "
        "(./build.sh test); by default rewrites the automatic-estimate section of "
        "docs/validation.md.",
        "the checked AR(1) series and verdict cases only, without the peers; "
        "docs/validation.md is left alone")
    kit.require_binaries("validate_automatic.py", (ISING,))
    needed = ["numpy", "scipy", "varbloc"] + ([] if arguments.check else ["emcee", "pymbar"])
    if not kit.modules_found("validate_automatic.py", needed,
                             "build the module with ./build.sh test, install the others with "
                             "scripts/setup.sh python3-scipy python3-emcee python3-pymbar and run "
                             "this with /usr/bin/python3"):
        return 2
    peers = not arguments.check
    started = time.time()

    checks, edge_rows = edge_checks()
    checks.append(exact_check())
    everything = {"ar_main": [], "short": [], "two": [], "ising": []}
    for n, full, quick in AR_RUNS:
        for phi in AR_PHIS:
            cell = ar_cell(phi, n, quick if arguments.check else full, True)
            everything["ar_main"].append(run_generated(cell, peers))
            print_outcome(everything["ar_main"][-1])
    for n in ([SHORT_N] if arguments.check else VERDICT_NS):
        chains = SHORT_CHAINS if n == SHORT_N else VERDICT_CHAINS
        everything["short"].append(run_generated(ar_cell(SHORT_PHI, n, chains, True), peers))
        print_outcome(everything["short"][-1])
    if not arguments.check:
        for n, chains in TWO_RUNS:
            everything["two"].append(run_generated(two_scale_cell(n, chains), peers))
            print_outcome(everything["two"][-1])
        with tempfile.TemporaryDirectory(prefix="varbloc_automatic_") as directory:
            everything["ising"] = ising_outcomes(directory, peers)
        for o in everything["ising"]:
            print_outcome(o)
    more, pooled = statistical_checks(everything["ar_main"], everything["short"])
    checks += more
    kit.report_failures(checks)
    seconds = time.time() - started
    if not arguments.check:
        write_document(everything, checks, edge_rows, pooled, seconds)
        print("wrote %s" % os.path.relpath(VALIDATION_DOCUMENT, REPO))
    return kit.finish("automatic", checks, seconds)


if __name__ == "__main__":
    sys.exit(main())
