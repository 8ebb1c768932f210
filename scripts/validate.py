#!/usr/bin/env python3
"""Checks varbloc's blocked errors against the closed-form theory of AR(1) series.

usage, from the repository root, after `./build.sh test`:
    python3 scripts/validate.py          run the checks and the few-blocks study,
                                         rewrite docs/validation.md
    python3 scripts/validate.py --check  run the pass/fail checks only (for CI);
                                         docs/validation.md is left alone

This script builds nothing: it runs build/release/varbloc and the AR(1)
generator build/release/bench/generate_ar1 as they are, and stops with a
message when either is missing. It needs python3 and its standard library only.
It ends with the line "validation: N passed, M failed" and exits non-zero when
a check fails.
"""
import datetime
import math
import os
import statistics
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass

from validation_kit import (AUTOMATIC_MARKER, GENERATOR, REPO, VALIDATION_DOCUMENT, VARBLOC,
                            Check, ValidationError, analytic_error, closed_form_variance,
                            finish, git_revision, markdown_table, parse_arguments,
                            report_failures, require_binaries, write_section)
from varbloc_report import THRESHOLD, generate, levels_run, run_varbloc

REGENERATE = "python3 scripts/validate.py"

# The checked runs: one file with one column per coefficient. 4,000,000
# samples give even phi = 0.99 (decorrelated at block size 1000) 4000 blocks,
# so every check is made on a level with a small noise. Three seeds show the
# spread from one seed to the next.
SAMPLES = 4_000_000
PHIS = [0.0, 0.5, 0.9, 0.99]
SEEDS = [1, 2, 3]

# Tolerance of |measured / analytic - r_b|, where r_b is the expected ratio at
# the block size b reached, from N blocks:
#   NOISE_SIGMAS / sqrt(2 (N - 1)) + MODEL_ALLOWANCE.
# 1 / sqrt(2 (N - 1)) is the relative standard deviation of an error estimated
# from N independent normal block means; 5 of them leave a correct program a
# chance of about 6e-7 per check of failing on an unlucky seed, so changing the
# seeds is very unlikely to raise a false alarm, while a real bias a few times the noise
# still fails. The allowance covers what the formulas leave out, all far
# below it for these runs: terms of order 1/N in the expected ratio (at most
# 0.00025 at N = 4000), the bias of a square root of a noisy variance
# (1 / (4 (N - 1)), at most 0.0001), the noise inflation by the residual
# correlation of the blocks (a factor below 1.02 for a lag-1 correlation
# below 0.12) and the finite-n correction of the analytic error (below 1e-4).
# For phi = 0, decided at level 0 with 4,000,000 samples, the allowance
# dominates: a bias above about 1.2% fails.
NOISE_SIGMAS = 5.0
MODEL_ALLOWANCE = 0.01
TOLERANCE_FORMULA = "5 / sqrt(2 (N - 1)) + 0.01"

# The lag-1 correlations varbloc prints are checked against rho_b at every
# level with at least CORRELATION_MIN_BLOCKS blocks, within
#   NOISE_SIGMAS / sqrt(N) + MODEL_ALLOWANCE.
# By Bartlett's formula a lag-1 estimate from N values of an AR(1)-like series
# with correlation rho scatters by sqrt((1 - rho^2) / N), at most 1 / sqrt(N);
# its bias, about -(1 + 3 rho) / N, stays below 0.004 from 1000 blocks on,
# inside the allowance. This catches a wrong correlation (and so a wrong
# decision) even where the final error would still look plausible.
CORRELATION_MIN_BLOCKS = 1000
CORRELATION_FORMULA = "5 / sqrt(N) + 0.01"

# The few-blocks study: a series much too short for its correlation time.
FEW_PHI = 0.998
FEW_SAMPLES = 15_000
FEW_SEEDS = list(range(101, 141))

# Advice drawn from the study: a decorrelation is trustworthy only with at
# least this many blocks at the decorrelating level.
TRUSTED_BLOCKS = 100


