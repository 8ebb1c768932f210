"""Runs varbloc and reads its report: shared by validate.py and compare_peers.py.

The level tables ("Averages for N samples:") and the summary are parsed from
varbloc's standard error; the block size of a level follows from its number of
values and the sample count.
"""
import os
import re
import subprocess
from dataclasses import dataclass, field

from validation_kit import GENERATOR, VARBLOC, ValidationError, write_generated

# varbloc's ladder of block sizes (1 is level 0, the samples themselves), the
# number of blocks a level needs to run (more than 10) and the lag-1
# correlation below which a column counts as decorrelated.
LADDER = [1, 5, 10, 50, 100, 500, 1000, 5000, 10000, 50000]
MIN_BLOCKS = 11
THRESHOLD = 0.1


def levels_run(n):
    """Block sizes of the levels varbloc runs for n samples."""
    return [b for b in LADDER if b == 1 or n // b >= MIN_BLOCKS]


# ----------------------------------------------------------------------------
# Running the programs and reading varbloc's standard error.

@dataclass
class Level:
    blocks: int
    block_size: int
    errors: list = field(default_factory=list)        # per column
    correlations: list = field(default_factory=list)  # per column
    marked: list = field(default_factory=list)        # per column: the '<' mark


@dataclass
class Summary:
    mean: float
    error: float
    correlation: float
    blocks: int
    decorrelated: bool
    block_size: int = 0


@dataclass
class Run:
    samples: int
    levels: list
    summary: list   # one Summary per column
    analysis_line: str
    stdout: str


LEVEL_RE = re.compile(r"^Averages for (\d+) samples:\s*$")
ROW_RE = re.compile(r"^col\s+(\d+):\s+(\S+)\s+\+/-\s+(\S+)\s+Corr\. coeff\.:\s+(\S+)(\s+<)?\s*$")
SUMMARY_HEAD_RE = re.compile(
    r"^Summary of error and correlation analysis \(initial sample size (\d+)\)\s*$")
SUMMARY_RE = re.compile(
    r"^col\s+(\d+):\s+(\S+)\s+\+/-\s+(\S+)\s+\(correlation\s+(\S+)\s+with\s+(\d+)\s+samples\)"
    r"\s*(\*\*\* not decorrelated \*\*\*)?\s*$")


def block_size_of(blocks, n):
    """The ladder block size whose level has that many values for n samples."""
    for b in levels_run(n):
        if n // b == blocks:
            return b
    raise ValidationError("no level of the ladder has %d values for %d samples" % (blocks, n))


def parse_report(text):
    """Reads the level tables and the summary from varbloc's standard error."""
    levels, summary, samples = [], [], None
    for line in text.splitlines():
        head = SUMMARY_HEAD_RE.match(line)
        if head:
            samples = int(head.group(1))
            continue
        level = LEVEL_RE.match(line)
        if level:
            levels.append(Level(blocks=int(level.group(1)), block_size=0))
            continue
        row = SUMMARY_RE.match(line)
        if row and samples is not None:
            summary.append(Summary(mean=float(row.group(2)), error=float(row.group(3)),
                                   correlation=float(row.group(4)), blocks=int(row.group(5)),
                                   decorrelated=row.group(6) is None))
            continue
        row = ROW_RE.match(line)
        if row and levels and samples is None:
            levels[-1].errors.append(float(row.group(3)))
            levels[-1].correlations.append(float(row.group(4)))
            levels[-1].marked.append(row.group(5) is not None)
    if samples is None or not summary:
        raise ValidationError("no summary in varbloc's standard error:\n" + text[-2000:])
    for level in levels:
        level.block_size = block_size_of(level.blocks, samples)
    for column in summary:
        column.block_size = block_size_of(column.blocks, samples)
    return samples, levels, summary


def generate(directory, name, samples, phis, seed):
    """Writes an AR(1) file with one column per coefficient; returns its name."""
    write_generated(os.path.join(directory, name),
                    [GENERATOR, str(samples), str(len(phis)), "%.10f", "space", str(seed), "0",
                     ",".join(repr(phi) for phi in phis)])
    return name


def run_varbloc(directory, data_name, discard=0):
    """Runs varbloc in directory on data_name, writing the analysis file there;
    with discard > 0 it drops that many leading samples (option -i).

    Both names are relative and free of '-', which -o does not accept.
    """
    analysis = "ana.dat"
    options = ["-i", str(discard)] if discard else []
    done = subprocess.run([VARBLOC, "-o", analysis] + options + [data_name], cwd=directory,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise ValidationError("varbloc failed (status %d):\n%s"
                              % (done.returncode, done.stderr[-2000:]))
    samples, levels, summary = parse_report(done.stderr)
    # A missing analysis file shows up as an empty line, which the
    # consistency check reports.
    lines = []
    path = os.path.join(directory, analysis)
    if os.path.exists(path):
        with open(path) as f:
            lines = f.read().splitlines()
        os.remove(path)
    return Run(samples=samples, levels=levels, summary=summary,
               analysis_line=lines[-1] if lines else "", stdout=done.stdout)
