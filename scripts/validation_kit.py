"""What the validation scripts share: paths, chains, theory, peers, checks, documents.

scripts/validate.py, compare_peers.py, validate_automatic.py and
validate_equilibration.py import it (varbloc_report.py, which runs the program
and reads its standard error, too). Its parts:

- the paths of the repository, the binaries and the module in the build tree;
- the AR(1) chain x_t = phi x_(t-1) + e_t: its theory (integrated time, the
  exact variance of the mean, term by term and in closed form) and its
  generation from fixed seeds, in batches of chains that fit in memory, and
  chains of the shipped Ising generator;
- the peers' estimates: emcee's integrated autocorrelation time, pymbar's
  statistical inefficiency and its equilibration search;
- statistics with their noise (Wilson's interval, the median's interval) and
  the checks built on them;
- markdown tables and the sections of docs/validation.md each script owns;
- the --check plumbing: the command line, the module look-up, the failed
  checks (a known shortfall among them shown but not fatal) and the closing
  line "NAME: N passed, M failed" with the exit status.

NumPy, SciPy, emcee and pymbar are imported where they are used, so a script
that needs none of them (validate.py) runs without them.
"""
import argparse
import importlib.util
import math
import os
import platform
import subprocess
import sys
import textwrap
import warnings
import zlib
from dataclasses import dataclass

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VARBLOC = os.path.join(REPO, "build", "release", "varbloc")
GENERATOR = os.path.join(REPO, "build", "release", "bench", "generate_ar1")
ISING = os.path.join(REPO, "build", "release", "examples", "generate_ising")
PYTHON_TREE = os.path.join(REPO, "build", "release", "python")  # the module varbloc

# docs/validation.md is written by three scripts: validate.py from the top to
# the automatic-estimate marker, validate_automatic.py from there to the
# equilibration marker, validate_equilibration.py from there to the end.
VALIDATION_DOCUMENT = os.path.join(REPO, "docs", "validation.md")
AUTOMATIC_MARKER = ("<!-- automatic estimate: scripts/validate_automatic.py writes from here "
                    "to the end -->")
EQUILIBRATION_MARKER = ("<!-- equilibration: scripts/validate_equilibration.py writes from "
                        "here to the end -->")
# The documents the validation scripts write; a rerun rewrites them anyway.
GENERATED_DOCUMENTS = ["docs/validation.md", "docs/validation_peers.md"]

# Samples generated and analysed at once: two arrays of 2^24 doubles (128 MiB
# each) for the noise and the chains, well inside a few GiB.
BATCH_SAMPLES = 1 << 24

Z = 3.0  # sigmas of a statistical check's confidence interval


class ValidationError(Exception):
    """varbloc or a generator did not run, or printed what cannot be read."""


# ----------------------------------------------------------------------------
# The AR(1) chain x_t = phi x_(t-1) + e_t with unit-variance noise e_t.

def sigma_x(phi):
    """Standard deviation of the stationary series."""
    return 1.0 / math.sqrt(1.0 - phi * phi)


def analytic_error(phi, n):
    """Standard error of the mean of n samples, for large n."""
    return sigma_x(phi) * math.sqrt((1.0 + phi) / (1.0 - phi) / n)


def integrated_time(phi):
    """tau = 1 + 2 sum rho(t) of an AR(1) chain."""
    return (1.0 + phi) / (1.0 - phi)


def exact_variance(phi, n):
    """Variance of the mean of n consecutive stationary samples, unit noise:
    sigma^2 / n [1 + 2 sum_{k=1}^{n-1} (1 - k/n) phi^k], sigma^2 = 1/(1 - phi^2),
    summed term by term."""
    import numpy as np
    if phi == 0.0:
        return 1.0 / n
    k = np.arange(1, n, dtype=np.float64)
    total = float(np.sum((1.0 - k / n) * phi ** k))
    return (1.0 + 2.0 * total) / ((1.0 - phi * phi) * n)


def closed_form_variance(phi, n):
    """The same variance in closed form; n may be an array."""
    s2 = 1.0 / (1.0 - phi * phi)
    return s2 / n * ((1.0 + phi) / (1.0 - phi)
                     - 2.0 * phi * (1.0 - phi ** n) / (n * (1.0 - phi) ** 2))


