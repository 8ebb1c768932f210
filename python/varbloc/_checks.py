"""The checks and conversions of the arguments that the public functions
share: the samples as the core reads them, column names, counts and
``discard``."""

import operator

import numpy as np

from . import _core

#: Most columns one analysis takes.
MAX_COLUMNS = _core.MAX_COLUMNS


def pandas_names(data):
    """The column names of a pandas DataFrame or Series, else None."""
    if not type(data).__module__.startswith("pandas."):
        return None
    if getattr(data, "ndim", None) == 2 and hasattr(data, "columns"):
        return tuple(data.columns)
    if getattr(data, "ndim", None) == 1 and getattr(data, "name", None) is not None:
        return (data.name,)
    return None


def refuse_pandas_na(data):
    """Raises ValueError for pandas.NA in a nullable column (Float64, Int64,
    ...) of a DataFrame or Series, naming the column and the first row;
    NumPy's own message names neither."""
    if not type(data).__module__.startswith("pandas."):
        return
    frame = data.to_frame() if getattr(data, "ndim", None) == 1 else data
    for name, column in frame.items():
        if isinstance(column.dtype, np.dtype):
            continue  # a NumPy column: a NaN there is a value to analyse
        missing = column.isna().to_numpy()
        if missing.any():
            raise ValueError(f"column {name!r} ({column.dtype}) holds {missing.sum()} "
                             f"pandas.NA, the first in row {column.index[missing.argmax()]!r}: "
                             "drop them (.dropna()), fill them (.fillna(value)), or analyse "
                             "them as NaN (.astype(float))")


def names_of(names, columns):
    names = tuple(range(columns)) if names is None else names
    if isinstance(names, (str, bytes)):
        raise TypeError("names must be a sequence with one name per column, not a string")
    names = tuple(names)
    if len(names) != columns:
        raise ValueError(f"names has {len(names)} name(s) for {columns} column(s)")
    return names


def discard_of(value):
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


def as_samples(data, allow_empty=False):
    """data as a 2-D array of samples x columns with at least one of each
    (no samples too, with `allow_empty`); also its column names or None, and
    whether it was 2-D."""
    if data is None:
        raise TypeError("data must be an array of samples, not None")
    if isinstance(data, np.ma.MaskedArray) and np.ma.is_masked(data):
        # Analysing the values under the mask, or leaving them out of some
        # columns only, would be a silent choice: the caller makes it.
        raise ValueError(f"data is a masked array with {np.ma.count_masked(data)} masked "
                         "value(s); every sample is analysed: drop them (data.compressed() "
                         "for one column, data[~data.mask.any(axis=1)] for rows) or fill "
                         "them (data.filled(value))")
    refuse_pandas_na(data)
    labels = pandas_names(data)
    array = np.asarray(data)
    two_dimensional = array.ndim == 2
    if array.ndim == 1:
        array = array.reshape(array.shape[0], 1)
    if array.ndim != 2:
        raise ValueError(f"data must be 1-D or 2-D (samples x columns), not {array.ndim}-D")
    samples, columns = array.shape
    if samples < 1 and not allow_empty:
        raise ValueError("data must hold at least one sample")
    if columns < 1:
        raise ValueError("data must hold at least one column")
    return array, labels, two_dimensional


def contiguous(array):
    """A 2-D array as the core reads it: float64, each column contiguous and
    aligned."""
    contiguous_columns = array.shape[0] == 1 or array.strides[0] == array.itemsize
    if array.dtype != np.float64 or not contiguous_columns or not array.flags.aligned:
        # The one copy: converted and laid out column by column at once (the
        # core reads whole doubles, so values at an odd address are copied
        # too).
        array = np.array(array, dtype=np.float64, order="F")
    return array


def count_in_range(value, name, smallest, largest):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < smallest or number > largest:
        raise ValueError(f"{name} must be in range [{smallest}, {largest}], not {number}")
    return number
