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

- :func:`block` analyses a NumPy array (samples x columns), a pandas
  DataFrame or Series, keeping the column names;
- :func:`load` reads a data file exactly as the program does (comments,
  CR LF line ends, ``.gz`` files through ``gzip -dc``, every conversion
  rule) into an array, from a path or an open file;
- :func:`block_file` reads and analyses a file in one call, as the program
  does;
- :func:`equilibration` finds where each column's equilibrated part
  starts, and ``discard="auto"`` of :func:`block` and :func:`block_file`
  drops what comes before it;
- :class:`Result` holds every level's figures and the decisions, and
  :meth:`Result.report` gives the text the program prints; it pickles, and
  :meth:`Result.summary` and :meth:`Result.to_dict` give one row or one
  record per column.

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
program's error number in ``code`` and, for a bad field, its ``line``,
``column`` and ``text``; the program's warnings become one
:class:`VarblocWarning` per kind, and so does anything the program passes
over without a word (a read that ended without samples). The module never
prints and never ends the interpreter; Ctrl-C interrupts a long call.
Numbers are read and printed as in the C locale, whatever locale the
program has set.
"""

import codecs
import io
import os
import operator
import warnings

import numpy as np

from . import _core

__all__ = ["block", "block_file", "load", "equilibration", "Result", "AutomaticEstimate",
           "PairwiseLevels", "Equilibration", "VarblocError", "VarblocWarning", "MAX_COLUMNS"]

__version__ = "1.0"

#: Most columns one analysis takes.
MAX_COLUMNS = _core.MAX_COLUMNS

VarblocError = _core.VarblocError
VarblocError.__module__ = __name__
VarblocError.__doc__ = """Bad input, as the program reports it with a fatal error.

``code`` is the number the program prints ("Fatal error 70" gives 70) and
``str(error)`` its message without the frame, for example
``Non-numerical data in line 3 column 1 (columns count from 0)``.