def exact_error(phi, n):
    """Exact standard error of the mean of n consecutive samples of the
    stationary AR(1) chain of unit variance; n may be an array."""
    import numpy as np
    n = np.asarray(n, dtype=np.float64)
    return np.sqrt(closed_form_variance(phi, n) * (1.0 - phi * phi))


# ----------------------------------------------------------------------------
# Generating chains.

def rng_for(root_seed, key, batch):
    """NumPy's generator for one batch of the chains a key names."""
    import numpy as np
    return np.random.default_rng([root_seed, zlib.crc32(key.encode()), batch])


def ar1_filter(e, phi):
    """The AR(1) chains driven by the unit-variance innovations e (chains x
    n, overwritten), each started in its stationary distribution,
    x_0 = e_0 / sqrt(1 - phi^2). Any unit-variance noise will do (normal,
    scaled Student-t, ...)."""
    from scipy.signal import lfilter
    if phi == 0.0:
        return e
    e[:, 0] /= math.sqrt(1.0 - phi * phi)
    return lfilter([1.0], [1.0, -phi], e, axis=1)


def ar1(rng, phi, chains, n):
    """chains x n AR(1) samples with normal noise, each chain started in its
    stationary distribution, x_0 ~ N(0, 1 / (1 - phi^2))."""
    return ar1_filter(rng.standard_normal((chains, n)), phi)


