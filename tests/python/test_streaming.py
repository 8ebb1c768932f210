"""The streaming analysis against the in-memory one: an Accumulator fed in
chunks or merged from segments, and a Dask array analysed chunk by chunk,
give what block gives on the whole array, within the states' agreement."""

import gzip
import pickle

import numpy as np
import pytest

import varbloc
from test_module import ar1_chain, arrays

# A state adds in another order and about each level's own mean: figures
# agree with the in-memory analysis to this relative difference (the mean's
# relative to the samples' spread and size), on every level of at least
# FULL_LEVEL_BLOCKS blocks, where the sums do not cancel deeply.
AGREEMENT = 1e-12
FULL_LEVEL_BLOCKS = 16


def streamed_arrays():
    """The module's arrays, and chains long enough for the fixed ladder's
    top levels, whose chunks reach the unlocked feeding and whose lengths
    fall around its block sizes; one far from zero with a small spread."""
    rng = np.random.default_rng(11)
    long = np.column_stack([ar1_chain(0.95, 200_003, 1), rng.standard_normal(200_003)])
    return {
        **arrays(),
        "long": long,
        "one past a block of 4096": rng.standard_normal((4097, 3)),
    }


def splits(n, rng):
    """Random cut points of n samples: empty pieces, single samples, long
    pieces."""
    cuts = np.sort(rng.integers(0, n + 1, size=rng.integers(1, 12)))
    return [int(c) for c in np.sort(np.concatenate([cuts, cuts[:1]]))]


def assert_agrees(result, reference, data, shift=0.0):
    """The figures of `result` are those of `reference` (block on `data`,
    or on data - shift) within AGREEMENT, its decisions the same."""
    data = data.reshape(len(data), -1)
    finite = np.isfinite(data).all(axis=0)
    mean = reference.mean + shift
    scale = np.abs(data - data[0]).max(axis=0) + np.abs(mean)
    close = np.abs(result.mean - mean) <= AGREEMENT * scale
    assert np.all(close[finite])
    # A mean of non-finite samples is not finite (an infinity's can be NaN
    # in a state, whose sums about its first sample meet inf - inf).
    assert not np.isfinite(result.mean[~finite]).any()
    ours, theirs = result.automatic, reference.automatic
    for got, want in [(result.error, reference.error), (ours.error, theirs.error),
                      (ours.tau, theirs.tau), (ours.ess, theirs.ess),
                      (result.correlation, reference.correlation)]:
        np.testing.assert_allclose(got, want, rtol=AGREEMENT, atol=0, equal_nan=True)
    full = reference.counts >= FULL_LEVEL_BLOCKS
    np.testing.assert_allclose(result.level_errors[full], reference.level_errors[full],
                               rtol=AGREEMENT, atol=0, equal_nan=True)
    assert result.samples == reference.samples
    assert np.array_equal(result.block_sizes, reference.block_sizes)
    for got, want in [(result.decorrelated, reference.decorrelated),
                      (result.level, reference.level), (result.count, reference.count),
                      (ours.block_size, theirs.block_size), (ours.reliable, theirs.reliable)]:
        assert np.array_equal(got, want)
    assert ours.reason == theirs.reason


@pytest.mark.parametrize("name", list(streamed_arrays()))
def test_chunked_and_merged_equal_block(name):
    data = streamed_arrays()[name]
    reference = varbloc.block(data)
    columns = reference.columns
    rng = np.random.default_rng(len(data))
    cuts = splits(len(data), rng)
    # Fed whole, C-ordered: gathered a tile at a time, without the
    # interpreter's lock when long.
    whole = varbloc.Accumulator(columns).add(np.ascontiguousarray(data))
    assert_agrees(whole.result(), reference, data)
    # Fed in chunks, C-ordered and as given.
    fed = varbloc.Accumulator(columns)
    for k, chunk in enumerate(np.split(data, cuts)):
        fed.add(np.ascontiguousarray(chunk) if k % 2 else chunk)
    assert len(fed) == len(data)
    assert_agrees(fed.result(), reference, data)
    # Filled apart, each segment knowing where it starts, merged in order.
    starts = [0] + cuts
    merged = varbloc.Accumulator(columns)
    for start, chunk in zip(starts, np.split(data, cuts)):
        merged.merge(varbloc.Accumulator(columns, start=start).add(chunk))
    assert_agrees(merged.result(), reference, data)


