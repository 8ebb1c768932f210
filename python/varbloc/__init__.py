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
  does, and :func:`block_files` one chain split over several files (a
  restarted simulation) in memory that does not grow with them;
- :class:`Accumulator` analyses a chain fed in chunks (and merged from
  segments filled apart) in memory that does not grow with it, and
  :func:`block` takes a Dask array, one state per chunk;
- :func:`equilibration` finds where each column's equilibrated part
  starts, and ``discard="auto"`` of :func:`block` and :func:`block_file`
  drops what comes before it;
- :class:`Result` holds every level's figures and the decisions, and
  :meth:`Result.report` gives the text the program prints; it pickles, and
  :meth:`Result.summary` gives one row per column, :meth:`Result.to_dict`
  the whole result in the layout of the program's ``--json`` record and
  :meth:`Result.to_json` that as JSON text.

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

from ._core import __version__  # the program's, from CMake
from ._accumulator import Accumulator
from ._blocking import block
from ._checks import MAX_COLUMNS
from ._equilibration import Equilibration, equilibration
from ._errors import VarblocError, VarblocWarning
from ._reading import block_file, block_files, load
from ._results import AutomaticEstimate, PairwiseLevels, Result

__all__ = ["block", "block_file", "block_files", "load", "Accumulator", "equilibration", "Result",
           "AutomaticEstimate", "PairwiseLevels", "Equilibration", "VarblocError",
           "VarblocWarning", "MAX_COLUMNS"]

# The public classes and functions are documented, shown and pickled as
# varbloc's, wherever in the package they are defined.
for _public in (block, block_file, block_files, load, Accumulator, equilibration, Result, AutomaticEstimate,
                PairwiseLevels, Equilibration, VarblocError, VarblocWarning):
    _public.__module__ = __name__
del _public
