"""Every Python example of the README and of the documentation's pages runs,
in order, one namespace per page, and prints what the page shows."""

import contextlib
import io
from pathlib import Path

import pytest

from doc_examples import examples, same_output

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def test_every_page_with_examples_is_found():
    names = {page.name for page in PAGES if examples(page.read_text(encoding="utf-8"))}
    assert {"README.md", "getting-started.md", "routes.md", "documents.md", "osm.md",
            "many-routes.md", "batch.md"} <= names


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_page_examples_run_and_print_what_they_show(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)       # files an example writes land here
    namespace = {"__name__": "__doc_example__"}
    for example in examples(page.read_text(encoding="utf-8")):
        if example.skipped:
            continue
        where = f"{page.name}, the example at line {example.line}"
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(example.code, where, "exec"), namespace)
        if example.output is not None:
            assert same_output(example.output, printed.getvalue()), (
                f"{where} printed\n{printed.getvalue()}\nbut the page shows\n{example.output}")


def test_examples_are_read_as_written():
    page = '''
Text.

```python
print(1.5, "a  b")
```

```text
1.50000000000001 a b
```

<!-- not run by the tests: needs a server -->
```python
urlopen("http://127.0.0.1:8000/")
```

```python
x = 1
```

Prose between.

```text
not an output
```
'''
    found = examples(page)
    assert [(e.line, e.skipped, e.output) for e in found] == [
        (4, False, "1.50000000000001 a b\n"), (13, True, None), (17, False, None)]
    assert same_output(found[0].output, "1.5 a  b\n")
    assert not same_output("1.5 a b\n", "1.6 a b\n")
    assert not same_output("shortest 841 m\n", "safest 841 m\n")
    assert not same_output("1 2\n", "1 2 3\n")
