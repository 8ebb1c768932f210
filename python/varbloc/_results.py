"""What an analysis gives: Result, with the automatic estimate and the
pairwise levels it rests on."""

import json
import os

import numpy as np

# The JSON text of a read that ended without samples, for which the core
# wrote none: no columns, and ladders without levels.
_NO_ANALYSIS_JSON = json.dumps({
    "columns": [],
    "levels": {"block_sizes": [], "counts": [], "errors": [], "correlations": []},
    "pairwise_levels": {"block_sizes": [], "counts": [], "errors": [], "correlations": []},
})


class AutomaticEstimate:
    """The automatic error estimate of every column, and its verdict.

    At a pairwise level of block size B with m block means, error e_B and
    lag-1 correlation r_B, v(B) = e_B^2 (1 + 2 r_B) (m - 1) / (m - 3)
    estimates the variance of the mean with a flat-top window (Politis and
    Romano, J. Time Ser. Anal. 16, 67 (1995)): the autocovariances count
    whole up to lag B and fade out by 2B, so the estimate carries no 1/B
    shortfall. B is the smallest 2^k, k >= 1, at least 1.5 times the tau
    read one and two levels up (Sokal's self-consistent window). This is the number
    to quote: ``docs/validation.md`` measures it against the exact error,
    beside emcee and pymbar, on the same chains.

    Attributes
    ----------
    error : numpy.ndarray
        The estimated standard error of the mean; NaN for a column with a
        NaN or an infinity, or a constant one.
    error_error : numpy.ndarray
        The standard deviation of ``error``, from the chosen level's block
        means: error / 2 * sqrt((K + 3) / (m - 1)), K their kurtosis.
    block_size : numpy.ndarray of int
        B, the block size the estimate rests on; 0 for none.
    tau : numpy.ndarray
        The integrated autocorrelation time in samples, as emcee and pymbar
        define it: error^2 = tau * sigma^2 / n.
    ess : numpy.ndarray
        Effective number of samples, n / tau.
    reliable : numpy.ndarray of bool
        True exactly where ``reason`` is "ok".
    reason : tuple of str
        Per column one of "ok", "non-finite samples", "constant column",
        "values too large", "too few samples" (under 64, or under 8 blocks
        of 4), "start-up transient: use --discard=auto" (a level's first
        block lies more than 6 standard deviations off its mean: pass
        ``discard="auto"``), "no plateau" (the errors grow without levelling
        off) and "chain too short for its tau" (no level as long as its
        window, or fewer than 50 tau samples, tau read one and two levels
        up).
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
        # The reports' and the JSON's texts, once the analysis is gone.
        self._report = self._automatic_report = self._json = None
        if analysis is None:  # a read that ended without samples
            self.samples = 0
            self.mean = self.error = self.correlation = np.empty(0)
            self.decorrelated = np.empty(0, dtype=bool)
            self.level = np.empty(0, dtype=np.intp)
            self.count = self.block_sizes = self.counts = np.empty(0, dtype=np.int64)
            self.level_errors = self.level_correlations = np.empty((0, 0))
            self.level_error_errors = np.empty((0, 0))
            self._report = self._automatic_report = ""
            self._json = _NO_ANALYSIS_JSON
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
            self.level_error_errors = analysis.level_error_errors
            self.automatic = AutomaticEstimate(analysis.automatic)
            self.pairwise = PairwiseLevels(analysis.pairwise)
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
        # The compiled analysis does not pickle; its texts (the reports and
        # the JSON) are all that is taken from it later, so they go instead.
        state = self.__dict__.copy()
        state["_report"] = self.report()
        state["_automatic_report"] = self.automatic_report()
        state["_json"] = self._result_json()
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

    def _result_json(self):
        """The core's JSON text of the analysis, as the program's --json
        record holds it: "columns", "levels" and "pairwise_levels"."""
        if self._json is not None:
            return self._json
        return self._analysis.to_json()

    def _names_array(self):
        """The names as a 1-D array (integers for the default names)."""
        if self.names == tuple(range(self.columns)):
            return np.arange(self.columns)
        names = np.empty(self.columns, dtype=object)
        names[:] = list(self.names)  # tuples as names stay whole
        return names

    def _per_column(self):
        """Every per-column field of summary(), in its order.

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
        """One row per column, the number to quote first.

        Returns
        -------
        pandas.DataFrame
            Columns ``name`` and ``mean``, then the automatic estimate and
            its verdict: ``automatic_error``, ``automatic_error_error``,
            ``reliable``, ``reason``, ``tau``, ``ess`` and
            ``automatic_block_size``; then the program's summary:
            ``error``, ``correlation``, ``decorrelated``, ``level`` and
            ``count`` (see the attributes); and after ``discard="auto"``
            the search's ``equilibration_start``, ``equilibration_tau`` and
            ``equilibration_ess``.
        """
        import pandas as pd

        fields = self._per_column()
        first = ["name", "mean", "automatic_error", "automatic_error_error", "reliable",
                 "reason", "tau", "ess", "automatic_block_size"]
        order = first + [key for key in fields if key not in first]
        return pd.DataFrame({key: fields[key] for key in order})

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
            every number exact; None for a NaN or an infinity, as the
            record writes null, so that ``json.dumps`` gives JSON. The
            columns and the levels are the core's JSON text, the very text
            the record holds, read back; ``name`` is added after ``label``.
        """
        record = {
            "input": os.fsdecode(self.input) if self.input is not None else None,
            "samples": self.samples,
            "discarded": self.discarded,
            "warnings": [{"code": code, "count": count, "first": message}
                         for code, message, count in self.warnings],
            "decompressor_status": self.decompressor_status,
        }
        # The analysis as the core writes it for the record, read back.
        record.update(json.loads(self._result_json()))
        columns = []
        for name, column in zip(self.names, record["columns"]):
            # The name is the module's own; the record leaves "equilibration"
            # out where no search was made.
            label = column.pop("label")
            column.setdefault("equilibration", None)
            columns.append({"label": label, "name": name, **column})
        record["columns"] = columns
        return record

    def to_json(self):
        """:meth:`to_dict` as JSON text, on one line in the record's compact
        form, every number exact and null for a NaN or an infinity.

        Returns
        -------
        str
            A name that JSON has no type for (a datetime, say) is written
            as ``str(name)``; a tuple as a list.
        """
        return json.dumps(self.to_dict(), separators=(",", ":"), allow_nan=False, default=str)

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