# ----------------------------------------------------------------------------
# Theory of the AR(1) series x_t = phi x_(t-1) + e_t, unit-variance e_t.

def block_correlation(phi, b):
    """Lag-1 correlation of consecutive means of blocks of b samples."""
    if b == 1:
        return phi
    q = 1.0 - phi ** b
    return phi * q * q / (b * (1.0 - phi * phi) - 2.0 * phi * q)


def expected_ratio(phi, b):
    """Expected blocked error at block size b over the analytic error, many blocks.

    The variance of a block mean, times b, falls short of the long-run variance
    because correlations across the block edges are cut off.
    """
    return math.sqrt(1.0 - 2.0 * phi * (1.0 - phi ** b) / (b * (1.0 - phi * phi)))


def expected_ratio_few_blocks(phi, b, n):
    """sqrt(E[error^2]) / analytic error at block size b, exact when b divides n.

    With N block means m_i around the mean M of all n samples,
    E[sum (m_i - M)^2] = N (Var m_b - Var M), so the expected squared error
    (that sum over N (N - 1)) is (Var m_b - Var M) / (N - 1). Unlike
    expected_ratio, this includes the shortfall from blocks that are still
    correlated with each other, which grows as N gets small.
    """
    blocks = n // b
    squared = (closed_form_variance(phi, b) - closed_form_variance(phi, n)) / (blocks - 1)
    return math.sqrt(squared) / analytic_error(phi, n)


def relative_noise(blocks):
    """Relative standard deviation of an error estimated from that many blocks."""
    return 1.0 / math.sqrt(2.0 * (blocks - 1))


def tolerance(blocks):
    return NOISE_SIGMAS * relative_noise(blocks) + MODEL_ALLOWANCE


def correlation_tolerance(blocks):
    return NOISE_SIGMAS / math.sqrt(blocks) + MODEL_ALLOWANCE


def predicted_block(phi, n):
    """First block size whose theoretical lag-1 correlation is below the
    threshold, or None when no level that runs gets there."""
    for b in levels_run(n):
        if block_correlation(phi, b) < THRESHOLD:
            return b
    return None


def consistency_problems(run, samples, columns):
    """Ways the run contradicts varbloc's own documented behaviour."""
    problems = []
    if run.samples != samples:
        problems.append("read %d samples, expected %d" % (run.samples, samples))
    if run.stdout:
        problems.append("wrote to standard output")
    if len(run.summary) != columns:
        problems.append("summary has %d columns, expected %d" % (len(run.summary), columns))
        return problems
    expected_levels = levels_run(samples)
    if [level.block_size for level in run.levels] != expected_levels:
        problems.append("levels %s, expected %s"
                        % ([level.block_size for level in run.levels], expected_levels))
        return problems
    for level in run.levels:
        if len(level.correlations) != columns:
            problems.append("level of block size %d has %d rows, expected %d"
                            % (level.block_size, len(level.correlations), columns))
            return problems
    # The analysis file holds "%16.10f %16.10f" per column: mean, final error.
    numbers = run.analysis_line.split()
    if len(numbers) != 2 * columns:
        problems.append("analysis file line %r" % run.analysis_line)
    else:
        for c, column in enumerate(run.summary):
            if (abs(float(numbers[2 * c]) - column.mean) > 1e-10
                    or abs(float(numbers[2 * c + 1]) - column.error) > 1e-10):
                problems.append("column %d: analysis file %s %s, summary %.10f %.10f"
                                % (c, numbers[2 * c], numbers[2 * c + 1],
                                   column.mean, column.error))
    # The decision rule: the first level below the threshold, else the last.
    # Correlations are printed to 6 decimals, so values within 1e-6 of the
    # threshold cannot be judged from the text.
    for c, column in enumerate(run.summary):
        first = next((level for level in run.levels
                      if level.correlations[c] < THRESHOLD - 1e-6), None)
        doubtful = any(abs(level.correlations[c] - THRESHOLD) <= 1e-6 for level in run.levels)
        if doubtful:
            continue
        reached = first if first is not None else run.levels[-1]
        if column.decorrelated != (first is not None):
            problems.append("column %d: decorrelated flag contradicts the level tables" % c)
        if column.block_size != reached.block_size or column.error != reached.errors[c]:
            problems.append("column %d: final level %d, the tables give %d"
                            % (c, column.block_size, reached.block_size))
        marks = [level.block_size for level in run.levels if level.marked[c]]
        if marks != ([reached.block_size] if first is not None else []):
            problems.append("column %d: '<' marks at block sizes %s" % (c, marks))
    return problems


