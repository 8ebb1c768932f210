"""The README's Python examples print what the README shows under them
(the convention is in readme_examples.py). On a difference, the test shows
the diff; `tests/python/readme_examples.py --regenerate` writes the actual
output into the README."""

import os

import pytest

import readme_examples

PROGRAM = os.environ.get("VARBLOC_BINARY", "varbloc")

with open(readme_examples.README) as _file:
    EXAMPLES = readme_examples.examples(_file.read())


@pytest.fixture(scope="module")
def outputs():
    pytest.importorskip("pandas")
    return readme_examples.run(EXAMPLES, PROGRAM)


def test_the_python_section_has_examples():
    assert len([e for e in EXAMPLES if e.section == "From Python"]) >= 6


@pytest.mark.parametrize("index", range(len(EXAMPLES)),
                         ids=[f"line {e.line}" for e in EXAMPLES])
def test_example_prints_what_the_readme_shows(outputs, index):
    example = EXAMPLES[index]
    differences = readme_examples.differences([example], [outputs[index]])
    if differences:
        pytest.fail(f"README.md line {example.line} prints otherwise than shown "
                    f"(tests/python/readme_examples.py --regenerate takes the output):\n"
                    f"{differences[0][1]}", pytrace=False)