Where the message names them, ``line`` (counted as in the message, comment
lines included) and ``column`` (from 0, skipped columns included) are
ints, else None: error 70 has both, error 100 the line. ``text`` is the
offending field of error 70 as read, cut at 40 bytes and decoded as UTF-8
(bytes that are not become U+FFFD), else None: it tells a UTF-8 byte-order
mark (``'\\ufeff1.0'``), a header (``'energy,pressure'``) and an ``@``
line (``'@'``) apart.
"""


class VarblocWarning(UserWarning):
    """A warning of a read or an analysis, once per kind.

    Issued by :func:`load`, :func:`block_file` and :func:`block`; the
    results of the last two also keep them, in :attr:`Result.warnings`.

    Attributes
    ----------
    code : int
        The number the program prints ("Warning 110" gives 110; 65 for a
        decompressor that ended with a non-zero status or a signal), or 0
        for what the program passes over without a number: a read that
        ended without samples (with the program's own message), a failed
        decompressor of a read that ended before the program names it and,
        from :func:`block`, an array that looks transposed.
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


# What the module itself warns of, without one of the program's numbers.
_UNNUMBERED = 0

#: The number of the reader's warning (and error) for a decompressor that failed.
_DECOMPRESSOR_FAILED = 65


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
        self.reason = tuple(fields["reason"])
        self._freeze()

    def _freeze(self):
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
        self._freeze()

    def _freeze(self):
        for array in (self.block_sizes, self.counts, self.errors, self.correlations,
                      self.error_errors):
            array.flags.writeable = False

    def __repr__(self):
        largest = self.block_sizes[-1] if len(self.block_sizes) else 0
        return (f"<varbloc.PairwiseLevels: {len(self.block_sizes)} level(s), block sizes 1 to "
                f"{largest}>")


class Equilibration:
    """Where each column's equilibrated part starts.

    The start t0 is the candidate that maximises the effective number of
    samples of the rest of the chain, (n - t0) / tau(t0) (Chodera, J. Chem.
    Theory Comput. 12, 1799 (2016)). One block size per column, the
    automatic estimate's criterion level on the chain's second half, is
    held for every candidate; the candidates are about 1024 starts spaced
    evenly, and the whole search costs O(n) per column.

    Attributes
    ----------
    start : numpy.ndarray of int64
        Samples to discard per column; 0 where no search could be made.
    tau : numpy.ndarray
        The automatic estimate's tau on the samples from ``start`` on.
    ess : numpy.ndarray
        Its effective number of samples there; NaN with no search.
    block_size : numpy.ndarray of int64
        The block size held across the candidates; 0 with no search.
    reason : tuple of str
        "ok" where a search was made, else why not ("non-finite samples",
        "constant column", "values too large", "too few samples").
    candidates : numpy.ndarray of int64
        The starts tried, shared by the columns.
    ess_curve : numpy.ndarray
        Shape (candidates, columns): the effective samples after each
        candidate (with the held block size), NaN where the rest holds
        fewer than 32 blocks or 64 samples.
    """

    def __init__(self, fields):
        self.start = fields["start"]
        self.tau = fields["tau"]
        self.ess = fields["ess"]
        self.block_size = fields["block_size"]
        self.reason = tuple(fields["reason"])
        self.candidates = fields["candidates"]
        self.ess_curve = fields["ess_curve"]
        self._freeze()

    def _freeze(self):
        for array in (self.start, self.tau, self.ess, self.block_size, self.candidates,
                      self.ess_curve):
            array.flags.writeable = False

    def __repr__(self):
        return f"<varbloc.Equilibration: start {self.start}, reason {self.reason}>"


class Result:
    """The blocking analysis of every column.

    Per column, arrays of length ``columns``: ``mean`` to ``count``; per
    level (the samples themselves are level 0, block size 1): ``block_sizes``
    to ``level_error_errors``. A result pickles and copies (``report()``
    included), so it can come back from ``multiprocessing``.

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
    names : tuple
        A name per column: a DataFrame's column labels, a Series' name, the
        ``names`` given to :func:`block`, else 0, 1, 2, ...; used by
        :meth:`to_pandas`, :meth:`summary`, :meth:`to_dict` and the repr
        (:meth:`report` keeps the program's labels "col  0", ...).
    warnings : tuple of (int, str, int)
        Every warning of the call, as ``(code, message, count)``: the
        fields of :class:`VarblocWarning`, which the call also issued. They
        belong to this result alone, also when threads run at once.
    input : str, bytes or None
        What :func:`block_file` read: the path as given (``os.fspath``), or
        a file object's ``name``; None from :func:`block`.
    discarded : int
        Samples discarded before the analysis: the ``discard`` of
        :func:`block` or :func:`block_file`, or with ``discard="auto"`` the
        start found, the latest of the columns' starts.
    equilibration : Equilibration or None
        The search behind ``discard="auto"``, on every sample; None for an
        integer ``discard``. Its per-column ``tau`` and ``ess`` are at the
        column's own start, those of :attr:`automatic` at ``discarded``.
    decompressor_status : int or None
        For a ``.gz`` file read to its end, ``gzip``'s exit status, or minus
        the signal that ended it; None otherwise.

    A :func:`block_file` read that ended without samples gives a result of
    no columns and 0 samples, whose warnings carry the program's message.
    """

    def __init__(self, analysis, names=None, warnings=(), input=None, discarded=0,
                 decompressor_status=None, equilibration=None):
        self._analysis = analysis
        # The reports' texts, once the analysis is gone.
        self._report = self._automatic_report = None
        if analysis is None:  # a read that ended without samples
            self.samples = 0
            self.mean = self.error = self.correlation = np.empty(0)
            self.decorrelated = np.empty(0, dtype=bool)
            self.level = np.empty(0, dtype=np.intp)
            self.count = self.block_sizes = self.counts = np.empty(0, dtype=np.int64)
            self.level_errors = self.level_correlations = np.empty((0, 0))
            self._report = self._automatic_report = ""
            self.automatic = AutomaticEstimate({
                "error": np.empty(0), "error_error": np.empty(0),
                "block_size": np.empty(0, dtype=np.int64), "tau": np.empty(0),
                "ess": np.empty(0), "reliable": np.empty(0, dtype=bool), "reason": ()})
            self.pairwise = PairwiseLevels({
                "block_sizes": np.empty(0, dtype=np.int64), "counts": np.empty(0, dtype=np.int64),
                "errors": np.empty((0, 0)), "correlations": np.empty((0, 0)),
                "error_errors": np.empty((0, 0))})
        else:
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
            self.automatic = AutomaticEstimate(analysis.automatic)
            self.pairwise = PairwiseLevels(analysis.pairwise)
        pairs = (self.counts - 1).astype(float)[:, np.newaxis]
        with np.errstate(divide="ignore", invalid="ignore"):
            error_errors = self.level_errors / np.sqrt(2.0 * pairs)
        error_errors[np.broadcast_to(pairs == 0, error_errors.shape)] = np.nan
        self.level_error_errors = error_errors
        self.names = tuple(range(self.mean.size)) if names is None else tuple(names)
        self.warnings = tuple(warnings)
        self.input = input
        self.discarded = discarded
        self.decompressor_status = decompressor_status
        self.equilibration = equilibration
        self._freeze()

    def _freeze(self):
        for array in (self.mean, self.error, self.correlation, self.decorrelated, self.level,
                      self.count, self.block_sizes, self.counts, self.level_errors,
                      self.level_correlations, self.level_error_errors):
            array.flags.writeable = False
        self.automatic._freeze()
        self.pairwise._freeze()
        if self.equilibration is not None:
            self.equilibration._freeze()

    def __getstate__(self):
        # The compiled analysis does not pickle; the report is all that is
        # taken from it later, so its text goes instead.
        state = self.__dict__.copy()
        state["_report"] = self.report()
        state["_automatic_report"] = self.automatic_report()
        state["_analysis"] = None
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._freeze()

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
        if self._report is not None:
            return self._report
        return self._analysis.report()

    def automatic_report(self):
        """The table the program prints with ``--auto`` after the summary,
        headed "Automatic error estimate", byte for byte.

        Returns
        -------
        str
        """
        if self._automatic_report is not None:
            return self._automatic_report
        return self._analysis.automatic_report()

    def _names_array(self):
        """The names as a 1-D array (integers for the default names)."""
        if self.names == tuple(range(self.columns)):
            return np.arange(self.columns)
        names = np.empty(self.columns, dtype=object)
        names[:] = list(self.names)  # tuples as names stay whole
        return names

    def _per_column(self):
        """Every per-column field of summary() and to_dict(), in their order.

        The one place where the fields of a further estimate are added.
        """
        fields = {
            "name": self._names_array(),
            "mean": self.mean,
            "error": self.error,
            "correlation": self.correlation,
            "decorrelated": self.decorrelated,
            "level": self.level,
            "count": self.count,
            "automatic_error": self.automatic.error,
            "automatic_error_error": self.automatic.error_error,
            "automatic_block_size": self.automatic.block_size,
            "tau": self.automatic.tau,
            "ess": self.automatic.ess,
            "reliable": self.automatic.reliable,
            "reason": np.array(self.automatic.reason, dtype=object),
        }
        if self.equilibration is not None:
            fields["equilibration_start"] = self.equilibration.start
            fields["equilibration_tau"] = self.equilibration.tau
            fields["equilibration_ess"] = self.equilibration.ess
        return fields

    def summary(self):
        """One row per column, as the program's summary, with the names.

        Returns
        -------
        pandas.DataFrame
            Columns ``name``, ``mean``, ``error``, ``correlation``,
            ``decorrelated``, ``level`` and ``count`` (see the attributes),
            then the automatic estimate's ``automatic_error``,
            ``automatic_error_error``, ``automatic_block_size``, ``tau``,
            ``ess``, ``reliable`` and ``reason``, and after
            ``discard="auto"`` the search's ``equilibration_start``,
            ``equilibration_tau`` and ``equilibration_ess``.
        """
        import pandas as pd

        return pd.DataFrame(self._per_column())

    def to_dict(self):
        """The result in the layout of the program's ``--json`` record.

        Returns
        -------
        dict
            ``input``, ``samples``, ``discarded``, ``warnings`` (a list of
            ``{"code", "count", "first"}``), ``decompressor_status``,
            ``columns`` (a list with one dict per column: ``label``, the
            program's, the fixed fields of :meth:`summary`,
            ``automatic``, the estimate's fields as the record names
            them, and ``equilibration``, the search's ``start``, ``tau``
            and ``ess``, or None without one), ``pairwise_levels`` and
            ``levels``
            (``block_sizes``, ``counts``, and ``errors`` and
            ``correlations`` with one list per level). Plain Python values,
            every number exact; a NaN or an infinity stays a float (the
            record writes null).
        """
        fields = self._per_column()
        estimate_keys = {"automatic_error": "error", "automatic_error_error": "error_error",
                         "automatic_block_size": "block_size", "tau": "tau", "ess": "ess",
                         "reliable": "reliable", "reason": "reason"}
        estimates = {estimate_keys[key]: fields.pop(key).tolist() for key in estimate_keys}
        search_keys = {"equilibration_start": "start", "equilibration_tau": "tau",
                       "equilibration_ess": "ess"}
        searches = {search_keys[key]: fields.pop(key).tolist() for key in search_keys
                    if key in fields}
        per_column = {key: values.tolist() for key, values in fields.items()}
        labels = ["col %2d" % c for c in range(self.columns)]
        columns = [dict(zip(["label", *per_column], row))
                   for row in zip(labels, *per_column.values())]
        for c, column in enumerate(columns):
            column["automatic"] = {key: values[c] for key, values in estimates.items()}
            column["equilibration"] = ({key: values[c] for key, values in searches.items()}
                                       if self.equilibration is not None else None)
        return {
            "input": os.fsdecode(self.input) if self.input is not None else None,
            "samples": self.samples,
            "discarded": self.discarded,
            "warnings": [{"code": code, "count": count, "first": message}
                         for code, message, count in self.warnings],
            "decompressor_status": self.decompressor_status,
            "columns": columns,
            "levels": {
                "block_sizes": self.block_sizes.tolist(),
                "counts": self.counts.tolist(),
                "errors": self.level_errors.tolist(),
                "correlations": self.level_correlations.tolist(),
            },
            "pairwise_levels": {
                "block_sizes": self.pairwise.block_sizes.tolist(),
                "counts": self.pairwise.counts.tolist(),
                "errors": self.pairwise.errors.tolist(),
                "correlations": self.pairwise.correlations.tolist(),
            },
        }

    def to_pandas(self):
        """Every level of every column as one long table.

        Returns
        -------
        pandas.DataFrame
            Columns ``block_size``, ``count``, ``column`` (the column's
            name), ``error``, ``correlation`` and ``ladder``, one row per
            level and column, level by level: first the fixed levels
            (``ladder`` "fixed"), then the pairwise ones ("pairwise").
        """
        import pandas as pd

        names = self._names_array()

        def rows(ladder, block_sizes, counts, errors, correlations):
            levels = errors.shape[0]
            return pd.DataFrame({
                "block_size": np.repeat(block_sizes, self.columns),
                "count": np.repeat(counts, self.columns),
                "column": np.tile(names, levels),
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
        named = ""
        if self.names != tuple(range(self.columns)):
            shown = ", ".join(repr(name) for name in self.names[:4])
            named = f" ({shown}{', ...' if self.columns > 4 else ''})"
        reliable = int(np.count_nonzero(self.automatic.reliable))
        return (f"<varbloc.Result: {self.columns} column(s){named}, {self.samples} samples, "
                f"{len(self.block_sizes)} level(s); automatic estimate reliable for "
                f"{reliable} of {self.columns}>")


def _issue(found):
    """Issues the warnings of a call, (code, message, count) each, as
    VarblocWarning from the caller's caller."""
    for code, message, count in found:
        warnings.warn(VarblocWarning(code, count, message), stacklevel=3)


def _pandas_names(data):
    """The column names of a pandas DataFrame or Series, else None."""
    if not type(data).__module__.startswith("pandas."):
        return None
    if getattr(data, "ndim", None) == 2 and hasattr(data, "columns"):
        return tuple(data.columns)
    if getattr(data, "ndim", None) == 1 and getattr(data, "name", None) is not None:
        return (data.name,)
    return None


def _names(names, columns):
    names = tuple(range(columns)) if names is None else names
    if isinstance(names, (str, bytes)):
        raise TypeError("names must be a sequence with one name per column, not a string")
    names = tuple(names)
    if len(names) != columns:
        raise ValueError(f"names has {len(names)} name(s) for {columns} column(s)")
    return names


def _discard(value):
    """``discard`` of block and block_file checked: "auto", or an integer
    >= 0 (a bool is refused: ``True`` could be meant as "auto")."""
    if isinstance(value, str):
        if value != "auto":
            raise ValueError(f'discard must be an integer >= 0 or "auto", not {value!r}')
        return value
    if isinstance(value, (bool, np.bool_)):
        raise TypeError('discard must be an integer >= 0 or "auto", not bool')
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f'discard must be an integer >= 0 or "auto", not '
                        f'{type(value).__name__}') from None
    if number < 0:
        raise ValueError(f"discard must be >= 0, not {number}")
    return number


def block(data, names=None, discard=0):
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
        A pandas DataFrame or Series gives its column names.
    names : sequence, optional
        A name per column, for the result's :attr:`Result.names` (in place
        of a DataFrame's).
    discard : int or "auto"
        Leading samples left out: an integer k analyses ``data[k:]``
        (without a copy); "auto" runs :func:`equilibration` on every
        sample and leaves out those before the latest of the columns'
        starts, one count for all columns. The result then holds the
        figures of ``discard=result.discarded``, bit for bit, and the
        search in :attr:`Result.equilibration`.

    Returns
    -------
    Result

    Raises
    ------
    ValueError
        For a shape the analysis cannot take, values NumPy cannot convert,
        names that do not match the columns, a negative ``discard``, one
        that leaves no sample, or a string other than "auto".
    TypeError
        For a ``discard`` that is neither an integer nor a string (a
        float, a bool).
    KeyboardInterrupt
        When interrupted; nothing is left behind.

    Warns
    -----
    VarblocWarning
        When a 2-D array has more columns than samples per column: samples
        run along axis 0, so an array of walkers x steps (emcee's layout)
        is analysed as ``data.T``. Kept in :attr:`Result.warnings` too.
    """
    discard = _discard(discard)
    array, labels, two_dimensional = _as_samples(data)
    samples, columns = array.shape
    if columns > MAX_COLUMNS:
        hint = ""
        if samples <= MAX_COLUMNS:
            hint = (f"; samples run along axis 0: data.T analyses {samples} columns of "
                    f"{columns} samples (walkers x steps)")
        raise ValueError(f"data has {columns} columns; at most {MAX_COLUMNS} are analysed at "
                         f"once{hint}")
    names = _names(labels if names is None else names, columns)
    found = []
    if two_dimensional and columns > samples:
        found.append((_UNNUMBERED, f"data has {columns} columns of {samples} samples each: "
                      "samples run along axis 0, one row per sample; for an array of walkers "
                      "x steps use data.T", 1))
    array = _contiguous(array)
    search = None
    if discard == "auto":
        search = Equilibration(_core.equilibration(array))
        discard = int(search.start.max())  # the latest start leaves every column equilibrated
    elif discard >= samples:
        raise ValueError(f"discard={discard} leaves no sample of {samples}")
    # Rows sliced off the front: each column stays contiguous.
    result = Result(_core.block(array[discard:]), names, warnings=found, discarded=discard,
                    equilibration=search)
    _issue(found)
    return result


def _as_samples(data):
    """data as a 2-D array of samples x columns with at least one of each;
    also its column names or None, and whether it was 2-D."""
    labels = _pandas_names(data)
    array = np.asarray(data)
    two_dimensional = array.ndim == 2
    if array.ndim == 1:
        array = array.reshape(array.shape[0], 1)
    if array.ndim != 2:
        raise ValueError(f"data must be 1-D or 2-D (samples x columns), not {array.ndim}-D")
    samples, columns = array.shape
    if samples < 1:
        raise ValueError("data must hold at least one sample")
    if columns < 1:
        raise ValueError("data must hold at least one column")
    return array, labels, two_dimensional


def _contiguous(array):
    """A 2-D array as the core reads it: float64, each column contiguous and
    aligned."""
    contiguous_columns = array.shape[0] == 1 or array.strides[0] == array.itemsize
    if array.dtype != np.float64 or not contiguous_columns or not array.flags.aligned:
        # The one copy: converted and laid out column by column at once (the
        # core reads whole doubles, so values at an odd address are copied
        # too).
        array = np.array(array, dtype=np.float64, order="F")
    return array


def equilibration(data):
    """Find where each column's equilibrated part starts.

    Parameters
    ----------
    data : array_like
        As :func:`block` takes it: 1-D (one column) or 2-D (samples x
        columns).

    Returns
    -------
    Equilibration

    Raises
    ------
    ValueError
        For a shape the search cannot take.
    KeyboardInterrupt
        When interrupted.
    """
    return Equilibration(_core.equilibration(_contiguous(_as_samples(data)[0])))


def _count(value, name, smallest, largest):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < smallest or number > largest:
        raise ValueError(f"{name} must be in range [{smallest}, {largest}], not {number}")
    return number


def _descriptor_of(file):
    """The descriptor to read an open file from directly, or -1 to read it
    through its read().

    Only a plain file (FileIO, and the buffered and UTF-8 or ASCII text
    files around one) whose descriptor stands where the file object does:
    then nothing is buffered in Python that the descriptor would skip, and
    the bytes are those of the file. Anything else, pipes included, is read
    through read().
    """
    inner = file
    if type(inner) is io.TextIOWrapper:
        if codecs.lookup(inner.encoding).name not in ("utf-8", "ascii"):
            return -1
        inner = inner.buffer
    if type(inner) is io.BufferedReader:
        inner = inner.raw
    if type(inner) is not io.FileIO:
        return -1
    try:
        if not (file.readable() and file.seekable()):
            return -1
        descriptor = file.fileno()
        if file.tell() != os.lseek(descriptor, 0, os.SEEK_CUR):
            return -1
    except (OSError, ValueError):
        return -1
    return descriptor


def _reader_of(file):
    """read(size) -> bytes over a file object's read(); text is encoded as
    UTF-8 (with the bytes a surrogateescape decoding kept)."""
    read = file.read

    def read_bytes(size):
        data = read(size)
        if isinstance(data, bytes):
            return data
        if isinstance(data, str):
            return data.encode("utf-8", "surrogateescape")
        if isinstance(data, (bytearray, memoryview)):
            return bytes(data)
        raise TypeError(f"read() returned {type(data).__name__}, not bytes or str")

    return read_bytes


def _read(core, path, columns, skip_columns, discard, budget, *more):
    """Runs a read of the core (load or block_file) on a path or a file
    object, with the core's further arguments `more`; returns its answer and
    the input as given."""
    if columns is not None:
        columns = _count(columns, "columns", -2**31, 2**31 - 1)
    skip_columns = _count(skip_columns, "skip_columns", 0, 2**31 - 1)
    discard = _count(discard, "discard", 0, 2**31 - 1)
    budget = _count(budget, "budget", 1, 2**64 - 1)
    if isinstance(path, (str, bytes, os.PathLike)):
        name = os.fsencode(path)
        if b"\0" in name:
            # The reader takes a C string: the name would end at the null byte and
            # another file be read. open() refuses such a name the same way.
            raise ValueError("embedded null byte in path")
        return (core(name, columns, skip_columns, discard, budget, -1, None, *more),
                os.fspath(path))
    if not callable(getattr(path, "read", None)):
        raise TypeError("path must be a path or a file object with read(), "
                        f"not {type(path).__name__}")
    given = getattr(path, "name", None)
    given = given if isinstance(given, (str, bytes)) else None
    name = os.fsencode(given) if given is not None else f"<{type(path).__name__}>".encode()
    name = name.replace(b"\0", b"?")
    descriptor = _descriptor_of(path)
    if descriptor < 0:
        return (core(name, columns, skip_columns, discard, budget, -1, _reader_of(path), *more),
                given)
    try:
        return core(name, columns, skip_columns, discard, budget, descriptor, None, *more), given
    finally:
        # The core read past what the file object knows: it goes on from
        # where the descriptor stands.
        path.seek(os.lseek(descriptor, 0, os.SEEK_CUR))


def _notes(notes):
    """The warnings of a read, as (code, message, count), in the order they
    arose, and what else the read tells."""
    tallies, samples, discarded, status, early_end = notes
    found = [(code, first, count) for code, count, first in tallies]
    # The reader names a failed decompressor itself once the read ended;
    # where it did not (a read that ended before it), it is named here.
    told = any(code == _DECOMPRESSOR_FAILED for code, _, _ in found)
    if status is not None and status != 0 and not told:
        how = f"exit status {status}" if status > 0 else f"signal {-status}"
        found.append((_UNNUMBERED, f"the decompressor ended with {how}; {samples} samples "
                      "were read", 1))
    if early_end is not None:
        found.append((_UNNUMBERED, early_end.strip("\n"), 1))
    return found, discarded, status


_READ_PARAMETERS = """
    Parameters
    ----------
    path : str, bytes, os.PathLike or file object
        The data file; a name ending in ``.gz`` is read through
        ``gzip -dc``, and ``"STDIN"`` reads standard input's descriptor, as
        in the program. An open file (binary or text) or any object with
        ``read()`` (``io.StringIO``, ``sys.stdin``) is read from where it
        stands, with the same rules: a plain file straight from its
        descriptor, at the same speed as by name, anything else through
        ``read()`` (text as UTF-8), and is left open after what was read.
        Its content is taken as it is: ``.gz`` content is not
        decompressed (its first bytes stop the read with error 70); pass
        the name, or ``gzip.open(name)``.
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
"""

_READ_RAISES = """
    Raises
    ------
    VarblocError
        For input the program refuses, with its error number and message
        (a missing file is error 1, a bad field error 70 with its line,
        column and text).
    ValueError
        For a path with a null byte, or an argument out of range.
    TypeError
        For an argument of the wrong type, or a read() that returns
        neither bytes nor str.
    KeyboardInterrupt
        When interrupted; the file is closed and a decompressor stopped.
"""


def load(path, columns=None, skip_columns=0, discard=0, budget=_core.DEFAULT_BUDGET):
    (samples, notes), _ = _read(_core.load, path, columns, skip_columns, discard, budget)
    found, _, _ = _notes(notes)
    _issue(found)
    return samples


load.__doc__ = """Read a data file exactly as the program does.
""" + _READ_PARAMETERS + """
    Returns
    -------
    numpy.ndarray
        float64, shape (samples, columns), each column contiguous, held in
        the reader's own storage (no second copy of the samples). Where the
        program ends without an analysis and with status 0 (no samples
        read, no columns on the first data line, every column skipped), it
        has 0 rows.
""" + _READ_RAISES + """
    Warns
    -----
    VarblocWarning
        One per kind of warning the reader gave, with its first message
        and how often it occurred, warning 65 among them when a decompressor
        ended with a non-zero status or a signal, with how many samples were
        read (a ``.gz`` file cut short still gives what it holds, unless its
        last line lacks values: that is error 65); and one with the
        program's message when the read ended without samples.
"""


def _no_equilibration():
    """The search's fields for a read that ended without samples: no
    columns, no candidates."""
    return {"start": np.empty(0, dtype=np.int64), "tau": np.empty(0), "ess": np.empty(0),
            "block_size": np.empty(0, dtype=np.int64), "reason": (),
            "candidates": np.empty(0, dtype=np.int64), "ess_curve": np.empty((0, 0))}


def block_file(path, columns=None, skip_columns=0, discard=0, budget=_core.DEFAULT_BUDGET):
    discard = _discard(discard)
    automatic = discard == "auto"
    (analysis, notes, search), given = _read(_core.block_file, path, columns, skip_columns,
                                             0 if automatic else discard, budget, automatic)
    found, discarded, status = _notes(notes)
    if automatic:
        search = Equilibration(search if search is not None else _no_equilibration())
    result = Result(analysis, warnings=found, input=given, discarded=discarded,
                    decompressor_status=status, equilibration=search)
    _issue(found)
    return result


block_file.__doc__ = """Read and analyse a data file in one call, as the program does.

    The numbers are the program's, bit for bit: the samples are analysed
    where the reader stored them and released before the call returns.
    Safe to run in many threads at once: each result keeps its own
    warnings.
""" + _READ_PARAMETERS.replace("""
    discard : int
        Leading sample lines dropped (the program's ``-i``).
""", """
    discard : int or "auto"
        Leading sample lines dropped (the program's ``-i``); "auto" reads
        every sample, runs :func:`equilibration` on them and analyses
        those from the latest of the columns' starts on, one count for all
        columns: the figures of ``discard=result.discarded``, bit for bit,
        with the search in :attr:`Result.equilibration`.
""") + """
    Returns
    -------
    Result
        With ``warnings``, ``input``, ``discarded``,
        ``decompressor_status`` and, for ``discard="auto"``,
        ``equilibration`` set. Where the program ends without an
        analysis and with status 0, a result of no columns and 0 samples.
""" + _READ_RAISES + """
    Warns
    -----
    VarblocWarning
        As :func:`load`; each is also in :attr:`Result.warnings`.
"""
