"""examples/safe_walks_to_school.ipynb: stored without outputs, and runs top
to bottom on a kernel of this interpreter, offline."""

import json
import sys
from pathlib import Path

import pytest

NOTEBOOK = Path(__file__).resolve().parents[2] / "examples" / "safe_walks_to_school.ipynb"


def test_notebook_is_stored_without_outputs():
    notebook = json.loads(NOTEBOOK.read_text(encoding="utf-8"))
    code = [cell for cell in notebook["cells"] if cell["cell_type"] == "code"]
    assert code
    for cell in code:
        assert cell["outputs"] == [] and cell["execution_count"] is None, cell["source"]
    assert "widgets" not in notebook["metadata"]


def test_notebook_runs_top_to_bottom(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    # One more cell, in memory only: which interpreter the kernel runs.
    notebook.cells.append(nbformat.v4.new_code_cell("import sys; print(sys.executable)"))
    client = nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute()      # raises CellExecutionError at the first cell that fails
    printed = "".join(output.get("text", "") for cell in notebook.cells
                      for output in cell.get("outputs", []) if output["output_type"] == "stream")
    assert "5,790 nodes, 13,798 directed edges" in printed
    assert "nodes within 15 minutes" in printed
    assert "median detour" in printed
    assert "residents live within 15 minutes of a school" in printed
    images = [output for cell in notebook.cells for output in cell.get("outputs", [])
              if "image/png" in output.get("data", {})]
    assert len(images) == 3
    # The kernel is this interpreter: jupyter_client runs the kernel's
    # "python" as sys.executable.
    assert printed.splitlines()[-1] == sys.executable
