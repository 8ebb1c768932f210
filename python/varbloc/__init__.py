"""Blocking error analysis of correlated samples.

varbloc estimates the mean of each column of a series of correlated
samples (a Monte Carlo or molecular-dynamics time series) and its standard
error, by the blocking method: the standard error and the lag-1 correlation
are computed on the samples, then on averages of blocks of 5, 10, 50, 100,
500, 1000, 5000, 10000 and 50000 samples, as long as more than 10 blocks
remain. The first level at which a column's lag-1 correlation falls below
0.1 is where it counts as decorrelated; that level's error is its error.

This module runs the same code as the ``varbloc`` program and gives the same
numbers, to the last bit:

- :func:`block` analyses a NumPy array (samples x columns);
- :func:`load` reads a data file exactly as the program does (comments,
  CR LF line ends, ``.gz`` files through ``gzip -dc``, every conversion
  rule) into an array;
- :class:`Result` holds every level's figures and the decisions, and
  :meth:`Result.report` gives the text the program prints.

Example
-------
>>> import numpy as np, varbloc
>>> rng = np.random.default_rng(1)
>>> x = np.empty(100_000)
>>> x[0] = 0.0
>>> noise = rng.standard_normal(x.size)
>>> for t in range(1, x.size):
...     x[t] = 0.9 * x[t - 1] + noise[t]
>>> result = varbloc.block(x)
>>> result.error            # doctest: +SKIP
array([0.0958...])

Bad input raises :class:`VarblocError` (a :class:`ValueError`) with the
program's error number in ``code``; the program's warnings become one
:class:`VarblocWarning` per kind. The module never prints and never ends
the interpreter; Ctrl-C interrupts a long call. Numbers are read and
printed as in the C locale, whatever locale the program has set.
"""

import os
import operator
import warnings

import numpy as np

from . import _core

__all__ = ["block", "load", "Result", "AutomaticEstimate", "PairwiseLevels", "VarblocError",
           "VarblocWarning", "MAX_COLUMNS"]

__version__ = "1.0"

#: Most columns one analysis takes.
MAX_COLUMNS = _core.MAX_COLUMNS

VarblocError = _core.VarblocError
VarblocError.__module__ = __name__
VarblocError.__doc__ = """Bad input, as the program reports it with a fatal error.

``code`` is the number the program prints ("Fatal error 70" gives 70) and
``str(error)`` its message without the frame, for example
``Non-numerical data in line 3 column 1 (columns count from 0)``.
"""


class VarblocWarning(UserWarning):
    """A warning of the reader, once per kind after a :func:`load`.

    Attributes
    ----------
    code : int
        The number the program prints ("Warning 110" gives 110).
    count : int
        How many times it occurred.
    first : str
        The message of its first occurrence.
    """

    def __init__(self, code, count, first):
        text = first if count == 1 else f"{first} (and {count - 1} more like it)"
        super().__init__(text)
        self.code = code
        self.count = count
        self.first = first


class AutomaticEstimate:
    """The automatic error estimate of every column, and its verdict.

    The estimate extrapolates the errors of two adjacent pairwise levels
    (block sizes B and 2B, powers of two), sqrt(2 e(2B)^2 - e(B)^2), which
    removes the blocking error's 1/B shortfall; 2B is half the block size
    that the criterion of Lee, Kent and Needs (Phys. Rev. E 83, 066706,
    Eq. 14) picks, the smallest B' = 2^k with B'^3 > 2 n (e_k / e_0)^4.
    ``docs/validation.md`` measures it against the exact error and beside
    emcee and pymbar.

    Attributes
    ----------
    error : numpy.ndarray
        The estimated standard error of the mean; NaN for a column with a
        NaN or an infinity, or a constant one.
    error_error : numpy.ndarray
        The standard deviation of ``error``.
    block_size : numpy.ndarray of int
        2B, the larger block size the estimate rests on; 0 for none.
    tau : numpy.ndarray
        The integrated autocorrelation time in samples, as emcee and pymbar
        define it: error^2 = tau * sigma^2 / n.
    ess : numpy.ndarray
        Effective number of samples, n / tau.
    reliable : numpy.ndarray of bool
        True exactly where ``reason`` is "ok".
    reason : tuple of str
        Per column one of "ok", "non-finite samples", "constant column",
        "values too large", "too few samples" (under 64), "no plateau" (the
        errors still grow at the last level) and "chain too short for its
        tau" (under 32 blocks of 2B samples).
    """

    def __init__(self, fields):
        self.error = fields["error"]
        self.error_error = fields["error_error"]
        self.block_size = fields["block_size"]
        self.tau = fields["tau"]
        self.ess = fields["ess"]
        self.reliable = fields["reliable"]
        self.reason = fields["reason"]
        for array in (self.error, self.error_error, self.block_size, self.tau, self.ess,
                      self.reliable):
            array.flags.writeable = False

    def __repr__(self):
        return (f"<varbloc.AutomaticEstimate: error {np.array2string(self.error, precision=4)}, "
                f"reason {self.reason}>")


