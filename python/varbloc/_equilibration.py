"""Where each column's equilibrated part starts: the search and its result."""

import numpy as np

from . import _core
from ._checks import as_samples, contiguous


class Equilibration:
    """Where each column's equilibrated part starts.

    The start t0 is the candidate that maximises the effective number of
    samples of the rest of the chain, (n - t0) / tau(t0) (Chodera, J. Chem.
    Theory Comput. 12, 1799 (2016)). One block size per column, that of
    Lee, Kent and Needs' criterion level on the chain's second half (at
    least 4), is held for every candidate; the candidates are about 1024 starts spaced
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
    return Equilibration(_core.equilibration(contiguous(as_samples(data)[0])))


def no_equilibration():
    """The search's fields for a read that ended without samples: no
    columns, no candidates."""
    return {"start": np.empty(0, dtype=np.int64), "tau": np.empty(0), "ess": np.empty(0),
            "block_size": np.empty(0, dtype=np.int64), "reason": (),
            "candidates": np.empty(0, dtype=np.int64), "ess_curve": np.empty((0, 0))}