# ----------------------------------------------------------------------------
# The checked runs.

@dataclass
class ColumnResult:
    seed: int
    phi: float
    mean: float
    error: float
    analytic: float
    ratio: float
    expected: float
    tolerance: float
    block_size: int
    blocks: int
    decorrelated: bool
    correlation: float
    predicted: object   # block size, or None


def error_check(result):
    off = abs(result.ratio - result.expected)
    return Check("seed %d, phi %g: error ratio" % (result.seed, result.phi),
                 off <= result.tolerance,
                 "measured/analytic %.4f, expected %.4f at block size %d (%d blocks), "
                 "off by %.4f, tolerance %.4f" % (result.ratio, result.expected, result.block_size,
                                                  result.blocks, off, result.tolerance))


def correlation_check(seed, phi, c, levels):
    """Every level with many blocks, judged by its deviation from rho_b in
    units of its tolerance; the worst one decides."""
    name = "seed %d, phi %g: lag-1 correlations" % (seed, phi)

    def deviation(level):
        theory = block_correlation(phi, level.block_size)
        return abs(level.correlations[c] - theory) / correlation_tolerance(level.blocks)

    many = [level for level in levels
            if level.blocks >= CORRELATION_MIN_BLOCKS and len(level.correlations) > c]
    if not many:
        return Check(name, False, "no level table with %d blocks or more" % CORRELATION_MIN_BLOCKS)
    worst = max(many, key=deviation)
    return Check(name, deviation(worst) <= 1.0,
                 "worst level: block size %d, measured %.4f, theory %.4f, deviation %.2f of the "
                 "tolerance %s" % (worst.block_size, worst.correlations[c],
                                   block_correlation(phi, worst.block_size), deviation(worst),
                                   CORRELATION_FORMULA))


def mean_check(seed, phi, mean, analytic):
    # The true mean is 0; the analytic error is its standard deviation.
    z = mean / analytic
    return Check("seed %d, phi %g: mean" % (seed, phi), abs(z) <= NOISE_SIGMAS,
                 "mean %.6g is %.2f analytic errors from 0" % (mean, z))


def checked_runs(directory, checks):
    results = []
    for seed in SEEDS:
        started = time.time()
        name = generate(directory, "ar1.dat", SAMPLES, PHIS, seed)
        run = run_varbloc(directory, name)
        os.remove(os.path.join(directory, name))
        problems = consistency_problems(run, SAMPLES, len(PHIS))
        checks.append(Check("seed %d: varbloc's output consistent" % seed, not problems,
                            "; ".join(problems) or "levels, marks, summary and analysis file agree"))
        if len(run.summary) != len(PHIS):
            continue
        for c, (phi, column) in enumerate(zip(PHIS, run.summary)):
            analytic = analytic_error(phi, SAMPLES)
            result = ColumnResult(
                seed=seed, phi=phi, mean=column.mean, error=column.error, analytic=analytic,
                ratio=column.error / analytic, expected=expected_ratio(phi, column.block_size),
                tolerance=tolerance(column.blocks), block_size=column.block_size,
                blocks=column.blocks, decorrelated=column.decorrelated,
                correlation=column.correlation, predicted=predicted_block(phi, SAMPLES))
            results.append(result)
            checks.append(error_check(result))
            checks.append(correlation_check(seed, phi, c, run.levels))
            checks.append(mean_check(seed, phi, column.mean, analytic))
        print("  seed %d done in %.1f s" % (seed, time.time() - started), file=sys.stderr)
    return results


