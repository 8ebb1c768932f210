"""The README's Python examples run, their printed output against the output
the README shows.

The convention: a ```python block followed by a ```text block (blank lines
between them only) is an example; the code runs and what it prints must be
the text block, line for line (trailing blanks aside). The examples of one
"## " section run in order in one namespace, as one interpreter session,
in a scratch directory where ``examples/`` and ``build/release/varbloc``
are the repository's. An HTML comment that starts with the line
``<!-- python setup`` holds code run before the next example without
being shown (files an example reads); ```python blocks without a text
block are not run.

Run as a script to see or take the actual output:

    PYTHONPATH=build/release/python /usr/bin/python3 tests/python/readme_examples.py
        [--regenerate] [--program build/release/varbloc]

prints each example whose output differs, with a diff; --regenerate
writes the actual output into README.md instead.
"""

import argparse
import contextlib
import difflib
import io
import os
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
README = os.path.join(SOURCE, "README.md")


class Example:
    """One ```python block with its ```text block; setup is the hidden code
    run before it; first and last are the text block's content lines (0-based,
    last exclusive) in the README."""

    def __init__(self, section, line, code, setup, expected, first, last):
        self.section = section
        self.line = line
        self.code = code
        self.setup = setup
        self.expected = expected
        self.first = first
        self.last = last


def _block(lines, start):
    """The lines of the fenced block opened at lines[start], and the index
    of its closing fence."""
    end = start + 1
    while end < len(lines) and lines[end].rstrip() != "```":
        end += 1
    if end == len(lines):
        raise ValueError(f"README.md line {start + 1}: block never closed")
    return lines[start + 1:end], end


def examples(text):
    """Every example of the README's text, in order."""
    lines = text.split("\n")
    found = []
    section = None
    setup = []
    k = 0
    while k < len(lines):
        line = lines[k]
        if line.startswith("## "):
            section = line[3:].strip()
        elif line.strip() == "<!-- python setup":
            end = k + 1
            while lines[end].strip() != "-->":
                end += 1
            setup += lines[k + 1:end]
            k = end
        elif line.rstrip() == "```python":
            code, end = _block(lines, k)
            following = end + 1
            while following < len(lines) and lines[following].strip() == "":
                following += 1
            if following < len(lines) and lines[following].rstrip() == "```text":
                expected, close = _block(lines, following)
                found.append(Example(section, k + 1, "\n".join(code) + "\n",
                                     "\n".join(setup) + "\n", expected, following + 1, close))
                setup = []
                end = close
            k = end
        k += 1
    return found


def _trimmed(lines):
    return [line.rstrip() for line in lines]


def run(found, program):
    """Runs the examples; returns the printed lines of each, in order. An
    example that raises gives the traceback as its output."""
    outputs = []
    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="readme-") as scratch:
        os.symlink(os.path.join(SOURCE, "examples"), os.path.join(scratch, "examples"))
        os.makedirs(os.path.join(scratch, "build", "release"))
        os.symlink(os.path.abspath(program), os.path.join(scratch, "build", "release", "varbloc"))
        os.chdir(scratch)
        try:
            namespaces = {}
            for example in found:
                namespace = namespaces.setdefault(example.section, {"__name__": "__readme__"})
                printed = io.StringIO()
                with contextlib.redirect_stdout(printed):
                    try:
                        exec(compile(example.setup, "README.md (setup)", "exec"), namespace)
                        exec(compile(example.code, f"README.md line {example.line}", "exec"),
                             namespace)
                    except Exception:  # shown as the output, so that the diff tells
                        import traceback
                        print(traceback.format_exc())
                outputs.append(_trimmed(printed.getvalue().rstrip("\n").split("\n")))
        finally:
            os.chdir(here)
    return outputs


def differences(found, outputs):
    """A unified diff per example whose output differs from the README's."""
    return [(example, "\n".join(difflib.unified_diff(
        _trimmed(example.expected), output, "README.md", "printed", lineterm="")))
        for example, output in zip(found, outputs) if _trimmed(example.expected) != output]


def regenerate(text, found, outputs):
    """The README's text with every example's text block set to its output."""
    lines = text.split("\n")
    for example, output in sorted(zip(found, outputs), key=lambda pair: -pair[0].first):
        lines[example.first:example.last] = output
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--regenerate", action="store_true",
                        help="write the actual output into README.md")
    parser.add_argument("--program", default=os.path.join(SOURCE, "build", "release", "varbloc"))
    arguments = parser.parse_args()
    with open(README) as file:
        text = file.read()
    found = examples(text)
    outputs = run(found, arguments.program)
    if arguments.regenerate:
        with open(README, "w") as file:
            file.write(regenerate(text, found, outputs))
        print(f"README.md: {len(found)} examples' output written")
        return 0
    changed = differences(found, outputs)
    for example, diff in changed:
        print(f"README.md line {example.line} ({example.section}):\n{diff}\n")
    print(f"{len(found) - len(changed)} of {len(found)} README examples print what it shows")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