def test_large_offset_keeps_its_digits():
    # Energies near -12345.6 with a spread of 0.01: the in-memory analysis
    # sums the raw samples and loses digits of the small errors, the state
    # sums their deviations from the first sample, which are exact here
    # (Sterbenz: the difference of two doubles within a factor 2 of each
    # other is exact), so it agrees with block on those deviations. The mean
    # is block's, the raw sum over n, to the last bit.
    data = -12345.6 + 0.01 * ar1_chain(0.8, 50_001, 2)
    rng = np.random.default_rng(2)
    accumulator = varbloc.Accumulator(1)
    for chunk in np.split(data, splits(len(data), rng)):
        accumulator.add(chunk)
    result = accumulator.result()
    deviations = varbloc.block(data - data[0])
    assert_agrees(result, deviations, data, shift=data[0])
    assert result.mean[0] == varbloc.block(data).mean[0]


def test_result_reads_like_block_and_the_accumulator_goes_on():
    data = ar1_chain(0.9, 20_000, 3)
    accumulator = varbloc.Accumulator(1, names=["energy"]).add(data[:12_000])
    early = accumulator.result()
    assert early.names == ("energy",) and early.samples == 12_000
    accumulator.add(data[12_000:])
    result = accumulator.result()
    assert_agrees(result, varbloc.block(data), data)
    assert result.report() == varbloc.block(data).report()  # the same digits here
    assert repr(accumulator) == "<varbloc.Accumulator: 1 column(s) ('energy'), 20000 samples>"
    later = varbloc.Accumulator(1, start=20_000)
    assert repr(later) == "<varbloc.Accumulator: 1 column(s), 0 samples from sample 20000>"


def test_pickled_accumulator_goes_on_as_the_original():
    data = np.random.default_rng(5).standard_normal((9_000, 2))
    original = varbloc.Accumulator(2, names=["a", "b"]).add(data[:5_000])
    copy = pickle.loads(pickle.dumps(original))
    assert copy.names == ("a", "b") and len(copy) == 5_000
    for accumulator in (original, copy):
        accumulator.add(data[5_000:])
    assert copy.result().to_json() == original.result().to_json()
    # A segment pickled, unpickled and merged keeps its place in the chain.
    tail = pickle.loads(pickle.dumps(varbloc.Accumulator(2, start=5_000).add(data[5_000:])))
    head = varbloc.Accumulator(2).add(data[:5_000]).merge(tail)
    assert_agrees(head.result(), original.result(), data)


@pytest.mark.parametrize("change, text", [
    ({"format": varbloc._core.STATE_FORMAT + 1}, "format"),
    ({"state_size": varbloc._core.STATE_SIZE - 8}, "format"),
    ({"byteorder": "big" if np.little_endian else "little"}, "endian"),
    ({"states": b"\0" * 100}, "whole column states"),
])
def test_mismatched_pickle_refused(change, text):
    state = varbloc.Accumulator(2).add(np.ones((3, 2))).__getstate__()
    state.update(change)
    with pytest.raises(ValueError, match=text):
        varbloc.Accumulator.__new__(varbloc.Accumulator).__setstate__(state)


@pytest.mark.parametrize("call, error, text", [
    (lambda a: a.add(np.zeros(5)), ValueError, r"1-D chunk is one column.*reshape"),
    (lambda a: a.add(np.zeros((5, 2))), ValueError, "2 column"),
    (lambda a: a.add(np.zeros((3, 5))), ValueError, r"chunk\.T"),
    (lambda a: a.add(np.zeros((2, 3, 3))), ValueError, "3-D"),
    (lambda a: a.add(None), TypeError, "not None"),
    (lambda a: a.add(np.ma.masked_invalid([[np.nan, 1.0, 2.0]])), ValueError, "masked"),
    (lambda a: a.merge(varbloc.Accumulator(2)), ValueError, "2 column"),
    (lambda a: a.merge(a.add(np.ones((4, 3)))), ValueError, "itself"),
    (lambda a: a.add(np.ones((4, 3))).merge(varbloc.Accumulator(3, start=3).add(np.ones((1, 3)))),
     ValueError, "starts at sample 3.*before sample 4"),
    (lambda a: a.merge(np.ones((4, 3))), TypeError, "ndarray"),
    (lambda a: a.result(), ValueError, "no samples"),
    (lambda a: varbloc.Accumulator(3, start=7).add(np.ones((4, 3))).result(), ValueError,
     "from 7 on"),
    (lambda a: varbloc.Accumulator(0), ValueError, "columns"),
    (lambda a: varbloc.Accumulator(3, names=["x"]), ValueError, "names"),
])
def test_refused(call, error, text):
    with pytest.raises(error, match=text):
        call(varbloc.Accumulator(3))


