"""The analysis of a Dask array: one state per chunk along the samples,
filled where the chunk is, merged in the chain's order. Dask is imported
only when such an array is passed."""

import copy

from ._accumulator import Accumulator


def is_dask_array(data):
    """Whether data is a Dask array, told without importing Dask."""
    kind = type(data)
    return kind.__module__.startswith("dask.") and kind.__name__ == "Array"


def _chunk_state(chunk, columns, start):
    """The state of one chunk, the chain's samples from `start` on."""
    return Accumulator(columns, start=start).add(chunk)


def _joined(left, right):
    """The state of two consecutive segments; the inputs stay as they were,
    as a scheduler that retries a task needs them."""
    return copy.copy(left).merge(right)


def _merged_in_order(delayed, states):
    """One delayed state of the consecutive `states`, merged pairwise in a
    balanced tree: log2 of the chunks' count rounds of merges, each joining
    neighbours, so the order of the chain is kept."""
    while len(states) > 1:
        paired = [delayed(_joined)(states[i], states[i + 1])
                  for i in range(0, len(states) - 1, 2)]
        if len(states) % 2:
            paired.append(states[-1])
        states = paired
    return states[0]


def dask_state(data, discard, columns):
    """The Accumulator of the samples of a 1-D or 2-D Dask array from
    `discard` on, computed with the scheduler Dask is set to use."""
    import dask

    if data.ndim == 1:
        data = data.reshape((data.shape[0], 1))
    data = data[discard:]
    if any(size != size for size in data.chunks[0]):  # NaN: sizes not known
        raise ValueError("the Dask array's chunk sizes along axis 0 are unknown: call "
                         "data.compute_chunk_sizes() first")
    # Every column of a run of samples in one chunk: one state per chunk.
    data = data.rechunk({1: -1})
    pieces = data.to_delayed()[:, 0]
    states = []
    start = 0  # the analysed chain begins after the discarded samples
    for piece, size in zip(pieces, data.chunks[0]):
        states.append(dask.delayed(_chunk_state)(piece, columns, start))
        start += size
    (total,) = dask.compute(_merged_in_order(dask.delayed, states))
    return total