# ----------------------------------------------------------------------------
# The few-blocks study.

@dataclass
class FewResult:
    seed: int
    mean: float
    error: float
    ratio: float
    block_size: int
    blocks: int
    decorrelated: bool
    correlations: dict   # block size -> measured lag-1 correlation
    ratios: dict         # block size -> that level's error over the analytic error


def few_blocks_study(directory):
    results = []
    analytic = analytic_error(FEW_PHI, FEW_SAMPLES)
    for seed in FEW_SEEDS:
        name = generate(directory, "few.dat", FEW_SAMPLES, [FEW_PHI], seed)
        run = run_varbloc(directory, name)
        problems = consistency_problems(run, FEW_SAMPLES, 1)
        if problems:
            raise ValidationError("few-blocks run, seed %d: %s" % (seed, "; ".join(problems)))
        column = run.summary[0]
        results.append(FewResult(
            seed=seed, mean=column.mean, error=column.error, ratio=column.error / analytic,
            block_size=column.block_size, blocks=column.blocks,
            decorrelated=column.decorrelated,
            correlations={level.block_size: level.correlations[0] for level in run.levels},
            ratios={level.block_size: level.errors[0] / analytic for level in run.levels}))
    return results


# ----------------------------------------------------------------------------
# Reporting.

def block_text(b):
    return "-" if b is None else ("1 (level 0)" if b == 1 else str(b))


def median_text(values, digits=3):
    return "%.*f" % (digits, statistics.median(values)) if values else "-"


def theory_table():
    header = ["phi", "analytic error"] + ["rho_%d" % b for b in levels_run(SAMPLES)] + \
             ["predicted block size", "r_b there"]
    rows = []
    for phi in PHIS:
        predicted = predicted_block(phi, SAMPLES)
        rows.append(["%g" % phi, "%.6f" % analytic_error(phi, SAMPLES)]
                    + ["%.3f" % block_correlation(phi, b) for b in levels_run(SAMPLES)]
                    + [block_text(predicted), "%.4f" % expected_ratio(phi, predicted)])
    return markdown_table(header, rows)


def results_table(results, checks_by_name):
    header = ["seed", "phi", "mean", "measured error", "analytic error", "ratio",
              "expected r_b", "abs(ratio - r_b)", "tolerance", "reached block size",
              "blocks N", "lag-1 there", "predicted block size", "result"]
    rows = []
    for r in results:
        passed = checks_by_name["seed %d, phi %g: error ratio" % (r.seed, r.phi)].passed
        reached = block_text(r.block_size)
        if not r.decorrelated:
            reached += ", not decorrelated"
        same = "same" if r.predicted == r.block_size else "differs"
        rows.append(["%d" % r.seed, "%g" % r.phi, "%.6f" % r.mean, "%.7f" % r.error,
                     "%.7f" % r.analytic, "%.4f" % r.ratio, "%.4f" % r.expected,
                     "%.4f" % abs(r.ratio - r.expected), "%.4f" % r.tolerance, reached,
                     "%d" % r.blocks,
                     "%.4f" % r.correlation, "%s (%s)" % (block_text(r.predicted), same),
                     "pass" if passed else "**FAIL**"])
    return markdown_table(header, rows)


def spread_table(results):
    header = ["phi", "ratios over the seeds", "expected r_b", "noise 1/sqrt(2(N-1))"]
    rows = []
    for phi in PHIS:
        mine = [r for r in results if r.phi == phi]
        if not mine:
            continue
        rows.append(["%g" % phi, ", ".join("%.4f" % r.ratio for r in mine),
                     ", ".join(sorted({"%.4f" % r.expected for r in mine})),
                     ", ".join(sorted({"%.4f" % relative_noise(r.blocks) for r in mine}))])
    return markdown_table(header, rows)


