"""The program's JSON record (--json) read back with Python's json module and
checked against the digits the program prints; with and without --json the
program's standard error and analysis file are the same bytes."""

import gzip
import json
import os
import re
import subprocess

import numpy as np
import pytest

PROGRAM = os.environ.get("VARBLOC_BINARY", "varbloc")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(SOURCE, "examples", "ar1.dat")
KEYS = ["schema", "version", "input", "options", "status", "code", "message"]


def run(arguments, cwd, stdin=b""):
    done = subprocess.run([PROGRAM, *arguments], cwd=cwd, input=stdin, capture_output=True,
                          check=False)
    return done.returncode, done.stderr


def summary_rows(stderr):
    text = stderr.decode()
    return text[text.index("\nSummary"):].splitlines()[3:]


def data_files(directory):
    rng = np.random.default_rng(11)
    special = rng.standard_normal((200, 3))
    special[3, 0], special[9, 1] = np.nan, np.inf
    with open(os.path.join(directory, "special.dat"), "w") as file:
        for row in special:
            file.write(" ".join(repr(float(v)) for v in row) + "\n")
    with open(os.path.join(directory, "wide.dat"), "w") as file:
        for row in rng.standard_normal((15, 2048)):
            file.write(" ".join("%.6f" % v for v in row) + "\n")
    odd_name = b'we"ird\nname\xff.dat'
    with open(os.path.join(os.fsencode(directory), odd_name), "w") as file:
        file.write("1 2\n3 5\n4 4\n")
    with open(os.path.join(directory, "lead.dat"), "w") as file:
        file.write("\n1 2\n")
    with open(os.path.join(directory, "bad.dat"), "w") as file:
        file.write("1 2\n3 4\n5 x\n")
    return odd_name


@pytest.mark.parametrize("name, arguments, stdin, status, code, columns", [
    ("example", [EXAMPLE], b"", "ok", None, 4),
    ("nan and inf", ["special.dat"], b"", "ok", None, 3),
    ("2048 columns", ["wide.dat"], b"", "ok", None, 2048),
    ("odd name", [None], b"", "ok", None, 2),
    ("standard input", ["-i", "1", "STDIN"], b"9 9\n1 2\n2 4\n", "ok", None, 2),
    ("early end", ["lead.dat"], b"", "early end", None, None),
    ("fatal error", ["bad.dat"], b"", "error", 70, None),
    ("missing file", ["missing.dat"], b"", "error", 1, None),
])
def test_record_of_each_run(tmp_path, name, arguments, stdin, status, code, columns):
    odd_name = data_files(str(tmp_path))
    arguments = [odd_name if a is None else a for a in arguments]
    plain_status, plain_err = run(["-o", "plain.ana", *arguments], tmp_path, stdin)
    json_status, json_err = run(["-o", "json.ana", "--json", "runs.jsonl", *arguments], tmp_path,
                                stdin)
    assert (json_status, json_err) == (plain_status, plain_err)
    if os.path.exists(tmp_path / "plain.ana"):
        assert (tmp_path / "plain.ana").read_bytes() == (tmp_path / "json.ana").read_bytes()
    lines = (tmp_path / "runs.jsonl").read_bytes().split(b"\n")
    assert len(lines) == 2 and lines[1] == b""  # one record, one line
    record = json.loads(lines[0])
    assert list(record)[:len(KEYS)] == KEYS
    assert record["status"] == status and record["code"] == code
    given = arguments[-1]
    expected_input = given.decode(errors="replace") if isinstance(given, bytes) else given
    assert record["input"] == expected_input
    assert record["options"]["analysis_file"] == "json.ana"
    if code is not None:
        assert record["message"] in plain_err.decode(errors="replace")
        assert record["columns"] == []
        # The place the message names, and the field there as the file has it.
        place = re.search(r"in line (\d+)(?: column (\d+))?", record["message"])
        line, column = place.groups() if place else (None, None)
        assert record["line"] == (line and int(line))
        assert record["column"] == (column and int(column))
        if column is not None:
            fields = (tmp_path / given).read_text().splitlines()[int(line) - 1].split()
            assert record["text"] == fields[int(column)][:40]
        else:
            assert record["text"] is None
        return
    if columns is None:
        assert record["message"] == "No columns found in first data line. Terminating."
        assert record["columns"] == []
        return
    assert record["message"] is None
    assert len(record["columns"]) == columns
    rows = summary_rows(plain_err)
    ana = (tmp_path / "json.ana").read_text().split()
    for c, column in enumerate(record["columns"]):
        # The summary's and the analysis file's digits, formed from the
        # record's values; null stands for what C prints as nan or inf.
        label, rest = rows[c].split(": ", 1)
        mean_text, rest = rest.split(" +/- ", 1)
        printed = [mean_text, rest.split()[0]]
        assert label == column["label"]
        for text, field, value in zip(printed, ana[2 * c:2 * c + 2],
                                      (column["mean"], column["error"])):
            assert text.strip() == field
            if value is None:
                assert field.lstrip("-") in ("nan", "inf")
            else:
                assert field == "%.10f" % value
        assert ("with %d samples" % column["count"]) in rows[c]
        assert ("not decorrelated" in rows[c]) == (not column["decorrelated"])
        assert record["levels"]["counts"][column["level"]] == column["count"]
    levels = record["levels"]
    assert levels["block_sizes"][0] == 1
    assert len(levels["errors"]) == len(levels["block_sizes"]) == len(levels["correlations"])
    assert all(len(row) == columns for row in levels["errors"])


