"""Reading data files: load, and block_file, which reads and analyses in one
call; from a path, a plain file's descriptor, or any object with read()."""

import codecs
import io
import os

from . import _core
from ._checks import count_in_range, discard_of
from ._equilibration import Equilibration, no_equilibration
from ._errors import DECOMPRESSOR_FAILED, UNNUMBERED, VarblocError, issue
from ._results import Result


def _descriptor_of(file):
    """The descriptor to read an open file from directly, or -1 to read it
    through its read().

    Only a plain file (FileIO, and the buffered and UTF-8 or ASCII text
    files around one) whose descriptor stands where the file object does:
    then nothing is buffered in Python that the descriptor would skip, and
    the bytes are those of the file. Anything else, pipes included, is read
    through read().
    """
    inner = file
    if type(inner) is io.TextIOWrapper:
        if codecs.lookup(inner.encoding).name not in ("utf-8", "ascii"):
            return -1
        inner = inner.buffer
    if type(inner) is io.BufferedReader:
        inner = inner.raw
    if type(inner) is not io.FileIO:
        return -1
    try:
        if not (file.readable() and file.seekable()):
            return -1
        descriptor = file.fileno()
        if file.tell() != os.lseek(descriptor, 0, os.SEEK_CUR):
            return -1
    except (OSError, ValueError):
        return -1
    return descriptor


def _reader_of(file):
    """read(size) -> bytes over a file object's read(); text is encoded as
    UTF-8 (with the bytes a surrogateescape decoding kept)."""
    read = file.read

    def read_bytes(size):
        data = read(size)
        if isinstance(data, bytes):
            return data
        if isinstance(data, str):
            return data.encode("utf-8", "surrogateescape")
        if isinstance(data, (bytearray, memoryview)):
            return bytes(data)
        raise TypeError(f"read() returned {type(data).__name__}, not bytes or str")

    return read_bytes


def _read(core, path, columns, skip_columns, discard, budget, *more):
    """Runs a read of the core (load or block_file) on a path or a file
    object, with the core's further arguments `more`; returns its answer and
    the input as given."""
    if columns is not None:
        columns = count_in_range(columns, "columns", -2**31, 2**31 - 1)
    skip_columns = count_in_range(skip_columns, "skip_columns", 0, 2**31 - 1)
    discard = count_in_range(discard, "discard", 0, 2**31 - 1)
    budget = count_in_range(budget, "budget", 1, 2**64 - 1)
    if isinstance(path, (str, bytes, os.PathLike)):
        name = os.fsencode(path)
        if b"\0" in name:
            # The reader takes a C string: the name would end at the null byte and
            # another file be read. open() refuses such a name the same way.
            raise ValueError("embedded null byte in path")
        return (core(name, columns, skip_columns, discard, budget, -1, None, *more),
                os.fspath(path))
    if not callable(getattr(path, "read", None)):
        raise TypeError("path must be a path or a file object with read(), "
                        f"not {type(path).__name__}")
    given = getattr(path, "name", None)
    given = given if isinstance(given, (str, bytes)) else None
    name = os.fsencode(given) if given is not None else f"<{type(path).__name__}>".encode()
    name = name.replace(b"\0", b"?")
    descriptor = _descriptor_of(path)
    if descriptor < 0:
        return (core(name, columns, skip_columns, discard, budget, -1, _reader_of(path), *more),
                given)
    try:
        return core(name, columns, skip_columns, discard, budget, descriptor, None, *more), given
    finally:
        # The core read past what the file object knows: it goes on from
        # where the descriptor stands.
        path.seek(os.lseek(descriptor, 0, os.SEEK_CUR))


def _notes(notes):
    """The warnings of a read, as (code, message, count), in the order they
    arose, and what else the read tells."""
    tallies, samples, discarded, status, early_end = notes
    found = [(code, first, count) for code, count, first in tallies]
    # The reader names a failed decompressor itself once the read ended;
    # where it did not (a read that ended before it), it is named here.
    told = any(code == DECOMPRESSOR_FAILED for code, _, _ in found)
    if status is not None and status != 0 and not told:
        how = f"exit status {status}" if status > 0 else f"signal {-status}"
        found.append((UNNUMBERED, f"the decompressor ended with {how}; {samples} samples "
                      "were read", 1))
    if early_end is not None:
        found.append((UNNUMBERED, early_end.strip("\n"), 1))
    return found, discarded, status


