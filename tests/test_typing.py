"""The type stubs: they match the module at run time, and an example that uses
the whole API type-checks under `mypy --strict` and runs; the package's own
modules and the README's examples type-check too."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytest.importorskip("mypy")


def run(*command: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *command], capture_output=True, text=True,
                          cwd=ROOT / "tests", timeout=300)


def test_stubs_match_the_module_at_run_time():
    result = run("-m", "mypy.stubtest", "Corvane.simpleImage_ext",
                 "--allowlist", "stubtest-allowlist.txt")
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_type_checks_strictly_and_runs():
    example = str(ROOT / "examples" / "tour.py")
    checked = run("-m", "mypy", "--strict", "--no-incremental", example)
    assert checked.returncode == 0, checked.stdout
    sample = ROOT / "src" / "Corvane" / "samples" / "gradient.png"
    ran = run(example, str(sample))
    assert ran.returncode == 0, ran.stderr
    assert "BMP header record: {'xppm': 3780" in ran.stdout


def test_the_package_and_the_readme_examples_type_check_strictly(tmp_path):
    """The package ships py.typed: its own modules (the command and the numpy
    helpers included) hold to the types they declare, and so do the README's
    examples of the API and of numpy. One mypy run checks them all."""
    readme = (ROOT / "README.md").read_text()
    examples = []
    for section in ("## A short tour of the API", "## numpy"):
        code = readme.split(f"\n{section}\n", 1)[1].split("```python\n", 1)[1]
        examples.append(tmp_path / f"readme_example_{len(examples)}.py")
        examples[-1].write_text(code.split("```", 1)[0])
    checked = run("-m", "mypy", "--strict", "--no-incremental", str(ROOT / "src" / "Corvane"),
                  *map(str, examples))
    assert checked.returncode == 0, checked.stdout
