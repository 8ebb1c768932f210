"""The streaming analysis: Accumulator, fed samples in chunks, merged with
the accumulators of the segments that follow, analysed at any time."""

import sys

import numpy as np

from . import _core
from ._checks import MAX_COLUMNS, as_samples, count_in_range, names_of
from ._results import Result


def _chunk_of(data, columns):
    """A chunk as the state reads it: float64 of shape (samples, columns),
    aligned, in any layout; None for a chunk of no samples."""
    array, _, two_dimensional = as_samples(data, allow_empty=True)
    if array.shape[0] == 0 and not two_dimensional:
        return None  # no samples, of any column
    if array.shape[1] != columns:
        if not two_dimensional:
            raise ValueError(f"a 1-D chunk is one column, and this accumulator has {columns}: "
                             f"pass shape (samples, {columns}) (one sample: "
                             "chunk.reshape(1, -1))")
        hint = "; samples run along axis 0 (chunk.T?)" if array.shape[0] == columns else ""
        raise ValueError(f"chunk has {array.shape[1]} column(s), the accumulator "
                         f"{columns}{hint}")
    if array.shape[0] == 0:
        return None
    if array.dtype != np.float64 or not array.flags.aligned:
        # The one copy, of what the state could not read in place.
        array = np.array(array, dtype=np.float64, order="F")
    return array


