"""The blocking analysis of an array."""

from . import _core
from ._checks import MAX_COLUMNS, as_samples, contiguous, discard_of, names_of
from ._dask import dask_state, is_dask_array
from ._equilibration import Equilibration
from ._errors import UNNUMBERED, issue
from ._results import Result


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
        A pandas DataFrame or Series gives its column names. A Dask array
        is analysed where its chunks are: the state of each chunk along
        axis 0 (an :class:`Accumulator`) is computed by the scheduler Dask
        is set to use, in parallel, and the states are merged in the
        chain's order; the figures are those of the in-memory call within
        the agreement stated in :class:`Accumulator`'s Notes, not bit for
        bit. Dask is imported only for such an array.
    names : sequence, optional
        A name per column, for the result's :attr:`Result.names` (in place
        of a DataFrame's).
    discard : int or "auto"
        Leading samples left out: an integer k analyses ``data[k:]``
        (without a copy); "auto" runs :func:`equilibration` on every
        sample and leaves out those before the latest of the columns'
        starts, one count for all columns. The result then holds the
        figures of ``discard=result.discarded``, bit for bit, and the
        search in :attr:`Result.equilibration`. A Dask array takes an
        integer only.

    Returns
    -------
    Result

    Raises
    ------
    ValueError
        For a shape the analysis cannot take, values NumPy cannot convert,
        a masked array with masked values, a pandas nullable column
        holding ``pandas.NA``, names that do not match the columns, a
        negative ``discard``, one that leaves no samples, a string other
        than "auto", or "auto" for a Dask array. No samples left is an
        error here, where the array's length is known; :func:`load` and
        :func:`block_file` end a file's read without samples as the
        program does, with a warning.
    TypeError
        For ``data`` None, or a ``discard`` that is neither an integer nor
        a string (a float, a bool).
    KeyboardInterrupt
        When interrupted; nothing is left behind.

    Warns
    -----
    VarblocWarning
        When a 2-D array has more columns than samples per column: samples
        run along axis 0, so an array of walkers x steps (emcee's layout)
        is analysed as ``data.T``. Kept in :attr:`Result.warnings` too.
    """
    discard = discard_of(discard)
    if is_dask_array(data):
        return _block_dask(data, names, discard)
    array, labels, two_dimensional = as_samples(data)
    samples, columns = array.shape
    names, found = _columns_checked(samples, columns, labels if names is None else names,
                                    two_dimensional)
    array = contiguous(array)
    search = None
    if discard == "auto":
        # One call of the core: the search on every sample, then the
        # analysis from the latest of the columns' starts.
        analysis = _core.block(array, equilibrate=True)
        search = Equilibration(analysis.equilibration)
        discard = analysis.start
    elif discard >= samples:
        # A file's read ends here as the program does (a warning, no samples):
        # its length is not known before. An array's is: no samples left is a
        # mistake, as an array of no samples is.
        raise ValueError(f"no samples left: discard={discard} of {samples} samples")
    else:
        # Rows sliced off the front: each column stays contiguous.
        analysis = _core.block(array[discard:])
    result = Result(analysis, names, warnings=found, discarded=discard, equilibration=search)
    issue(found)
    return result


def _columns_checked(samples, columns, names, two_dimensional):
    """The names of an array's columns, checked with its shape, and the
    warning of an array that may be laid out the wrong way round."""
    if columns > MAX_COLUMNS:
        hint = ""
        if samples <= MAX_COLUMNS:
            hint = (f"; samples run along axis 0: data.T analyses {samples} columns of "
                    f"{columns} samples (walkers x steps)")
        raise ValueError(f"data has {columns} columns; at most {MAX_COLUMNS} are analysed at "
                         f"once{hint}")
    names = names_of(names, columns)
    found = []
    if two_dimensional and columns > samples:
        found.append((UNNUMBERED, f"data has {columns} columns of {samples} samples each: "
                      "samples run along axis 0, one row per sample; for an array of walkers "
                      "x steps use data.T", 1))
    return names, found


def _block_dask(data, names, discard):
    """block on a Dask array: one state per chunk along axis 0, computed by
    Dask's scheduler, merged in order; no equilibration search."""
    if data.ndim not in (1, 2):
        raise ValueError(f"data must be 1-D or 2-D (samples x columns), not {data.ndim}-D")
    samples = data.shape[0]
    columns = data.shape[1] if data.ndim == 2 else 1
    if samples != samples:
        raise ValueError("the Dask array's length is unknown: call data.compute_chunk_sizes() "
                         "first")
    if samples < 1 or columns < 1:
        raise ValueError("data must hold at least one sample and one column")
    names, found = _columns_checked(samples, columns, names, data.ndim == 2)
    if discard == "auto":
        raise ValueError('discard="auto" searches every sample in memory: pass an integer '
                         "discard for a Dask array, or block(data.compute(), "
                         'discard="auto")')
    if discard >= samples:
        raise ValueError(f"no samples left: discard={discard} of {samples} samples")
    state = dask_state(data, discard, columns)
    result = Result(state._state.result(), names, warnings=found, discarded=discard)
    issue(found)
    return result