def test_empty_chunks_and_segments_change_nothing():
    accumulator = varbloc.Accumulator(2).add(np.empty((0, 2))).add([])
    accumulator.merge(varbloc.Accumulator(2, start=99))  # empty: taken wherever it starts
    assert len(accumulator) == 0
    data = np.random.default_rng(4).standard_normal((300, 2))
    accumulator.add(data).add(np.empty((0, 2)))
    assert accumulator.result().to_json() == varbloc.Accumulator(2).add(data).result().to_json()


dask_array = pytest.importorskip("dask.array")


@pytest.mark.parametrize("chunks, discard", [
    ((((7_000, 0, 13_000, 1, 9_999)), (2,)), 0),  # uneven, an empty one, a single sample
    ((5_000, 1), 0),                               # columns split: joined for the states
    ((4_096, 2), 1_234),
])
def test_dask_array_equals_block(chunks, discard):
    import dask

    rng = np.random.default_rng(9)
    data = np.column_stack([ar1_chain(0.9, 30_000, 8), 100.0 + rng.standard_normal(30_000)])
    with dask.config.set(scheduler="threads"):
        result = varbloc.block(dask_array.from_array(data, chunks=chunks), names=["m", "e"],
                               discard=discard)
    reference = varbloc.block(data, discard=discard)
    assert result.names == ("m", "e") and result.discarded == discard
    assert_agrees(result, reference, data[discard:])


def test_dask_one_column_and_refusals():
    data = ar1_chain(0.5, 10_000, 4)
    lazy = dask_array.from_array(data, chunks=3_000)
    assert_agrees(varbloc.block(lazy), varbloc.block(data), data)
    with pytest.raises(ValueError, match="Dask array"):
        varbloc.block(lazy, discard="auto")
    with pytest.raises(ValueError, match="no samples left"):
        varbloc.block(lazy, discard=10_000)
    with pytest.raises(ValueError, match="3-D"):
        varbloc.block(dask_array.zeros((4, 2, 2)))
    with pytest.raises(ValueError, match="unknown"):
        varbloc.block(lazy[lazy > 0])


@pytest.mark.parametrize("processes", [False, True])
def test_dask_on_a_local_cluster(processes):
    distributed = pytest.importorskip("dask.distributed")
    data = np.random.default_rng(6).standard_normal((40_000, 2))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            result = varbloc.block(dask_array.from_array(data, chunks=(9_000, 2)))
    assert_agrees(result, varbloc.block(data), data)


def write_split(directory, text, cuts, compress_last=False):
    """The lines of `text` written to files split before the given lines,
    the last gzipped on request; their paths."""
    lines = text.splitlines(keepends=True)
    bounds = [0] + cuts + [len(lines)]
    paths = []
    for k in range(len(bounds) - 1):
        part = "".join(lines[bounds[k]:bounds[k + 1]])
        if compress_last and k == len(bounds) - 2:
            path = directory / f"part{k}.dat.gz"
            with gzip.open(path, "wt") as file:
                file.write(part)
        else:
            path = directory / f"part{k}.dat"
            path.write_text(part)
        paths.append(path)
    return paths


@pytest.mark.parametrize("cuts, compress_last", [([7001, 30000], False), ([1, 70000], True)])
def test_block_files_is_block_file_of_the_whole(tmp_path, cuts, compress_last):
    data = ar1_chain(0.9, 80_000, 4).reshape(-1, 2)
    text = "# a header\n" + "".join(f"{a!r} {b!r}\n" for a, b in data)
    whole = tmp_path / "whole.dat"
    whole.write_text(text)
    want = varbloc.block_file(whole, discard=5)
    got = varbloc.block_files(write_split(tmp_path, text, cuts, compress_last), discard=5)
    assert got.samples == want.samples and got.discarded == 5
    assert np.array_equal(got.mean, want.mean)
    assert_agrees(got, want, data[5:])
    assert got.report() == want.report()


def test_block_files_names_the_file_of_a_bad_line(tmp_path):
    text = "".join(f"{x!r}\n" for x in ar1_chain(0.5, 3000, 5))
    paths = write_split(tmp_path, text, [1000, 2000])
    lines = paths[1].read_text().splitlines(keepends=True)
    paths[1].write_text("".join(lines[:10] + ["x0.5\n"] + lines[10:]))
    with pytest.raises(varbloc.VarblocError) as caught:
        varbloc.block_files(paths)
    assert caught.value.code == 70 and caught.value.input == str(paths[1])
    assert caught.value.line == 11
    with pytest.raises(varbloc.VarblocError) as caught:  # a file of another column count
        paths[1].write_text("1 2\n3 4\n")
        varbloc.block_files([paths[1], paths[2]])
    assert caught.value.code == 100 and caught.value.input == str(paths[2])
