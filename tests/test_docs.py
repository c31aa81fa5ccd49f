"""The user documentation runs: every `>>>` example in docs/*.md and the README is executed and its
output compared.

Each document is one interpreter session, run in a scratch directory that sees the bundled
instances under tests/data, as they would be seen from the repository's root.
"""

import doctest
import inspect
import re
from pathlib import Path

import pytest

import pelmora

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
FUNCTIONS = [name for name in pelmora.__all__ if inspect.isroutine(getattr(pelmora, name))]
CLASSES = [name for name in pelmora.__all__ if isinstance(getattr(pelmora, name), type)]


def session(name: str) -> doctest.DocTest:
    """The document's examples as one doctest; code fences become blank lines, which end an output."""
    path = ROOT / name if name == "README.md" else DOCS / name
    text = re.sub(r"^\s*```.*$", "", path.read_text(), flags=re.M)
    return doctest.DocTestParser().get_doctest(text, {}, name, str(path), 0)


@pytest.mark.parametrize(
    "name,least", [("api.md", 10), ("format.md", 10), ("README.md", 8), ("solvers.md", 3), ("netgen.md", 8)]
)
def test_examples_run(name, least, tmp_path, monkeypatch):
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "data").symlink_to(ROOT / "tests" / "data")
    monkeypatch.chdir(tmp_path)
    test = session(name)
    assert len(test.examples) >= least, "the document lost its examples"
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS, verbose=False)
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)


def example_source(name: str) -> str:
    """The code of the `>>>` examples of a document, continuation lines included."""
    return "".join(example.source for example in session(name).examples)


def test_every_function_has_an_example():
    code = example_source("api.md")
    missing = [name for name in FUNCTIONS if not re.search(rf"\bpelmora\.{name}\(", code)]
    assert len(FUNCTIONS) == 10 and missing == []
    headings = re.findall(r"^### `(\w+)\(", (DOCS / "api.md").read_text(), flags=re.M)
    assert headings == FUNCTIONS  # documented in the module's own order


def test_every_class_and_attribute_is_described():
    text = (DOCS / "api.md").read_text()
    for name in CLASSES:
        assert f"### `{name}`" in text
        attributes = [a for a, v in vars(getattr(pelmora, name)).items() if not a.startswith("_")]
        assert attributes, name
        missing = [a for a in attributes if f"`{a}`" not in text and f"`{a}()`" not in text]
        assert missing == [], f"{name}: {missing}"


def test_arc_line_shapes_of_the_format_page(tmp_path):
    # The table of arc-line shapes: each example line reads back as the groups the table names (K = 3).
    text = (DOCS / "format.md").read_text()
    rows = re.findall(r"^\| (compressed|expanded) \| (compressed|expanded) \| ([^|]+) \| `(a [^`]+)` \|$", text, re.M)
    assert len(rows) == 4
    k = 3
    for caps, costs, count, line in rows:
        tokens = line.split()
        assert len(tokens) == {"7": 7, "6 + K": 6 + k, "5 + 2K": 5 + 2 * k}[count.strip()]
        flags = f"{int(caps == 'expanded')} {int(costs == 'expanded')} 0 0 0"
        path = tmp_path / f"{caps}-{costs}.mcf"
        path.write_text(f"p min 2 1 {k} {flags} 1\n{line}\n")
        parsed = pelmora.load_multi_commodity_instance(str(path))
        values = [int(t) for t in tokens[5:]]
        cap_count = k if caps == "expanded" else 1
        expected_caps = values[:cap_count] if caps == "expanded" else values[:1] * k
        expected_costs = values[cap_count:] if costs == "expanded" else values[cap_count:] * k
        assert parsed.commodity_capacities == {(1, 2, 0): expected_caps}
        assert parsed.commodity_weights == {(1, 2, 0): expected_costs}