def few_levels_table(results):
    header = ["block size", "blocks N", "theory rho_b", "mean measured lag-1",
              "sd of measured lag-1", "mean - theory", "runs with lag-1 < 0.1",
              "rms measured error ratio", "expected error ratio (exact for N)",
              "r_b (many blocks)"]
    rows = []
    for b in levels_run(FEW_SAMPLES):
        values = [r.correlations[b] for r in results]
        blocks = FEW_SAMPLES // b
        theory = block_correlation(FEW_PHI, b)
        rows.append([block_text(b), "%d" % blocks, "%.3f" % theory,
                     "%.3f" % statistics.fmean(values), "%.3f" % statistics.stdev(values),
                     "%+.3f" % (statistics.fmean(values) - theory),
                     "%d of %d" % (sum(v < THRESHOLD for v in values), len(values)),
                     "%.3f" % math.sqrt(statistics.fmean(r.ratios[b] ** 2 for r in results)),
                     "%.3f" % expected_ratio_few_blocks(FEW_PHI, b, FEW_SAMPLES),
                     "%.3f" % expected_ratio(FEW_PHI, b)])
    return markdown_table(header, rows)


def few_outcome_table(results):
    header = ["varbloc's verdict", "runs", "median measured/analytic error",
              "range of measured/analytic error"]
    rows = []
    groups = [("decorrelated at block size %d" % b,
               [r for r in results if r.decorrelated and r.block_size == b])
              for b in levels_run(FEW_SAMPLES)]
    groups.append(("decorrelated (any level)", [r for r in results if r.decorrelated]))
    groups.append(("not decorrelated", [r for r in results if not r.decorrelated]))
    for label, group in groups:
        if not group and label.startswith("decorrelated at"):
            continue
        ratios = [r.ratio for r in group]
        rows.append([label, "%d" % len(group), median_text(ratios),
                     "%.3f - %.3f" % (min(ratios), max(ratios)) if ratios else "-"])
    return markdown_table(header, rows)


def few_conclusion(few):
    """The paragraph comparing the errors of "decorrelated" and flagged runs."""
    decorrelated = [r.ratio for r in few if r.decorrelated]
    flagged = [r.ratio for r in few if not r.decorrelated]
    text = "varbloc called the column decorrelated in **%d of %d** runs." % (
        len(decorrelated), len(few))
    if not decorrelated or not flagged:
        return text
    better, worse = statistics.median(decorrelated), statistics.median(flagged)
    if better < worse:
        # A run whose blocks happen to wander little shows both a low lag-1
        # correlation and a small spread of block means, so the runs that pass
        # the threshold are the ones whose error is most underestimated.
        verdict = ("The errors it reports then are even further from the truth than in the "
                   "runs it flagged: runs whose block means happen to vary little show both "
                   "a low lag-1 correlation and a small error, so passing the threshold "
                   "tends to pick the worst underestimates.")
    else:
        verdict = "The errors it reports then are no better than in the runs it flagged."
    last = levels_run(FEW_SAMPLES)[-1]
    text += (" " + verdict + " Median measured/analytic error ratio: %.3f when "
             "\"decorrelated\", %.3f when \"not decorrelated\". Even on average the last "
             "level is expected to give only %.2f of the true error, whatever the verdict."
             % (better, worse, expected_ratio_few_blocks(FEW_PHI, last, FEW_SAMPLES)))
    return textwrap.fill(text, width=84)