class PairwiseLevels:
    """The pairwise blocking levels of every column: level k holds the
    averages of consecutive pairs of level k - 1 (an odd last value
    dropped), blocks of 2^k samples; level 0 is the samples.

    Attributes
    ----------
    block_sizes : numpy.ndarray of int
        1, 2, 4, ...: every level with at least 2 values.
    counts : numpy.ndarray of int
        Values per column at each level.
    errors : numpy.ndarray, shape (levels, columns)
        Standard error of the mean at each level.
    correlations : numpy.ndarray, shape (levels, columns)
        Lag-1 correlation at each level.
    error_errors : numpy.ndarray, shape (levels, columns)
        error / sqrt(2 (count - 1)).
    """

    def __init__(self, fields):
        self.block_sizes = fields["block_sizes"]
        self.counts = fields["counts"]
        self.errors = fields["errors"]
        self.correlations = fields["correlations"]
        self.error_errors = fields["error_errors"]
        for array in (self.block_sizes, self.counts, self.errors, self.correlations,
                      self.error_errors):
            array.flags.writeable = False

    def __repr__(self):
        return (f"<varbloc.PairwiseLevels: {len(self.block_sizes)} level(s), block sizes 1 to "
                f"{self.block_sizes[-1]}>")


class Result:
    """The blocking analysis of every column.

    Per column, arrays of length ``columns``: ``mean`` to ``count``; per
    level (the samples themselves are level 0, block size 1): ``block_sizes``
    to ``level_error_errors``.

    Attributes
    ----------
    mean : numpy.ndarray
        The mean of all samples.
    error : numpy.ndarray
        The final standard error of the mean: at the deciding level.
    correlation : numpy.ndarray
        The lag-1 correlation at the deciding level.
    decorrelated : numpy.ndarray of bool
        Whether the correlation fell below 0.1 at some level.
    level : numpy.ndarray of int
        Index (into ``block_sizes``) of the deciding level: the first where
        the column decorrelated, else the last level.
    count : numpy.ndarray of int
        Values per column at the deciding level (the summary's "with N
        samples").
    block_sizes : numpy.ndarray of int
        Samples per block.
    counts : numpy.ndarray of int
        Values (samples or blocks) per column.
    level_errors : numpy.ndarray, shape (levels, columns)
        Standard error of the mean at each level.
    level_correlations : numpy.ndarray, shape (levels, columns)
        Lag-1 correlation at each level.
    level_error_errors : numpy.ndarray, shape (levels, columns)
        The usual uncertainty of each level's error estimate,
        error / sqrt(2 (count - 1)), for judging a plateau; NaN where
        count is 1. The program does not print it.
    samples : int
        Samples per column.
    automatic : AutomaticEstimate
        The automatic error estimate and its verdict, per column.
    pairwise : PairwiseLevels
        The pairwise levels (block sizes 1, 2, 4, ...) it rests on.
    """

    def __init__(self, analysis):
        self._analysis = analysis
        self.samples = analysis.samples
        self.mean = analysis.mean
        self.error = analysis.error
        self.correlation = analysis.correlation
        self.decorrelated = analysis.decorrelated
        self.level = analysis.level.astype(np.intp)
        self.count = analysis.count
        self.block_sizes = analysis.block_sizes
        self.counts = analysis.counts
        self.level_errors = analysis.level_errors
        self.level_correlations = analysis.level_correlations
        pairs = (self.counts - 1).astype(float)[:, np.newaxis]
        with np.errstate(divide="ignore", invalid="ignore"):
            error_errors = self.level_errors / np.sqrt(2.0 * pairs)
        error_errors[np.broadcast_to(pairs == 0, error_errors.shape)] = np.nan
        self.level_error_errors = error_errors
        for array in (self.mean, self.error, self.correlation, self.decorrelated, self.level,
                      self.count, self.block_sizes, self.counts, self.level_errors,
                      self.level_correlations, self.level_error_errors):
            array.flags.writeable = False
        self.automatic = AutomaticEstimate(analysis.automatic)
        self.pairwise = PairwiseLevels(analysis.pairwise)

    @property
    def columns(self):
        """int: The number of columns."""
        return self.mean.size

    def report(self):
        """The text the program prints from the first level table to the end
        of the summary, byte for byte, with the labels "col  0", "col  1", ...

        Returns
        -------
        str
        """
        return self._analysis.report()

    def automatic_report(self):
        """The table the program prints with ``--auto`` after the summary,
        headed "Automatic error estimate", byte for byte.

        Returns
        -------
        str
        """
        return self._analysis.automatic_report()

    def to_pandas(self):
        """Every level of every column as one long table.

        Returns
        -------
        pandas.DataFrame
            Columns ``block_size``, ``count``, ``column``, ``error``,
            ``correlation`` and ``ladder``, one row per level and column,
            level by level: first the fixed levels (``ladder`` "fixed"),
            then the pairwise ones ("pairwise").
        """
        import pandas as pd

        def rows(ladder, block_sizes, counts, errors, correlations):
            levels, columns = errors.shape
            return pd.DataFrame({
                "block_size": np.repeat(block_sizes, columns),
                "count": np.repeat(counts, columns),
                "column": np.tile(np.arange(columns), levels),
                "error": errors.ravel(),
                "correlation": correlations.ravel(),
                "ladder": ladder,
            })

        pairwise = self.pairwise
        return pd.concat([
            rows("fixed", self.block_sizes, self.counts, self.level_errors,
                 self.level_correlations),
            rows("pairwise", pairwise.block_sizes, pairwise.counts, pairwise.errors,
                 pairwise.correlations),
        ], ignore_index=True)

    def __repr__(self):
        reliable = int(np.count_nonzero(self.automatic.reliable))
        return (f"<varbloc.Result: {self.columns} column(s), {self.samples} samples, "
                f"{len(self.block_sizes)} level(s); automatic estimate reliable for "
                f"{reliable} of {self.columns}>")