def chain_batches(root_seed, key, n, chains, draw):
    """Yields the chains a key names as n x m arrays in Fortran order (each
    chain contiguous, as varbloc.block takes it), m at most BATCH_SAMPLES / n.
    draw(rng, m) returns m chains as a C-ordered m x n array. With fewer
    chains the first ones are the same (same seeds, same batches)."""
    per_batch = max(1, BATCH_SAMPLES // n)
    done, batch = 0, 0
    while done < chains:
        m = min(per_batch, chains - done)
        yield draw(rng_for(root_seed, key, batch), m).T
        done += m
        batch += 1


def write_generated(path, argv):
    """Runs a generator (argv, the program first) with its standard output
    going to path; a failure raises ValidationError naming the program."""
    with open(path, "w") as out:
        done = subprocess.run(argv, stdout=out, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise ValidationError("%s failed (status %d): %s" % (
            os.path.basename(argv[0]), done.returncode, done.stderr.strip()))


def ising_chain(directory, temperature, sweeps, seed, discard=0):
    """One chain of the shipped Ising generator (L = 32, from random spins):
    sweeps x 2 samples (energy and abs(magnetisation) per spin) after
    discard sweeps, read with varbloc.load."""
    import varbloc
    path = os.path.join(directory, "ising.dat")
    write_generated(path, [ISING, "%g" % temperature, str(sweeps + discard), str(seed)])
    chain = varbloc.load(path, discard=discard)
    os.remove(path)
    return chain


# ----------------------------------------------------------------------------
# The peers.

def emcee_tau(x):
    """emcee's estimate with its defaults. A chain shorter than 50 estimated
    autocorrelation times raises AutocorrError, which carries the estimate:
    it is used and the message is reported."""
    import emcee.autocorr
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            tau, warning = float(emcee.autocorr.integrated_time(x)[0]), ""
        except emcee.autocorr.AutocorrError as error:
            tau, warning = float(error.tau[0]), " ".join(str(error).split())
    messages = ([warning] if warning else []) + [str(w.message) for w in caught]
    return tau, "; ".join(messages)


def pymbar_g(x):
    """pymbar's statistical inefficiency with its defaults; any warning it
    gives is reported."""
    import pymbar.timeseries
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        g = float(pymbar.timeseries.statisticalInefficiency(x))
    return g, "; ".join(str(w.message) for w in caught)


@dataclass
class PeerErrors:
    """Both peers' estimates of one chain and the errors of its mean they
    give: sigma sqrt(tau / n) and sigma sqrt(g / n), sigma the sample
    standard deviation."""
    tau: float
    emcee_error: float
    emcee_warning: str
    g: float
    pymbar_error: float
    pymbar_warning: str


def peer_errors(x):
    """emcee's and pymbar's errors of the mean of the chain x."""
    import numpy as np
    n = len(x)
    sigma = float(np.std(x, ddof=1))
    tau, emcee_warning = emcee_tau(x)
    g, pymbar_warning = pymbar_g(x)
    return PeerErrors(tau=tau, emcee_error=sigma * math.sqrt(tau / n),
                      emcee_warning=emcee_warning, g=g,
                      pymbar_error=sigma * math.sqrt(g / n), pymbar_warning=pymbar_warning)


def pymbar_detect(x):
    """pymbar 3's detectEquilibration(x, fast=True): (start, g); any warning
    it gives is left to the caller."""
    import pymbar.timeseries
    t, g, _ = pymbar.timeseries.detectEquilibration(x, fast=True)
    return int(t), float(g)


def package_version(package):
    """The installed Debian package's version, as the reader can look it up."""
    try:
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.strip() \
            or "(version unknown)"
    except OSError:
        return "(version unknown)"


# ----------------------------------------------------------------------------
# Statistics with their noise, and the checks.

@dataclass
class Check:
    """A pass/fail check of a validation script. A failed check with a
    known note is a known shortfall: shown as failed with its target
    unchanged, but it does not set the exit status."""
    name: str
    passed: bool
    detail: str
    known: str = ""

    @property
    def fatal(self):
        return not self.passed and not self.known


def wilson(successes, trials, z=Z):
    """Wilson's score interval of a binomial fraction."""
    if trials == 0:
        return 0.0, 1.0
    p = successes / trials
    d = 1.0 + z * z / trials
    centre = (p + z * z / (2 * trials)) / d
    half = z * math.sqrt(p * (1 - p) / trials + z * z / (4 * trials * trials)) / d
    return max(0.0, centre - half), min(1.0, centre + half)


def median_interval(values, z=Z):
    """Distribution-free interval of the median from order statistics: the
    number of values below the true median is binomial(m, 1/2)."""
    import numpy as np
    v = np.sort(values)
    m = len(v)
    low = int(math.floor(m / 2 - z * math.sqrt(m) / 2))
    high = int(math.ceil(m / 2 + z * math.sqrt(m) / 2))
    return float(v[max(low, 0)]), float(v[min(high, m - 1)])


def margin(p, chains):
    """The Z-sigma binomial margin of a fraction p from that many chains."""
    return Z * math.sqrt(p * (1.0 - p) / chains)


def fraction_check(name, hits, chains, low, high):
    """A fraction whose target is [low, high]; its Wilson interval must reach it."""
    lo, hi = wilson(hits, chains)
    target = ">= %.0f%%" % (100 * low) if high >= 1.0 else "%.0f%% to %.0f%%" % (100 * low,
                                                                               100 * high)
    return Check(name, chains > 0 and lo <= high and hi >= low,
                 "%d of %d (%.1f%%), %g-sigma interval %.1f%% to %.1f%%, target %s"
                 % (hits, chains, 100.0 * hits / chains if chains else math.nan, Z, 100 * lo,
                    100 * hi, target))


def median_check(name, values, low, high, digits):
    """A median whose target is [low, high]; its order-statistic interval must reach it."""
    import numpy as np
    lo, hi = median_interval(values)
    med = float(np.median(values))
    return Check(name, lo <= high and hi >= low,
                 "median %.*f of %d chains, %g-sigma interval %.*f to %.*f, target %.*f to %.*f"
                 % (digits, med, len(values), Z, digits, lo, digits, hi, digits, low,
                    digits, high))


# ----------------------------------------------------------------------------
# Text and documents.

def percent(hits, chains, digits=1):
    """hits / chains in per cent, "-" without chains."""
    return "-" if not chains else "%.*f" % (digits, 100.0 * hits / chains)


def fill(text, width=84):
    """A paragraph rewrapped to the documents' width."""
    return textwrap.fill(" ".join(text.split()), width=width)


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def targets_table(checks):
    """Every check with what it measured and its verdict."""
    return markdown_table(["check", "measured", "result"],
                          [[c.name, c.detail, "pass" if c.passed else
                            "**FAIL** (known shortfall)" if c.known else "**FAIL**"]
                           for c in checks])


def failure_lines(checks):
    """The failed checks as the lines under a document's result."""
    def note(check):
        return " (known shortfall: %s)" % check.known if check.known else ""

    return "".join("\n- FAILED %s: %s%s" % (c.name, c.detail, note(c))
                   for c in checks if not c.passed)


def git_revision():
    """The checked-out revision, and whether tracked files other than the
    generated documents differ from it."""
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.strip()
        dirty = subprocess.run(["git", "diff", "--quiet", "HEAD", "--", "."]
                               + [":!" + document for document in GENERATED_DOCUMENTS], cwd=REPO,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0
    except OSError:
        return "unknown"
    if not head:
        return "unknown"
    return head + (" with uncommitted changes" if dirty else "")


def machine():
    """The processor, cores, memory, system and Python a run had."""
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
        memory = ", %.0f GiB memory" % (kib / 2 ** 20)
    except (OSError, ValueError, IndexError):
        pass
    return "%s, %d logical cores%s, %s, Python %s" % (
        model, os.cpu_count() or 0, memory, platform.system() + " " + platform.release(),
        platform.python_version())


def write_section(text, marker=None, next_marker=None, path=VALIDATION_DOCUMENT):
    """Writes text as the section of the document that starts at marker
    (None: at the top) and runs to next_marker (None: to the end); the rest
    of the document is kept as it is. A section not yet there is appended."""
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
    tail = ""
    if next_marker is not None:
        end = old.find("\n" + next_marker)
        if end >= 0:
            old, tail = old[:end + 1], "\n" + old[end + 1:]
    head = ""
    if marker is not None:
        start = old.find(marker)
        if start >= 0 and (start == 0 or old[start - 1] == "\n"):
            head = old[:start]
        elif old:
            head = old.rstrip("\n") + "\n\n"
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(head + text + tail)


# ----------------------------------------------------------------------------
# The --check plumbing.

def parse_arguments(description, check_help):
    """The command line every validation script takes: --check or nothing."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--check", action="store_true", help=check_help)
    return parser.parse_args()


def require_binaries(script, paths):
    """Stops with a message when one of the programs has not been built."""
    for path in paths:
        if not os.access(path, os.X_OK):
            print("%s: %s is missing; this script builds nothing, so build it "
                  "first with ./build.sh test (from the repository root)"
                  % (script, os.path.relpath(path, REPO)), file=sys.stderr)
            sys.exit(2)


def modules_found(script, modules, advice):
    """Puts the build tree's module first on the path and looks the modules
    up; names the missing ones, with advice, and returns False if any is."""
    sys.path.insert(0, PYTHON_TREE)
    missing = [module for module in modules if importlib.util.find_spec(module) is None]
    if missing:
        print("%s: no module %s; %s" % (script, ", ".join(missing), advice), file=sys.stderr)
        return False
    # Progress goes to standard error, results to standard output: keep them
    # in order when both land in one log.
    sys.stdout.reconfigure(line_buffering=True)
    return True


def report_failures(checks):
    for check in checks:
        if check.fatal:
            print("FAILED %s: %s" % (check.name, check.detail))
        elif not check.passed:
            print("SHORT OF TARGET (known shortfall, not fatal) %s: %s; %s"
                  % (check.name, check.detail, check.known))


def finish(tally, checks, seconds):
    """The closing lines, "took S s" on standard error and "TALLY: N passed,
    M failed" (", K known shortfalls" after it where there are any); returns
    the exit status, 1 if a check failed that is not a known shortfall."""
    passed = sum(check.passed for check in checks)
    fatal = sum(check.fatal for check in checks)
    known = len(checks) - passed - fatal
    print("took %.1f s" % seconds, file=sys.stderr)
    print("%s: %d passed, %d failed%s" % (tally, passed, fatal,
                                          ", %d known shortfalls" % known if known else ""))
    return 1 if fatal else 0