def write_document(results, checks, few):
    checks_by_name = {check.name: check for check in checks}
    passed = sum(check.passed for check in checks)
    failed = len(checks) - passed
    few_analytic = analytic_error(FEW_PHI, FEW_SAMPLES)
    last = levels_run(FEW_SAMPLES)[-1]
    last_blocks = FEW_SAMPLES // last
    rms_mean = math.sqrt(statistics.fmean(r.mean ** 2 for r in few))
    true_sd = math.sqrt(closed_form_variance(FEW_PHI, FEW_SAMPLES))
    mismatched = [r for r in results if r.predicted != r.block_size]
    failures = [check for check in checks if not check.passed]

    text = f"""# Validation of varbloc against AR(1) theory

Generated on {datetime.date.today().isoformat()} from revision {git_revision()} by

```sh
./build.sh test              # builds build/release/varbloc and bench/generate_ar1
{REGENERATE}   # well under a minute; `--check` runs the checks only, without this file
```

Result: **{passed} checks passed, {failed} failed.** The data come from fixed seeds
and varbloc's arithmetic is reproducible to the last digit, so a rerun gives the
same numbers; only the date and revision change.

## Method

`build/release/bench/generate_ar1` writes AR(1) series x_t = phi x_(t-1) + e_t with
unit-variance normal e_t and a start drawn from the stationary distribution. For
each of the seeds {", ".join(map(str, SEEDS))} one file holds n = {SAMPLES:,} samples of four
independent columns with phi = {", ".join("%g" % p for p in PHIS)}. varbloc runs on the file in a
temporary directory; the script reads each column's final error and its "with N
samples" count from the summary on standard error (N = n / block size where the
column decorrelated; the block count of the last level when it is marked
`*** not decorrelated ***`).

For this series everything varbloc estimates is known in closed form:

- standard deviation of the series: sigma_x = 1 / sqrt(1 - phi^2);
- analytic standard error of the mean: sigma_x sqrt((1 + phi) / (1 - phi) / n);
- lag-1 correlation of consecutive means of blocks of size b:
  rho_b = phi (1 - phi^b)^2 / (b (1 - phi^2) - 2 phi (1 - phi^b)), with rho_1 = phi.
  The predicted decorrelation block size is the first level that runs for n
  (level 0, then 5, 10, 50, ... while at least 11 blocks remain) with rho_b < {THRESHOLD};
- expected blocked error at block size b over the analytic error, for many
  blocks: r_b = sqrt(1 - 2 phi (1 - phi^b) / (b (1 - phi^2))). Blocking cuts the
  correlations across block edges off, so the blocked error falls short of the
  true one by this factor (0.951 at b = 100 for phi = 0.9);
- relative noise of an error estimated from N blocks: about 1 / sqrt(2 (N - 1)).

## Checks

For every column and seed: |measured / analytic - r_b| <= tolerance, where b is
the block size varbloc actually reached and N its number of blocks, with

    tolerance = {TOLERANCE_FORMULA}

Five noise standard deviations give a correct program a chance of about 6e-7 per
check of failing on an unlucky seed, so other seeds would almost surely pass too, while a
real bias of a few noise widths still fails. The allowance of 0.01 covers what
the formulas leave out, each far smaller here: terms of order 1/N in r_b (at
most 0.00025 with N >= 4000), the bias of the square root of a noisy variance
(1 / (4 (N - 1))), the slightly larger noise of blocks that are still weakly
correlated (a factor below 1.02) and the finite-n correction of the analytic
error (below 1e-4). It dominates for phi = 0, where a bias above about 1.2% fails.

Besides, for every column: the lag-1 correlation varbloc prints at every level
with at least {CORRELATION_MIN_BLOCKS} blocks lies within {CORRELATION_FORMULA} of rho_b (by Bartlett's
formula the estimate from N values of an AR(1)-like series scatters by
sqrt((1 - rho^2) / N), at most 1 / sqrt(N), and its bias of about -(1 + 3 rho) / N
stays below 0.004), so a wrong correlation,
and with it a wrong decision, fails even where the final error would still look
plausible; the mean lies within 5 analytic errors of the true mean 0. For every
run: varbloc ran the levels the ladder prescribes, put the
`<` mark on the first level whose correlation is below {THRESHOLD} (and on no
other), reported that level's error in the summary (or the last level's, marked
not decorrelated), wrote nothing to standard output, and appended to the
analysis file the same means and errors as the summary shows.

### Theory for n = {SAMPLES:,}

{theory_table()}

### Results

{results_table(results, checks_by_name)}

{"The blocked errors sit at the expected ratio r_b below the analytic error, within"
 if not failures else "Some blocked errors miss the expected ratio r_b by more than"}
the noise. The spread over the seeds:

{spread_table(results)}

Reached versus predicted block size (reported, not checked): {len(results) - len(mismatched)} of
{len(results)} columns decorrelated at the predicted block size."""
    if mismatched:
        text += " The others: " + "; ".join(
            "seed %d, phi %g reached %s instead of %s (lag-1 there %.4f, theory %.4f)"
            % (r.seed, r.phi, block_text(r.block_size), block_text(r.predicted), r.correlation,
               block_correlation(r.phi, r.block_size)) for r in mismatched) + "."
    text += f""" A level whose
theoretical rho_b is close to {THRESHOLD} (phi = 0.99 at block size 500: rho = {block_correlation(0.99, 500):.3f},
measured from {SAMPLES // 500} blocks with a noise of about {1 / math.sqrt(SAMPLES // 500):.3f}) can fall on either side
by chance; the check above still holds there, since r_b describes every level
with many blocks.
"""
    if failures:
        text += "\n### Failed checks\n\n" + "\n".join(
            "- %s: %s" % (check.name, check.detail) for check in failures) + "\n"

    text += f"""
## Few blocks: the weakness of a fixed lag-1 threshold

varbloc decides with one estimated lag-1 correlation per level. When the
decorrelating level has only a few blocks, that estimate is itself very noisy,
and a strongly correlated series can dip below {THRESHOLD} by chance.

Study: phi = {FEW_PHI}, n = {FEW_SAMPLES:,} samples (a correlation time (1 + phi) / (1 - phi) =
{(1 + FEW_PHI) / (1 - FEW_PHI):.0f} samples), one column, seeds {FEW_SEEDS[0]} to {FEW_SEEDS[-1]} ({len(FEW_SEEDS)} runs). The last level has
block size {last} with only {last_blocks} blocks, whose theoretical lag-1 correlation is
{block_correlation(FEW_PHI, last):.2f}: no level is truly decorrelated, and the analytic error is {few_analytic:.4f}.

Lag-1 correlations measured at every level over the {len(FEW_SEEDS)} runs, and the error ratio
expected there. The "exact for N" column is sqrt(E[error^2]) / analytic error with
E[error^2] = (Var m_b - Var M) / (N - 1), Var m_b and Var M the exact variances of
the mean of b and of all n samples; it includes the shortfall from blocks that are
still correlated with each other, which r_b (valid for many blocks) leaves out.

{few_levels_table(few)}

With {last_blocks} blocks the measured lag-1 correlation scatters by about
{statistics.stdev(r.correlations[last] for r in few):.2f} and sits {block_correlation(FEW_PHI, last) - statistics.fmean(r.correlations[last] for r in few):.2f} below its true value on average (for N uncorrelated
values the bias of a lag-1 estimate is about -1/N = {-1 / last_blocks:.3f}; for correlated
ones it is larger). What varbloc concluded:

{few_outcome_table(few)}

{few_conclusion(few)}

As a cross-check of the analytic error itself: the root mean square of the
{len(few)} measured means is {rms_mean:.4f}, against a true standard deviation of the mean of
{true_sd:.4f} for n = {FEW_SAMPLES:,} ({rms_mean / true_sd:.2f} times, with a statistical uncertainty of about
{1 / math.sqrt(2 * len(few)):.2f} from {len(few)} runs).

### Advice

- Trust a decorrelation only when the decorrelating level still has many
  blocks, say at least {TRUSTED_BLOCKS}: that is a run at least {TRUSTED_BLOCKS} times longer than the
  decorrelation block. Near the threshold the lag-1 estimate from N blocks
  scatters by about 1 / sqrt(N) (0.1 at 100 blocks, {1 / math.sqrt(last_blocks):.2f} at {last_blocks}), so only from
  about {TRUSTED_BLOCKS} blocks on does a value below {THRESHOLD} say much.
- Look at the neighbouring levels: at a real decorrelation the following levels
  stay below {THRESHOLD} too (within their noise) and the error stops growing. A
  correlation that dips below {THRESHOLD} at one level while the error keeps rising
  from level to level is a fluctuation.
- Treat a decorrelation at one of the last levels (11 to a few dozen blocks) as
  doubtful and its error as a lower bound, like a column marked
  `*** not decorrelated ***`: run longer.

## Beside emcee and pymbar

[validation_peers.md](validation_peers.md) compares varbloc's final errors with
emcee's integrated autocorrelation time and pymbar's statistical inefficiency,
on AR(1) series and on Ising Monte Carlo chains (`scripts/compare_peers.py`
writes it; this script leaves it alone).
"""
    # scripts/validate_automatic.py owns the document from its marker on.
    write_section(text, next_marker=AUTOMATIC_MARKER)