def test_bad_command_line_help_and_version_write_no_record(tmp_path):
    for arguments, status in [(["-a", "0", "x"], 1), (["--help"], 0), (["--version"], 0)]:
        got, _ = run(["--json", "runs.jsonl", *arguments], tmp_path)
        assert got == status
    assert not os.path.exists(tmp_path / "runs.jsonl")


def test_unwritable_record_fails_a_good_run(tmp_path):
    target = str(tmp_path / "no" / "runs.jsonl")
    status, err = run(["-o", "x.ana", "--json", target, EXAMPLE], tmp_path)
    assert status == 2
    last = err.decode().splitlines()[-1]
    assert last.startswith("varbloc: cannot write record to %s: " % target)
    status, err = run(["--json", target, "missing.dat"], tmp_path)
    assert status == 255  # a failed run keeps its status


def test_automatic_estimate_equals_the_modules(tmp_path):
    import varbloc
    from test_module import write_columns

    rng = np.random.default_rng(5)
    data = rng.standard_normal((5000, 3)).cumsum(axis=0) * 0.05 + rng.standard_normal((5000, 3))
    data[:, 2] = 1.5  # a constant column: its reason, and null for its numbers
    write_columns(str(tmp_path / "d.dat"), data)
    run(["--json", "r.jsonl", "d.dat"], tmp_path)
    record = json.loads((tmp_path / "r.jsonl").read_text())
    assert record["schema"] == 3
    result = varbloc.block(varbloc.load(str(tmp_path / "d.dat")))
    automatic = result.automatic
    for c, column in enumerate(record["columns"]):
        got = column["automatic"]
        for key in ("error", "error_error", "tau", "ess"):
            value = getattr(automatic, key)[c]
            assert got[key] == (None if np.isnan(value) else value), key
        assert got["block_size"] == automatic.block_size[c]
        assert got["reliable"] == automatic.reliable[c]
        assert got["reason"] == automatic.reason[c]
    assert record["columns"][2]["automatic"]["reason"] == "constant column"
    pairwise = record["pairwise_levels"]
    assert pairwise["block_sizes"] == result.pairwise.block_sizes.tolist()
    assert pairwise["counts"] == result.pairwise.counts.tolist()
    for key in ("errors", "correlations"):
        table = np.array(pairwise[key], dtype=float)  # null for the constant column
        assert np.array_equal(table, getattr(result.pairwise, key), equal_nan=True), key