class Accumulator:
    """The blocking analysis of a chain fed in chunks, in memory that does
    not grow with the chain.

    Each column keeps a state of about 5.9 kB: every fixed and pairwise
    level's complete blocks as moments, and the partial blocks at both ends
    of the segment fed so far. Chunks of any length can be added, and the
    accumulator of the segment that follows merged in, in any split: the
    result is that of :func:`block` on the concatenated samples.

    Parameters
    ----------
    columns : int
        The number of columns, 1 to :data:`MAX_COLUMNS`.
    names : sequence, optional
        A name per column, for the result's :attr:`Result.names`.
    start : int, keyword-only
        The chain's index of the first sample this accumulator will be fed
        (default 0). Blocks are laid from the chain's first sample, so the
        accumulator of a later segment, filled apart (in another process),
        must know where it starts: the accumulator of ``x[k:]`` is made
        with ``start=k`` and merged after the one of ``x[:k]``.

    Notes
    -----
    The figures of :meth:`result` equal those of :func:`block` on the same
    samples to about 1e-15 relative, not bit for bit: the state adds in
    another order (chunk by chunk, then by merges) and about each level's
    own mean rather than the column's. Where sums cancel the difference
    grows: at most 1e-12 relative on levels of 16 blocks or more (every
    level the automatic estimate can settle at) and on the mean (relative
    to the samples' spread), 1e-10 on the top few pairwise levels of 2 to
    15 blocks. A decision that falls within such a difference of its
    threshold can therefore differ. Sums run around each column's first
    sample, so a column of large values with a small spread (energies near
    -12345.6 with spread 0.01) keeps digits that the in-memory analysis's
    raw block sums lose; a column whose every sample is the same has an
    error of exactly 0.

    An accumulator pickles (its states as bytes, about 5.9 kB per column,
    with a format number that a build with another state layout refuses),
    so states travel to other processes on machines of the same byte
    order. It may be fed from several threads; chunks of 65,536 samples or
    more are fed without the interpreter's lock.

    Examples
    --------
    >>> import numpy as np, varbloc
    >>> x = np.random.default_rng(1).standard_normal((100_000, 2))
    >>> total = varbloc.Accumulator(2, names=["e", "m"])
    >>> for chunk in np.array_split(x, 7):
    ...     total.add(chunk)
    >>> len(total)
    100000
    >>> result = total.result()
    >>> bool(np.allclose(result.mean, varbloc.block(x).mean, rtol=1e-12, atol=0))
    True
    """

    def __init__(self, columns, names=None, *, start=0):
        columns = count_in_range(columns, "columns", 1, MAX_COLUMNS)
        start = count_in_range(start, "start", 0, 2**63 - 1)
        self._names = names_of(names, columns)
        self._state = _core.State(columns, start)

    @property
    def columns(self):
        """int: The number of columns."""
        return self._state.columns

    @property
    def names(self):
        """tuple: A name per column, as given, else 0, 1, 2, ..."""
        return self._names

    @property
    def start(self):
        """int: The chain's index of the first sample of this segment."""
        return self._state.offset

    def __len__(self):
        """The number of samples per column fed so far (merges included)."""
        return self._state.count

    def add(self, data):
        """Append the next samples of the chain.

        Parameters
        ----------
        data : array_like
            Samples x columns, as :func:`block` takes them: a 2-D array of
            shape (samples, columns), or for an accumulator of one column
            a 1-D array; a pandas DataFrame or Series; any number of
            samples, none included. A float64 array is read in place in
            any layout (a C-ordered chunk a tile of rows at a time); any
            other is converted once.

        Returns
        -------
        Accumulator
            This accumulator, so that calls chain.

        Raises
        ------
        ValueError
            For a chunk with another number of columns, a 1-D chunk for
            an accumulator of several, more than two dimensions, values
            NumPy cannot convert, masked values or ``pandas.NA``.
        TypeError
            For ``data`` None.
        """
        array = _chunk_of(data, self.columns)
        if array is not None:
            self._state.add(array)
        return self

    def merge(self, other):
        """Append the segment of another accumulator: the samples that
        follow this one's.

        Parameters
        ----------
        other : Accumulator
            With the same number of columns, made with ``start`` at this
            accumulator's ``start + len(self)`` (an empty one is taken
            wherever it starts). It is left as it was.

        Returns
        -------
        Accumulator
            This accumulator, so that calls chain.

        Raises
        ------
        ValueError
            For another column count, an accumulator that does not start
            where this one ends, or this accumulator itself.
        TypeError
            For anything but an Accumulator.
        """
        if not isinstance(other, Accumulator):
            raise TypeError(f"merge takes an Accumulator, not {type(other).__name__}")
        if other is self:
            raise ValueError("an accumulator cannot be merged with itself")
        if other.columns != self.columns:
            raise ValueError(f"cannot merge an accumulator of {other.columns} column(s) into "
                             f"one of {self.columns}")
        if len(other) > 0 and other.start != self.start + len(self):
            raise ValueError(f"the merged accumulator starts at sample {other.start}, this one "
                             f"ends before sample {self.start + len(self)}: merge the segments "
                             "in the chain's order, each made with start= its first sample")
        self._state.merge(other._state)
        return self

    def result(self):
        """The blocking analysis of every sample fed.

        Returns
        -------
        Result
            What :func:`block` gives on the concatenated samples, with
            the automatic estimate, within the agreement of the class's
            Notes; its :meth:`Result.report` prints through the program's
            formats. The accumulator can be fed on afterwards.

        Raises
        ------
        ValueError
            For an accumulator without samples, or one of a segment that
            does not start at the chain's sample 0 (merge it after the
            accumulators before it).
        """
        if self.start != 0:
            raise ValueError(f"this accumulator holds the samples from {self.start} on: merge "
                             "it after the accumulators of the samples before it")
        if len(self) == 0:
            raise ValueError("the accumulator holds no samples yet")
        return Result(self._state.result(), self._names)

    def __getstate__(self):
        return {"format": _core.STATE_FORMAT, "state_size": _core.STATE_SIZE,
                "byteorder": sys.byteorder, "names": self._names,
                "states": self._state.to_bytes()}

    def __setstate__(self, state):
        format_ = state.get("format")
        if (format_ != _core.STATE_FORMAT or state.get("state_size") != _core.STATE_SIZE
                or state.get("byteorder") != sys.byteorder):
            raise ValueError(
                f"the pickled accumulator's states are of format {format_} "
                f"({state.get('state_size')} bytes a column, {state.get('byteorder')} endian), "
                f"this varbloc {_core.__version__} reads format {_core.STATE_FORMAT} "
                f"({_core.STATE_SIZE} bytes, {sys.byteorder} endian): unpickle it with the "
                "varbloc that made it")
        self._state = _core.State.from_bytes(state["states"])
        self._names = names_of(state["names"], self._state.columns)

    def __repr__(self):
        named = ""
        if self._names != tuple(range(self.columns)):
            shown = ", ".join(repr(name) for name in self._names[:4])
            named = f" ({shown}{', ...' if self.columns > 4 else ''})"
        where = f" from sample {self.start}" if self.start else ""
        return (f"<varbloc.Accumulator: {self.columns} column(s){named}, {len(self)} "
                f"samples{where}>")