def print_results(results, checks):
    print("%-5s %-5s %-10s %-10s %-7s %-7s %-7s %-8s %-8s %s"
          % ("seed", "phi", "error", "analytic", "ratio", "r_b", "tol", "reached", "blocks",
             "predicted"))
    for r in results:
        print("%-5d %-5g %-10.7f %-10.7f %-7.4f %-7.4f %-7.4f %-8s %-8d %s%s"
              % (r.seed, r.phi, r.error, r.analytic, r.ratio, r.expected, r.tolerance,
                 r.block_size, r.blocks, block_text(r.predicted),
                 "" if r.decorrelated else "  (not decorrelated)"))
    report_failures(checks)


def main():
    arguments = parse_arguments(
        "Check varbloc's blocked errors against AR(1) theory. Takes the binaries from "
        "build/release (build them first with ./build.sh test); by default also runs the "
        "few-blocks study and rewrites docs/validation.md.",
        "run the pass/fail checks only; do not rewrite docs/validation.md")
    require_binaries("validate.py", (VARBLOC, GENERATOR))
    # Progress goes to standard error, results to standard output: keep them
    # in order when both land in one log.
    sys.stdout.reconfigure(line_buffering=True)

    started = time.time()
    checks = []
    try:
        with tempfile.TemporaryDirectory(prefix="varbloc_validate_") as directory:
            print("checked runs: n = %d, phi = %s, seeds %s"
                  % (SAMPLES, ", ".join("%g" % p for p in PHIS), SEEDS), file=sys.stderr)
            results = checked_runs(directory, checks)
            print_results(results, checks)
            if not arguments.check:
                print("few-blocks study: phi = %g, n = %d, %d seeds"
                      % (FEW_PHI, FEW_SAMPLES, len(FEW_SEEDS)), file=sys.stderr)
                few = few_blocks_study(directory)
                decorrelated = [r for r in few if r.decorrelated]
                print("few blocks: decorrelated in %d of %d runs; median error ratio %s "
                      "(decorrelated) vs %s (not)"
                      % (len(decorrelated), len(few), median_text([r.ratio for r in decorrelated]),
                         median_text([r.ratio for r in few if not r.decorrelated])))
                write_document(results, checks, few)
                print("wrote %s" % os.path.relpath(VALIDATION_DOCUMENT, REPO))
    except ValidationError as error:
        print("validate.py: %s" % error, file=sys.stderr)
        checks.append(Check("runs completed", False, str(error)))

    return finish("validation", checks, time.time() - started)


if __name__ == "__main__":
    sys.exit(main())