def load(path, columns=None, skip_columns=0, discard=0, budget=_core.DEFAULT_BUDGET):
    """Read a data file exactly as the program does.

    Parameters
    ----------
    path : str, bytes, os.PathLike or file object
        The data file; a name ending in ``.gz`` is read through
        ``gzip -dc``, and ``"STDIN"`` reads standard input's descriptor, as
        in the program. An open file (binary or text) or any object with
        ``read()`` (``io.StringIO``, ``sys.stdin``) is read from where it
        stands, with the same rules: a plain file straight from its
        descriptor, at the same speed as by name, anything else through
        ``read()`` (text as UTF-8), and is left open after what was read.
        Its content is taken as it is: ``.gz`` content is not
        decompressed (its first bytes stop the read with error 70); pass
        the name, or ``gzip.open(name)``.
    columns : int, optional
        The number of columns to use (the program's second argument);
        by default the first data line decides.
    skip_columns : int
        Leading fields ignored on every line (the program's ``-c``).
    discard : int
        Leading sample lines dropped (the program's ``-i``).
    budget : int
        Bytes of storage for the samples (the program's storage budget:
        ``-a 3`` corresponds to ``budget=6_000_000_000``). Only the memory
        the samples fill is used.

    Returns
    -------
    numpy.ndarray
        float64, shape (samples, columns), each column contiguous, held in
        the reader's own storage (no second copy of the samples). Where the
        program ends without an analysis and with status 0 (no samples
        read, no columns on the first data line, every column skipped), it
        has 0 rows.

    Raises
    ------
    VarblocError
        For input the program refuses, with its error number and message
        (a missing file is error 1, a bad field error 70 with its line,
        column and text).
    ValueError
        For a path with a null byte, or an argument out of range.
    TypeError
        For an argument of the wrong type, or a read() that returns
        neither bytes nor str.
    KeyboardInterrupt
        When interrupted; the file is closed and a decompressor stopped.

    Warns
    -----
    VarblocWarning
        One per kind of warning the reader gave, with its first message
        and how often it occurred, warning 65 among them when a decompressor
        ended with an error or a signal (code 0 for gzip's warning status 2,
        trailing garbage ignored), with how many samples were read (a ``.gz`` file cut short still gives what it holds, unless its
        last line lacks values: that is error 65); and one with the
        program's message when the read ended without samples.
    """
    (samples, notes), _ = _read(_core.load, path, columns, skip_columns, discard, budget)
    found, _, _ = _notes(notes)
    issue(found)
    return samples


def block_file(path, columns=None, skip_columns=0, discard=0, budget=_core.DEFAULT_BUDGET):
    """Read and analyse a data file in one call, as the program does.

    The numbers are the program's, bit for bit: the samples are analysed
    where the reader stored them and released before the call returns.
    Safe to run in many threads at once: each result keeps its own
    warnings.

    Parameters
    ----------
    path : str, bytes, os.PathLike or file object
        The data file; a name ending in ``.gz`` is read through
        ``gzip -dc``, and ``"STDIN"`` reads standard input's descriptor, as
        in the program. An open file (binary or text) or any object with
        ``read()`` (``io.StringIO``, ``sys.stdin``) is read from where it
        stands, with the same rules: a plain file straight from its
        descriptor, at the same speed as by name, anything else through
        ``read()`` (text as UTF-8), and is left open after what was read.
        Its content is taken as it is: ``.gz`` content is not
        decompressed (its first bytes stop the read with error 70); pass
        the name, or ``gzip.open(name)``.
    columns : int, optional
        The number of columns to use (the program's second argument);
        by default the first data line decides.
    skip_columns : int
        Leading fields ignored on every line (the program's ``-c``).
    discard : int or "auto"
        Leading sample lines dropped (the program's ``-i``); "auto" reads
        every sample, runs :func:`equilibration` on them and analyses
        those from the latest of the columns' starts on, one count for all
        columns: the figures of ``discard=result.discarded``, bit for bit,
        with the search in :attr:`Result.equilibration`.
    budget : int
        Bytes of storage for the samples (the program's storage budget:
        ``-a 3`` corresponds to ``budget=6_000_000_000``). Only the memory
        the samples fill is used.

    Returns
    -------
    Result
        With ``warnings``, ``input``, ``discarded``,
        ``decompressor_status`` and, for ``discard="auto"``,
        ``equilibration`` set. Where the program ends without an
        analysis and with status 0, a result of no columns and 0 samples.

    Raises
    ------
    VarblocError
        For input the program refuses, with its error number and message
        (a missing file is error 1, a bad field error 70 with its line,
        column and text).
    ValueError
        For a path with a null byte, or an argument out of range.
    TypeError
        For an argument of the wrong type, or a read() that returns
        neither bytes nor str.
    KeyboardInterrupt
        When interrupted; the file is closed and a decompressor stopped.

    Warns
    -----
    VarblocWarning
        As :func:`load`; each is also in :attr:`Result.warnings`.
    """
    discard = discard_of(discard)
    automatic = discard == "auto"
    (analysis, notes, search), given = _read(_core.block_file, path, columns, skip_columns,
                                             0 if automatic else discard, budget, automatic)
    found, discarded, status = _notes(notes)
    if automatic:
        search = Equilibration(search if search is not None else no_equilibration())
    result = Result(analysis, warnings=found, input=given, discarded=discarded,
                    decompressor_status=status, equilibration=search)
    issue(found)
    return result