def block(data):
    """Blocking analysis of the columns of an array.

    Parameters
    ----------
    data : array_like
        Anything ``numpy.asarray(data, dtype=float64)`` accepts: 1-D (one
        column) or 2-D (samples x columns, as the columns of a data file),
        with at least one sample and at most :data:`MAX_COLUMNS` columns.
        The array is never modified. It is not copied when each column is
        contiguous (a 1-D array, Fortran order, or what :func:`load` gives)
        and the values are aligned in memory; otherwise it is copied once.

    Returns
    -------
    Result

    Raises
    ------
    ValueError
        For a shape the analysis cannot take, or values NumPy cannot
        convert.
    KeyboardInterrupt
        When interrupted; nothing is left behind.
    """
    array = np.asarray(data)
    if array.ndim == 1:
        array = array.reshape(array.shape[0], 1)
    if array.ndim != 2:
        raise ValueError(f"data must be 1-D or 2-D (samples x columns), not {array.ndim}-D")
    samples, columns = array.shape
    if samples < 1:
        raise ValueError("data must hold at least one sample")
    if columns < 1:
        raise ValueError("data must hold at least one column")
    if columns > MAX_COLUMNS:
        raise ValueError(f"data has {columns} columns; at most {MAX_COLUMNS} are analysed at once")
    contiguous_columns = samples == 1 or array.strides[0] == array.itemsize
    if array.dtype != np.float64 or not contiguous_columns or not array.flags.aligned:
        # The one copy: converted and laid out column by column at once (the
        # core reads whole doubles, so values at an odd address are copied
        # too).
        array = np.array(array, dtype=np.float64, order="F")
    return Result(_core.block(array))


def _count(value, name, smallest, largest):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < smallest or number > largest:
        raise ValueError(f"{name} must be in range [{smallest}, {largest}], not {number}")
    return number


def load(path, columns=None, skip_columns=0, discard=0, budget=_core.DEFAULT_BUDGET):
    """Read a data file exactly as the program does.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        The data file; a name ending in ``.gz`` is read through
        ``gzip -dc``, and ``"STDIN"`` reads standard input, as in the
        program.
    columns : int, optional
        The number of columns to use (the program's second argument);
        by default the first data line decides.
    skip_columns : int
        Leading fields ignored on every line (the program's ``-c``).
    discard : int
        Leading sample lines dropped (the program's ``-i``).
    budget : int
        Bytes of storage for the samples (the program's storage budget:
        ``-a 3`` corresponds to ``budget=6_000_000_000``). Only the memory
        the samples fill is used.

    Returns
    -------
    numpy.ndarray
        float64, shape (samples, columns), each column contiguous, held in
        the reader's own storage (no second copy of the samples). Where the
        program ends without an analysis and with status 0 (no samples
        read, no columns on the first data line), it has 0 rows.

    Raises
    ------
    VarblocError
        For input the program refuses, with its error number and message
        (a missing file is error 1, a bad field error 70 with its line).
    ValueError
        For a path with a null byte, or an argument out of range.
    TypeError
        For an argument of the wrong type.
    KeyboardInterrupt
        When interrupted; the file is closed and a decompressor stopped.

    Warns
    -----
    VarblocWarning
        One per kind of warning the reader gave, with its first message
        and how often it occurred.
    """
    name = os.fsencode(path)
    if b"\0" in name:
        # The reader takes a C string: the name would end at the null byte and
        # another file be read. open() refuses such a name the same way.
        raise ValueError("embedded null byte in path")
    if columns is not None:
        columns = _count(columns, "columns", -2**31, 2**31 - 1)
    skip_columns = _count(skip_columns, "skip_columns", 0, 2**31 - 1)
    discard = _count(discard, "discard", 0, 2**31 - 1)
    budget = _count(budget, "budget", 1, 2**64 - 1)
    samples, found = _core.load(name, columns, skip_columns, discard, budget)
    for code, count, first in found:
        warnings.warn(VarblocWarning(code, count, first), stacklevel=2)
    return samples
