"""The module's error and warning: VarblocError, raised by the core with the
program's error number, and VarblocWarning, one per kind of warning."""

import warnings

from . import _core

VarblocError = _core.VarblocError
VarblocError.__module__ = "varbloc"
VarblocError.__doc__ = """Bad input, as the program reports it with a fatal error.

``code`` is the number the program prints ("Fatal error 70" gives 70) and
``str(error)`` its message without the frame, for example
``Non-numerical data in line 3 column 1 (columns count from 0)``.

Where the message names them, ``line`` (counted as in the message, comment
lines included) and ``column`` (from 0, skipped columns included) are
ints, else None: error 70 has both, error 100 the line. ``text`` is the
offending field of error 70 as read, cut at 40 bytes and decoded as UTF-8
(bytes that are not become U+FFFD), else None: it tells a UTF-8 byte-order
mark (``'\\ufeff1.0'``), a header (``'energy,pressure'``) and an ``@``
line (``'@'``) apart.
"""


class VarblocWarning(UserWarning):
    """A warning of a read or an analysis, once per kind.

    Issued by :func:`load`, :func:`block_file` and :func:`block`; the
    results of the last two also keep them, in :attr:`Result.warnings`.

    Attributes
    ----------
    code : int
        The number the program prints ("Warning 110" gives 110; 65 for a
        decompressor that ended with a non-zero status or a signal), or 0
        for what the program passes over without a number: a read that
        ended without samples (with the program's own message), a failed
        decompressor of a read that ended before the program names it and,
        from :func:`block`, an array that looks transposed.
    count : int
        How many times it occurred.
    first : str
        The message of its first occurrence.
    """

    def __init__(self, code, count, first):
        text = first if count == 1 else f"{first} (and {count - 1} more like it)"
        super().__init__(text)
        self.code = code
        self.count = count
        self.first = first


# What the module itself warns of, without one of the program's numbers.
UNNUMBERED = 0

# The number of the reader's warning (and error) for a decompressor that failed.
DECOMPRESSOR_FAILED = 65


def issue(found):
    """Issues the warnings of a call, (code, message, count) each, as
    VarblocWarning from the caller's caller."""
    for code, message, count in found:
        warnings.warn(VarblocWarning(code, count, message), stacklevel=3)