def block_files(paths, columns=None, skip_columns=0, discard=0):
    """Read and analyse one chain split over several files, in order.

    For a simulation restarted from its checkpoints, each run writing its
    own file: the files' samples are one chain, read one file after the
    other in memory that does not grow with them (each column's blocking
    state, as in :class:`Accumulator`), and analysed as :func:`block_file`
    analyses their concatenation.

    Parameters
    ----------
    paths : iterable of str, bytes, os.PathLike or file object
        The files in the chain's order, each as :func:`block_file` takes
        it (``.gz`` names through ``gzip -dc``, open files from where they
        stand). Their comment lines are read as in any file.
    columns : int, optional
        The number of columns to use; by default the first data line of the
        first file decides, and every later file must have as many.
    skip_columns : int
        Leading fields ignored on every line of every file (``-c``).
    discard : int
        Leading sample lines of the chain dropped (``-i``), from its first
        files on.

    Returns
    -------
    Result
        What :func:`block_file` gives on the concatenated files, the
        automatic estimate included, within the agreement of
        :class:`Accumulator`: the mean to the last bit, the other figures to
        about 1e-12 relative. ``input`` is the list of the files as given,
        ``warnings`` those of every file, ``discarded`` the lines dropped.
        Where no file holds a sample, a result of no columns and 0 samples.

    Raises
    ------
    VarblocError
        For input the program refuses, as :func:`block_file`; its ``input``
        names the file, and ``line`` counts that file's lines.
    ValueError
        For no paths, a path with a null byte, or an argument out of range.
    """
    paths = list(paths)
    if not paths:
        raise ValueError("block_files needs at least one file")
    discard = count_in_range(discard, "discard", 0, 2**31 - 1)
    state, found, inputs, discarded, early_end = None, [], [], 0, None
    for k, path in enumerate(paths):
        # The lines to discard are the chain's first ones, in whichever files.
        try:
            (state, notes), given = _read(_core.stream_file, path, columns, skip_columns,
                                          discard - discarded, _core.DEFAULT_BUDGET, state)
        except VarblocError as error:
            error.input = os.fspath(path) if isinstance(path, (str, bytes, os.PathLike)) \
                else getattr(path, "name", None)
            error.add_note(f"in file {k + 1} of {len(paths)}: {error.input}")
            raise
        # A file without samples is no end of the chain: its early end is
        # told only if no file had a sample.
        early_end = notes[-1] or early_end
        file_found, file_discarded, _ = _notes(notes[:-1] + (None,))
        found.extend(file_found)
        inputs.append(given)
        discarded += file_discarded
    analysis = state.result() if state is not None and state.count > 0 else None
    if analysis is None and early_end is not None:
        found.append((UNNUMBERED, early_end.strip("\n"), 1))
    result = Result(analysis, warnings=found, input=inputs, discarded=discarded)
    issue(found)
    return result