@pytest.mark.parametrize("name, content, status, ending", [
    ("whole.dat.gz", gzip.compress, 0, "ok"),
    ("cut.dat.gz", lambda text: gzip.compress(text)[:len(gzip.compress(text)) // 2], 1,
     "decompressor failed"),
    ("text.dat.gz", lambda text: text, 1, "early end"),  # no sample came out
    ("plain.dat", lambda text: text, None, "ok"),
])
def test_record_of_the_decompressors_end(tmp_path, name, content, status, ending):
    text = "".join("%d.5\n" % k for k in range(50000)).encode()  # a cut leaves whole lines
    (tmp_path / name).write_bytes(content(text))
    plain_status, plain_err = run(["-o", "plain.ana", name], tmp_path)
    json_status, json_err = run(["-o", "plain.ana", "--json", "runs.jsonl", name], tmp_path)

    def own(err):
        # gzip's own message ("\ngzip: ...\n") reaches the shared standard
        # error whenever gzip writes it, before or after "Reading file...":
        # only the program's bytes are compared in order.
        return re.sub(rb"\ngzip: [^\n]*\n", b"", err)

    assert json_err.count(b"\ngzip: ") == plain_err.count(b"\ngzip: ")
    assert (json_status, own(json_err)) == (plain_status, own(plain_err)) == (0, own(plain_err))
    record = json.loads((tmp_path / "runs.jsonl").read_text())
    assert record["decompressor_status"] == status
    # A failed decompressor is warning 65, printed and in the record, and
    # the status of a run that analysed.
    assert record["status"] == ending
    assert [w["code"] for w in record["warnings"]] == ([65] if status == 1 else [])
    assert (b"Warning 65" in json_err) == (status == 1)


def test_discard_auto_is_a_run_with_its_start(tmp_path):
    """--discard=auto prints what -i T0 prints, plus the line naming T0, and
    writes the same analysis line; its record holds each column's start as
    the module finds it. Comments before and after the start keep their
    places around the column-count line."""
    import varbloc

    lines = open(EXAMPLE).read().splitlines(keepends=True)
    rows = lines[2:]
    data = np.array([[float(v) for v in row.split()] for row in rows])
    data[:, 1] += 20 * np.exp(-np.arange(len(rows)) / 300.0)  # a start-up transient
    text = "".join(" ".join(repr(float(v)) for v in row) + "\n" for row in data)
    body = text.splitlines(keepends=True)
    body.insert(500, "# a comment among the discarded lines\n")
    body.insert(9000, "# a comment after them\n")
    (tmp_path / "t.dat").write_text(lines[0] + "".join(body))
    status, auto = run(["-o", "auto.ana", "--json", "r.jsonl", "--discard=auto", "t.dat"], tmp_path)
    assert status == 0
    record = json.loads((tmp_path / "r.jsonl").read_text())
    start = record["options"]["discard"]
    assert record["options"]["discard_auto"] is True and start > 1000
    status, manual = run(["-o", "manual.ana", "-i", str(start), "t.dat"], tmp_path)
    assert status == 0
    added = "Equilibration: discarding first %d samples (set by col  1).\n" % start
    read_count = "\nRead %d samples (discarded first %d samples).\n" % (len(rows) - start, start)
    assert read_count in manual.decode()
    assert auto.decode() == manual.decode().replace(read_count, read_count + added)
    assert (tmp_path / "auto.ana").read_bytes() == (tmp_path / "manual.ana").read_bytes()
    found = varbloc.equilibration(varbloc.load(str(tmp_path / "t.dat")))
    assert [c["equilibration"]["start"] for c in record["columns"]] == found.start.tolist()
    assert record["columns"][1]["equilibration"]["tau"] == found.tau[1]
    assert record["samples"] == len(rows) - start and record["discarded"] == start
    # The module's record of the same run holds the program's, field for field.
    mine = varbloc.block_file(str(tmp_path / "t.dat"), discard="auto").to_dict()
    for key in ("samples", "discarded", "levels", "pairwise_levels"):
        assert mine[key] == record[key], key
    columns = [{k: v for k, v in c.items() if k != "name"} for c in mine["columns"]]
    assert columns == record["columns"]
    status, err = run(["--discard=auto", "-i", "0", "t.dat"], tmp_path)
    assert status == 1 and b"--discard=auto and -i cannot be used together.\n" in err


@pytest.mark.parametrize("arguments, equilibrate", [
    ([EXAMPLE], False),
    (["--discard=auto", "transient.dat"], True),
])
def test_core_writes_the_records_result(tmp_path, arguments, equilibrate):
    """varbloc._core's to_json is the record's result part, the very text;
    its labels, derived level uncertainties and version are the program's."""
    from varbloc import _core

    rng = np.random.default_rng(5)
    x = rng.standard_normal((6000, 2)) + 8 * np.exp(-np.arange(6000) / 400)[:, np.newaxis]
    with open(tmp_path / "transient.dat", "w") as file:
        for row in x:
            file.write(" ".join(repr(float(v)) for v in row) + "\n")
    status, _ = run(["--json", "run.jsonl", *arguments], tmp_path)
    assert status == 0
    line = (tmp_path / "run.jsonl").read_text()
    path = os.fsencode(arguments[-1] if os.path.isabs(arguments[-1])
                       else str(tmp_path / arguments[-1]))
    analysis, _, search = _core.block_file(path, None, 0, 0, 2000000000, -1, None, equilibrate)
    text = analysis.to_json()
    assert line.endswith(text[1:] + "\n")
    record = json.loads(line)
    assert (search is not None) == equilibrate == (analysis.equilibration is not None)
    assert list(analysis.labels) == [c["label"] for c in record["columns"]]
    counts = np.array(record["levels"]["counts"], dtype=float)[:, np.newaxis]
    with np.errstate(divide="ignore", invalid="ignore"):
        expected = np.array(record["levels"]["errors"]) / np.sqrt(2.0 * (counts - 1))
    expected[np.broadcast_to(counts == 1, expected.shape)] = np.nan
    assert np.array_equal(analysis.level_error_errors, expected, equal_nan=True)
    assert _core.__version__ == record["version"]
