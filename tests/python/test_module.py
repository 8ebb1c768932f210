"""The Python module against the program: the same numbers, digit for digit.

Run through CTest (tests/CMakeLists.txt), which sets PYTHONPATH to the built
package and VARBLOC_BINARY to the program.
"""

import concurrent.futures
import copy
import gzip
import io
import json
import locale
import math
import multiprocessing
import os
import pickle
import signal
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import varbloc

PROGRAM = os.environ.get("VARBLOC_BINARY", "varbloc")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(SOURCE, "examples", "ar1.dat")


def run_program(path, *options, cwd):
    """The program's standard error and analysis-file line on `path`."""
    analysis = os.path.join(cwd, "ana.dat")
    if os.path.exists(analysis):
        os.remove(analysis)
    done = subprocess.run([PROGRAM, "-o", "ana.dat", *options, path], cwd=cwd,
                          capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    with open(analysis) as file:
        line = file.read()
    return done.stderr.decode(), line


def write_columns(path, array):
    """Writes samples x columns with every bit of every value kept."""
    with open(path, "w") as file:
        for row in np.atleast_2d(array.T).T:
            file.write(" ".join(repr(float(v)) for v in row) + "\n")


def fixed(value):
    """A value as "%16.10f" prints it, read back ("-nan" and "nan" alike)."""
    return float("%.10f" % value)


def same_figures(analysis_line, result):
    """The analysis-file fields are the result's means and errors."""
    fields = [float(t) for t in analysis_line.split()]
    expected = [fixed(v) for pair in zip(result.mean, result.error) for v in pair]
    assert len(fields) == len(expected)
    for got, want in zip(fields, expected):
        assert got == want or (math.isnan(got) and math.isnan(want))


def arrays():
    """Arrays to compare, by name: edge counts, non-finite values, width."""
    rng = np.random.default_rng(7)
    ar1 = np.empty((3000, 3))
    ar1[0] = 0.0
    for t in range(1, len(ar1)):
        ar1[t] = [0.9, 0.5, -0.3] * ar1[t - 1] + rng.standard_normal(3)
    special = rng.standard_normal((120, 4))
    special[5, 0] = np.nan
    special[7, 1] = np.inf
    special[119, 2] = -np.inf  # after the last whole block of 50
    return {
        "one sample": np.array([[2.5, -1.0]]),
        "two samples": np.array([1.0, 4.0]),
        "ten samples": np.arange(10.0),
        "eleven samples": rng.standard_normal((11, 2)),
        "ar1": ar1,
        "nan and inf": special,
        "2048 columns": rng.standard_normal((12, varbloc.MAX_COLUMNS)),
    }


@pytest.mark.parametrize("name", list(arrays()))
def test_block_gives_the_programs_numbers(tmp_path, name):
    array = arrays()[name]
    before = array.copy()
    path = str(tmp_path / "data.dat")
    write_columns(path, array)
    err, line = run_program(path, cwd=tmp_path)
    result = varbloc.block(array)
    assert np.array_equal(array, before, equal_nan=True)  # the caller's array unchanged
    report = result.report()
    assert report.startswith("\nAverages for")
    assert err.endswith(report + "\n")
    same_figures(line, result)
    columns = 1 if array.ndim == 1 else array.shape[1]
    assert result.level_errors.shape == (len(result.block_sizes), columns)
    assert result.block_sizes[0] == 1
    assert np.array_equal(result.count, result.counts[result.level])


def test_example_result_and_long_table(tmp_path):
    err, line = run_program(EXAMPLE, cwd=tmp_path)
    result = varbloc.block(varbloc.load(EXAMPLE))
    assert err.endswith(result.report() + "\n")
    same_figures(line, result)
    # The summary's "with N samples" and the mark of undecided columns.
    for c in range(result.columns):
        summary = [l for l in err.splitlines() if l.startswith("col %2d:" % c)][-1]
        assert ("with %d samples" % result.count[c]) in summary
        assert ("not decorrelated" in summary) == (not result.decorrelated[c])
    table = result.to_pandas()
    assert list(table.columns) == ["block_size", "count", "column", "error", "correlation",
                                   "ladder"]
    fixed = table[table.ladder == "fixed"]
    assert len(fixed) == result.level_errors.size
    assert np.array_equal(fixed.error, result.level_errors.ravel())
    assert len(table) - len(fixed) == result.pairwise.errors.size
    # --auto adds the automatic table after the summary, nothing else.
    auto_err, auto_line = run_program(EXAMPLE, "--auto", cwd=tmp_path)
    assert auto_line == line
    assert auto_err == err[:-1] + result.automatic_report() + "\n"
    errors = result.level_error_errors
    assert np.allclose(errors, result.level_errors / np.sqrt(2 * (result.counts[:, None] - 1)))


def test_layouts_and_types_give_the_same_numbers():
    data = varbloc.load(EXAMPLE)
    assert data.flags.f_contiguous and data.strides[0] == 8
    reference = varbloc.block(data).report()
    # Read in place, copied once, or converted once: the same numbers.
    for layout in (np.ascontiguousarray(data), data[:, ::-1][:, ::-1], data.tolist(),
                   np.asfortranarray(np.hstack([data, data]))[:, :4]):
        assert varbloc.block(layout).report() == reference
    floats = data.astype(np.float32)
    assert varbloc.block(floats).report() == varbloc.block(floats.astype(np.float64)).report()
    # Values at an odd address are copied, with the same numbers.
    buffer = bytearray(data[:, 1].nbytes + 1)
    unaligned = np.frombuffer(buffer, dtype=np.float64, offset=1)
    unaligned[:] = data[:, 1]
    assert not unaligned.flags.aligned
    assert varbloc.block(unaligned).report() == varbloc.block(data[:, 1]).report()


@pytest.mark.parametrize("options, text", [
    ((), "# c\n1 2\n3 4\r\n#x\n5 6\n7 8\n"),
    (("-i", "2"), "1 2\n3 4\n5 6\n7 8\n9 10\n"),
    (("-c", "1"), "a 1 2\nb 3 4\nc 5 6\n"),
])
def test_load_reads_as_the_program(tmp_path, options, text):
    path = tmp_path / "data.dat"
    path.write_text(text)
    err, line = run_program(str(path), *options, cwd=tmp_path)
    keywords = {"-i": "discard", "-c": "skip_columns"}
    arguments = {keywords[o]: int(v) for o, v in zip(options[::2], options[1::2])}
    result = varbloc.block(varbloc.load(path, **arguments))
    assert err.endswith(result.report() + "\n")
    same_figures(line, result)
    gz = tmp_path / "data.dat.gz"
    gz.write_bytes(gzip.compress(text.encode()))
    assert np.array_equal(varbloc.load(gz, **arguments), varbloc.load(path, **arguments))


def no_child_processes():
    try:
        os.waitpid(-1, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


@pytest.mark.parametrize("compressed", [False, True])
def test_bad_field_raises_with_code_and_line(tmp_path, compressed):
    text = "1 2\n" * 50000 + "3 x\n" + "4 5\n" * 50000
    path = tmp_path / ("bad.dat.gz" if compressed else "bad.dat")
    path.write_bytes(gzip.compress(text.encode()) if compressed else text.encode())
    with pytest.raises(varbloc.VarblocError) as caught:
        varbloc.load(path)
    assert caught.value.code == 70
    assert str(caught.value) == "Non-numerical data in line 50001 column 1 (columns count from 0)"
    assert (caught.value.line, caught.value.column, caught.value.text) == (50001, 1, "x")
    assert isinstance(caught.value, ValueError)
    assert no_child_processes()  # the decompressor was stopped and reaped


def test_early_ends_and_warnings(tmp_path):
    cases = [("\n1 2\n", {}, (0, 0)), ("# only a comment\n", {}, (0, 0)), ("1 2 3\n", {}, (1, 3)),
             ("1 2 3\n4 5 6\n", {"skip_columns": 3}, (0, 0)),
             ("1 2 3\n4 5 6\n", {"discard": 5}, (0, 0))]
    for text, arguments, shape in cases:
        path = tmp_path / "data.dat"
        path.write_text(text)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert varbloc.load(path, **arguments).shape == shape
        # A read without samples says so, with the program's own message.
        flags = {"skip_columns": "-c", "discard": "-i"}
        options = [o for k, v in arguments.items() for o in (flags[k], str(v))]
        program = subprocess.run([PROGRAM, "-o", "/dev/null", *options, str(path)],
                                 capture_output=True, text=True, check=True)
        assert [str(w.message) in program.stderr for w in caught] == [True] * (shape[0] == 0)
    path.write_text("1 2\n3 4 5\n6 7 8\n9 10\n")
    with pytest.warns(varbloc.VarblocWarning) as caught:
        varbloc.load(path)
    assert len(caught) == 1
    warning = caught[0].message
    assert (warning.code, warning.count) == (110, 2)
    assert warning.first == "Inconsistent number of columns in line 2 (non-fatal)"
    with pytest.raises(varbloc.VarblocError) as missing:
        varbloc.load(tmp_path / "missing.dat")
    assert missing.value.code == 1


@pytest.mark.parametrize("data, error, text", [
    (np.zeros((2, 2, 2)), ValueError, "3-D"),
    (np.zeros(0), ValueError, "at least one sample"),
    (np.zeros((3, 0)), ValueError, "at least one column"),
    (np.zeros((3, varbloc.MAX_COLUMNS + 1)), ValueError, "2049 columns"),
    (np.zeros((3, varbloc.MAX_COLUMNS + 1)), ValueError, r"data\.T analyses 3 columns"),
    (["1.5", "x"], ValueError, "could not convert"),
    (5.0, ValueError, "0-D"),
    (None, TypeError, "not None"),
    (np.ma.masked_invalid([[1.0, 2.0], [np.nan, 3.0]]), ValueError, "1 masked value"),
    (lambda pandas: pandas.DataFrame({"e": pandas.array([1.5, None, 2.5], dtype="Float64")},
                                     index=[7, 8, 9]),
     ValueError, r"column 'e' \(Float64\) holds 1 pandas\.NA, the first in row 8"),
    (lambda pandas: pandas.Series([1, None, 2], dtype="Int64"), ValueError,
     r"column 0 \(Int64\) holds 1 pandas\.NA"),
])
def test_shapes_and_types_refused(data, error, text):
    if callable(data):
        data = data(pytest.importorskip("pandas"))
    with pytest.raises(error, match=text):
        varbloc.block(data)


def test_arguments_refused():
    for arguments, error in [({"discard": -1}, ValueError), ({"skip_columns": 1.5}, TypeError),
                             ({"budget": 0}, ValueError), ({"columns": "3"}, TypeError)]:
        with pytest.raises(error):
            varbloc.load(EXAMPLE, **arguments)
    for data, names, error in [(np.zeros((5, 2)), ["a"], ValueError),
                               (np.zeros(5), "energy", TypeError)]:
        with pytest.raises(error, match="names"):
            varbloc.block(data, names=names)
    with pytest.raises(TypeError, match="read"):
        varbloc.load(42)
    assert varbloc.block(["1.5", "2", "4"]).mean[0] == 2.5  # as NumPy converts
    # Nothing masked, nothing missing: the values as they are.
    assert varbloc.block(np.ma.masked_array([1.0, 2.0, 6.0])).mean[0] == 3.0
    # A null byte would end the name early and read another file.
    with pytest.raises(ValueError, match="null byte"):
        varbloc.load(EXAMPLE + "\0.gz")


def test_numbers_in_the_c_locale_whatever_the_callers(tmp_path):
    reference = varbloc.block(varbloc.load(EXAMPLE)).report()
    path = tmp_path / "data.dat"
    path.write_text("0x1.8p1 1.5e0\n2.25 -0.5\n3.5 nan\n")
    expected = varbloc.load(path)
    saved = locale.setlocale(locale.LC_NUMERIC)
    tried = []
    for name in ("de_DE.UTF-8", "fr_FR.UTF-8"):
        try:
            locale.setlocale(locale.LC_NUMERIC, name)
        except locale.Error:
            continue
        try:
            assert locale.localeconv()["decimal_point"] == ","
            assert varbloc.block(varbloc.load(EXAMPLE)).report() == reference
            assert np.array_equal(varbloc.load(path), expected, equal_nan=True)
            tried.append(name)
        finally:
            locale.setlocale(locale.LC_NUMERIC, saved)
    if not tried:
        pytest.skip("no German or French locale installed (Debian package locales-all)")


def test_threads_give_the_serial_results(tmp_path):
    rng = np.random.default_rng(3)
    paths = []
    for k in range(4):
        path = tmp_path / f"data{k}.dat"
        write_columns(str(path), rng.standard_normal((40000 + 1000 * k, 2)))
        paths.append(path)
    serial = [varbloc.block(varbloc.load(p)).report() for p in paths]
    parallel = [None] * len(paths)

    def work(k):
        parallel[k] = varbloc.block(varbloc.load(paths[k])).report()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(paths))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert parallel == serial


def test_ctrl_c_interrupts_a_load_promptly(tmp_path):
    fifo = str(tmp_path / "slow.dat")
    os.mkfifo(fifo)
    stop = threading.Event()

    def feed():  # a source that never ends, until its reader goes away
        try:
            with open(fifo, "w") as pipe:
                while not stop.is_set():
                    pipe.write("1 2\n" * 100)
                    pipe.flush()
                    time.sleep(0.01)
        except OSError:
            pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            varbloc.load(fifo)
        assert time.monotonic() - start < 1.5
    finally:
        stop.set()
        timer.cancel()
        try:  # the feeder may be blocked opening or writing the pipe
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        except OSError:
            pass
        feeder.join(timeout=5)


def ar1_chain(phi, n, seed):
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(n)
    x = np.empty(n)
    x[0] = noise[0] / math.sqrt(1 - phi * phi)
    for t in range(1, n):
        x[t] = phi * x[t - 1] + noise[t]
    return x


@pytest.mark.parametrize("name, data, reason", [
    ("one sample", [2.0], "too few samples"),
    ("two samples", [1.0, 2.0], "too few samples"),
    ("sixty-three samples", np.arange(63.0) % 7, "too few samples"),
    ("constant", [0.1] * 1000, "constant column"),
    ("a NaN", [1.0, 2.0] * 50 + [np.nan], "non-finite samples"),
    ("+inf", [1.0, 2.0] * 50 + [np.inf], "non-finite samples"),
    ("-inf", [-np.inf] + [1.0, 2.0] * 50, "non-finite samples"),
    ("sums overflow", [1.7e308, 1.7e308, 1.0] * 30, "values too large"),
    ("random walk", np.random.default_rng(2).standard_normal(20000).cumsum(), "no plateau"),
    ("short AR(1), 20 tau", ar1_chain(0.99, 4000, 3), "chain too short for its tau"),
    ("AR(1), 1000 tau", ar1_chain(0.99, 200_000, 5), "ok"),
    ("start-up transient left in",
     ar1_chain(0.9, 100_000, 6) + 20 / math.sqrt(1 - 0.81) * np.exp(-np.arange(100_000) / 1000),
     "start-up transient: use --discard=auto"),
    ("independent", np.random.default_rng(4).standard_normal(100000), "ok"),
])
def test_automatic_verdicts(name, data, reason):
    automatic = varbloc.block(np.asarray(data, dtype=float)).automatic
    assert automatic.reason == (reason,), name
    assert automatic.reliable[0] == (reason == "ok"), name
    if reason in ("non-finite samples", "constant column", "values too large"):
        assert np.isnan(automatic.error[0]) and automatic.block_size[0] == 0, name
    if reason == "ok":
        # tau within 5 of its claimed deviations of the true one (1 for
        # independent samples, (1 + phi) / (1 - phi) for AR(1)).
        tau = 199.0 if name.startswith("AR(1)") else 1.0
        relative = 2 * automatic.error_error[0] / automatic.error[0]
        assert abs(automatic.tau[0] / tau - 1) < 5 * relative, name
        assert automatic.ess[0] == pytest.approx(len(data) / automatic.tau[0])


def one_column(samples):
    """One column of numbers: a .gz of it cut anywhere still reads."""
    return "".join("%d.25\n" % k for k in range(samples)).encode()


@pytest.mark.parametrize("content", [
    lambda text: gzip.compress(text)[:len(gzip.compress(text)) // 2],
    lambda text: text,
], ids=["cut short", "not compressed"])
def test_failed_decompressor_warns(tmp_path, content):
    path = tmp_path / "data.dat.gz"
    path.write_bytes(content(one_column(50000)))
    with pytest.warns(varbloc.VarblocWarning, match="exit status 1") as caught:
        samples = varbloc.load(path)
    assert "%d samples were read" % len(samples) in str(caught[0].message)
    result = varbloc.block_file(path)
    assert result.decompressor_status == 1 and result.samples == len(samples)
    assert result.warnings[0] == (65, str(caught[0].message), 1)  # the program's warning


@pytest.mark.parametrize("text, samples", [
    (b"1 2\n3 4\n5", None),    # the last line cut short: error 65, not error 100
    (b"1 2\n3 4\n5 6", 3),     # cut after its fields: read, with warning 65
    (b"1 2\n3 4\n", 2),        # cut on a line end
])
def test_cut_compressed_file_names_the_decompressor(tmp_path, text, samples):
    # A whole member, then the first bytes of another: gzip stops right after
    # `text` with exit status 1, as on a file cut short there.
    path = tmp_path / "data.dat.gz"
    path.write_bytes(gzip.compress(text) + gzip.compress(b"x")[:10])
    program = subprocess.run([PROGRAM, "-o", "/dev/null", str(path)], capture_output=True,
                             text=True)
    failed = ("The decompressor gzip failed (exit status 1): the input is cut or damaged; "
              "%d samples were read before it" % (samples or 2))
    if samples is None:
        with pytest.raises(varbloc.VarblocError) as caught:
            varbloc.load(path)
        assert (caught.value.code, str(caught.value)) == (65, failed)
        assert "Fatal error 65: %s.\n" % failed in program.stderr
        return
    with pytest.warns(varbloc.VarblocWarning) as caught:
        assert varbloc.load(path).shape == (samples, 2)
    assert [(w.message.code, str(w.message)) for w in caught] == [(65, failed)]
    assert "Warning 65: %s.\n" % failed in program.stderr and program.returncode == 0


def test_names_kept_and_a_transposed_array_warned_of():
    pandas = pytest.importorskip("pandas")
    data = varbloc.load(EXAMPLE)
    frame = pandas.DataFrame(data, columns=["phi=0", "phi=0.5", "phi=0.95", "phi=0.999"])
    result = varbloc.block(frame)
    assert result.names == tuple(frame.columns)
    summary = result.summary()
    assert list(summary["name"]) == list(frame.columns)
    assert np.array_equal(summary["error"], result.error)
    assert list(result.to_pandas()["column"][:4]) == list(frame.columns)
    assert varbloc.block(frame["phi=0.5"]).names == ("phi=0.5",)
    assert varbloc.block(data, names=["a", "b", "c", "d"]).names == ("a", "b", "c", "d")
    assert result.report() == varbloc.block(data).report()  # the program's labels
    walkers = np.random.default_rng(5).standard_normal((32, 2000))  # walkers x steps
    with pytest.warns(varbloc.VarblocWarning, match=r"data\.T") as caught:
        result = varbloc.block(walkers)
    assert result.warnings == ((0, str(caught[0].message), 1),)


@pytest.mark.parametrize("text, line, column, field", [
    ("\ufeff1.0 2.0\n3.0 4.0\n", 1, 0, "\ufeff1.0"),                  # a byte-order mark
    ("# run 7\nenergy,pressure\n1.0,2.0\n", 2, 0, "energy,pressure"),  # a CSV header
    ("# xvg\n@    title \"Energies\"\n0 1.5\n", 2, 0, "@"),             # an xmgrace line
    ("1 2\n3 x,y\tz\r\n", 2, 1, "x,y"),                                 # a CR LF line
    ("1 %s\n" % ("w" * 60), 1, 1, "w" * 40),                               # cut at 40 bytes
    ("1 2\n3\n", 2, None, None),                                        # error 100
])
def test_error_names_the_offending_text(tmp_path, text, line, column, field):
    path = tmp_path / "data.dat"
    path.write_text(text)
    with pytest.raises(varbloc.VarblocError) as caught:
        varbloc.load(path)
    assert (caught.value.line, caught.value.column, caught.value.text) == (line, column, field)
    assert ("line %d" % line) in str(caught.value)


def write_ragged(directory, k):
    """A file of 3000 + 100 k samples whose line 10 + k has a third field."""
    path = directory / f"ragged{k}.dat"
    lines = ["%d.5 %d\n" % (i, i % 7) for i in range(3000 + 100 * k)]
    lines[9 + k] = "1 2 3\n"
    path.write_text("".join(lines))
    return path


def test_block_file_results_travel(tmp_path):
    path = write_ragged(tmp_path, 0)
    with pytest.warns(varbloc.VarblocWarning):
        result = varbloc.block_file(path, discard=2)
    done = subprocess.run([PROGRAM, "-o", "/dev/null", "-i", "2", "--json", "run.jsonl",
                           str(path)], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert done.stderr.endswith(result.report() + "\n")
    record = json.loads((tmp_path / "run.jsonl").read_text())
    mine = result.to_dict()
    for key in ("input", "samples", "discarded", "warnings", "decompressor_status", "levels"):
        assert mine[key] == record[key], key
    for column, expected in zip(mine["columns"], record["columns"]):
        assert column["equilibration"] is None  # the record has no search
        assert {k: v for k, v in column.items() if k not in ("name", "equilibration")} == expected
    for copied in (pickle.loads(pickle.dumps(result)), copy.deepcopy(result)):
        assert copied.report() == result.report()
        assert copied.to_dict() == mine
        assert not copied.mean.flags.writeable


def test_pool_map_over_files(tmp_path):
    paths = [str(write_ragged(tmp_path, k)) for k in range(3)]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(varbloc.block_file, paths)
    for path, result in zip(paths, results):
        assert result.input == path
        assert result.report() == varbloc.block(varbloc.load(path)).report()


def test_block_file_in_threads_keeps_each_files_warnings(tmp_path):
    paths = [write_ragged(tmp_path, k) for k in range(4)]
    with warnings.catch_warnings(), concurrent.futures.ThreadPoolExecutor(4) as pool:
        warnings.simplefilter("ignore")
        results = list(pool.map(varbloc.block_file, paths))
    for k, result in enumerate(results):
        assert result.warnings == (
            (110, "Inconsistent number of columns in line %d (non-fatal)" % (10 + k), 1),)
        assert result.samples == 3000 + 100 * k


def test_load_from_file_objects(tmp_path):
    expected = varbloc.load(EXAMPLE)
    with open(EXAMPLE, "rb") as file:
        text = file.read()
    with open(EXAMPLE) as text_file, open(EXAMPLE, "rb") as binary_file:
        for source in (io.StringIO(text.decode()), io.BytesIO(text), text_file, binary_file):
            assert np.array_equal(varbloc.load(source), expected)
    with open(EXAMPLE, "rb") as file:  # read from where it stands: past the first sample
        for _ in range(3):  # two comment lines and a sample
            file.readline()
        assert np.array_equal(varbloc.load(file), expected[1:])
    compressed = io.BytesIO(gzip.compress(text))  # taken as it is: not decompressed
    with pytest.raises(varbloc.VarblocError, match="line 1 column 0"):
        varbloc.load(compressed)


def transient_chains(n, seed):
    """Two AR(1) columns (phi 0.9 and 0.5) with decaying offsets of
    different lengths, so that the columns' starts differ."""
    x = np.column_stack([ar1_chain(0.9, n, seed), ar1_chain(0.5, n, seed + 1)])
    t = np.arange(n)
    x[:, 0] += 20 * np.exp(-t / 300)
    x[:, 1] += 10 * np.exp(-t / 1000)
    return x


def test_auto_discard_is_the_latest_start(tmp_path):
    x = np.asfortranarray(transient_chains(12000, 11))
    search = varbloc.equilibration(x)
    auto = varbloc.block(x, discard="auto")
    start = int(search.start.max())
    assert search.start[0] != search.start[1] and start > 0
    assert auto.discarded == start and auto.samples == len(x) - start
    assert np.array_equal(auto.equilibration.start, search.start)
    assert np.array_equal(auto.equilibration.ess_curve, search.ess_curve, equal_nan=True)
    fixed_start = varbloc.block(x, discard=start)
    assert fixed_start.equilibration is None and fixed_start.discarded == start
    path = tmp_path / "transient.dat"
    write_columns(str(path), x)
    from_file = varbloc.block_file(path, discard="auto")
    assert from_file.discarded == start
    assert np.array_equal(from_file.equilibration.start, search.start)
    # Bit for bit the figures of the found start given as an integer, from
    # an array and from a file alike.
    for got, want in [(auto, fixed_start), (from_file, varbloc.block_file(path, discard=start)),
                      (from_file, auto)]:
        assert got.report() == want.report()
        assert got.automatic_report() == want.automatic_report()
        assert np.array_equal(got.automatic.error, want.automatic.error)
        assert np.array_equal(got.pairwise.errors, want.pairwise.errors)
    columns = from_file.to_dict()["columns"]
    assert auto.to_dict()["columns"] == columns  # the search in the array's record too
    assert [c["equilibration"]["start"] for c in columns] == search.start.tolist()
    assert list(from_file.summary()["equilibration_tau"]) == search.tau.tolist()
    for copied in (pickle.loads(pickle.dumps(from_file)), copy.deepcopy(from_file)):
        assert copied.to_dict() == from_file.to_dict()
        assert np.array_equal(copied.equilibration.ess_curve, search.ess_curve, equal_nan=True)
        assert not copied.equilibration.start.flags.writeable


def test_a_step_is_left_behind():
    noise = np.random.default_rng(12).standard_normal(20000)
    x = noise + np.where(np.arange(20000) < 3000, 4.0, 0.0)
    search = varbloc.equilibration(x)
    # Past the step the curve is flat within its noise: the start may sit a
    # few candidates on, never before it.
    step = search.candidates[1]
    assert 3000 <= search.start[0] < 3000 + 20 * step
    assert search.reason == ("ok",)
    assert varbloc.block(x, discard="auto").discarded == search.start[0]


@pytest.mark.parametrize("column, reason", [
    (np.full(5000, 0.25), "constant column"),
    (np.where(np.arange(5000) == 7, np.nan, 1.0 + np.arange(5000) % 3), "non-finite samples"),
    (np.array([2.0]), "too few samples"),
])
def test_no_search_starts_at_zero(column, reason):
    search = varbloc.equilibration(column)
    assert search.start[0] == 0 and search.block_size[0] == 0 and np.isnan(search.ess[0])
    assert search.reason == (reason,)
    result = varbloc.block(column, discard="auto")
    assert result.discarded == 0 and result.equilibration.reason == (reason,)
    assert result.report() == varbloc.block(column).report()


def test_bad_discard_refused(tmp_path):
    x = np.zeros(10)
    for discard, error in [(-1, ValueError), (10, ValueError), (1.0, TypeError),
                           (True, TypeError), ("Auto", ValueError), (None, TypeError)]:
        with pytest.raises(error, match="discard"):
            varbloc.block(x, discard=discard)
        if discard != 10:  # a file's discard past its end is the program's early end
            with pytest.raises(error, match="discard"):
                varbloc.block_file(EXAMPLE, discard=discard)
    # No samples left: an error for an array, whose length the caller knows;
    # for a file the program's end without samples, a warning.
    with pytest.raises(ValueError, match="no samples left: discard=10 of 10 samples"):
        varbloc.block(x, discard=10)
    path = tmp_path / "ten.dat"
    write_columns(str(path), x)
    with pytest.warns(varbloc.VarblocWarning, match="No samples read") as caught:
        result = varbloc.block_file(path, discard=10)
    assert result.columns == 0 and result.samples == 0
    assert result.warnings == ((0, str(caught[0].message), 1),)
    with pytest.raises(TypeError, match="discard"):
        varbloc.load(EXAMPLE, discard="auto")
    empty = tmp_path / "empty.dat"
    empty.write_text("# no samples yet\n")
    with pytest.warns(varbloc.VarblocWarning):
        result = varbloc.block_file(empty, discard="auto")
    assert result.discarded == 0 and result.equilibration.start.size == 0


def pipe_of(path):
    """The file's bytes through a pipe: not seekable, so read through read()."""
    with open(path, "rb") as file:
        data = file.read()
    reading, writing = os.pipe()
    feeder = threading.Thread(target=lambda: (os.write(writing, data), os.close(writing)))
    feeder.start()
    return os.fdopen(reading, "rb"), feeder


def after_first_line(path, **arguments):
    file = open(path, **arguments)
    file.readline()
    return file


@pytest.mark.parametrize("opener, from_descriptor", [
    (lambda p: open(p, "rb"), True),
    (lambda p: open(p, "rb", buffering=0), True),
    (lambda p: open(p, encoding="utf-8"), True),
    (lambda p: open(p, encoding="ascii"), True),
    (lambda p: open(p, encoding="latin-1"), False),  # the core reads UTF-8 bytes
    (lambda p: io.BytesIO(open(p, "rb").read()), False),
    (lambda p: after_first_line(p, mode="rb"), False),  # Python's buffer holds bytes ahead
    (lambda p: after_first_line(p, mode="rb", buffering=0), True),  # from where it stands
], ids=["binary", "unbuffered", "utf-8 text", "ascii text", "latin-1 text", "BytesIO",
        "buffered after a line", "unbuffered after a line"])
def test_plain_files_are_read_from_their_descriptor(tmp_path, monkeypatch, opener,
                                                    from_descriptor):
    path = tmp_path / "data.dat"
    lines = ["%d.5 %d\n" % (k, k % 7) for k in range(20000)]
    path.write_text("".join(lines))
    expected = varbloc.load(path)
    through_read = []
    reader_of = varbloc._reading._reader_of
    monkeypatch.setattr(varbloc._reading, "_reader_of",
                        lambda file: through_read.append(file) or reader_of(file))
    with opener(path) as file:
        skipped = 0 if file.tell() == 0 else 1
        assert np.array_equal(varbloc.load(file), expected[skipped:])
        assert (not through_read) == from_descriptor
        # The file object goes on where the read ended: at the end.
        assert file.read() in ("", b"")
        assert file.tell() == path.stat().st_size


def test_a_pipe_is_read_through_read(tmp_path, monkeypatch):
    path = tmp_path / "data.dat"
    path.write_text("".join("%d.5 %d\n" % (k, k % 7) for k in range(20000)))
    through_read = []
    reader_of = varbloc._reading._reader_of
    monkeypatch.setattr(varbloc._reading, "_reader_of",
                        lambda file: through_read.append(file) or reader_of(file))
    pipe, feeder = pipe_of(path)
    with pipe:
        assert np.array_equal(varbloc.load(pipe), varbloc.load(path))
    feeder.join()
    assert through_read == [pipe]


def test_records_of_non_finite_figures(tmp_path):
    """NaN and infinities are null in to_dict() and to_json(), as in the
    program's --json record, so that json.dumps gives JSON."""
    path = tmp_path / "special.dat"
    write_columns(str(path), arrays()["nan and inf"])
    subprocess.run([PROGRAM, "-o", "/dev/null", "--json", "run.jsonl", str(path)], cwd=tmp_path,
                   capture_output=True, check=True)
    record = json.loads((tmp_path / "run.jsonl").read_text())
    result = varbloc.block_file(path)
    mine = result.to_dict()
    assert None in mine["columns"][0]["automatic"].values()  # the NaN column has no estimate
    assert json.loads(json.dumps(mine, allow_nan=False)) == mine
    assert json.loads(result.to_json()) == mine
    assert "\n" not in result.to_json() and "NaN" not in result.to_json()
    for key in ("samples", "levels", "pairwise_levels"):
        assert mine[key] == record[key], key
    for column, expected in zip(mine["columns"], record["columns"]):
        assert {k: v for k, v in column.items() if k not in ("name", "equilibration")} == expected
