"""Every script in examples/ runs to completion, at a reduced size, as a user would start it."""

import pathlib
import subprocess
import sys

import pytest

from conftest import child_env

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

# Small sizes keep the suite quick; the scripts' own checks (topic precision,
# identical threaded results) still run and fail the script when violated.
ARGUMENTS = {
    "manage_rows.py": ["--products", "5000"],
    "semantic_search.py": ["--docs", "3000"],
    "threaded_search.py": ["--rows", "5000", "--queries", "64", "--threads", "4"],
    "sharded_search.py": ["--rows", "5000", "--shards", "3", "--queries", "20"],
    "serve_processes.py": ["--rows", "5000", "--workers", "2", "--queries", "8"],
    "fashion_mnist.py": ["--rows", "5000", "--queries", "200"],
}


def test_every_example_is_exercised():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(ARGUMENTS)


@pytest.mark.parametrize("name", sorted(ARGUMENTS))
def test_example_runs(name, tmp_path):
    # A Dask cluster leaves daemon threads running at exit (Dask's own, in this
    # process and in every worker process).
    env = child_env(leak_checks="LocalCluster" not in (EXAMPLES / name).read_text())
    # Run from an empty directory so an example cannot lean on the checkout's files.
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *ARGUMENTS[name]],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    if "apt-get install dataset-fashion-mnist" in result.stdout:
        pytest.skip("the Fashion-MNIST package is not installed: the example said so and exited")
    assert "lodex.Index(" in result.stdout


@pytest.mark.parametrize("hide", ["sys.modules['tqdm'] = None; ", ""], ids=["no-tqdm", "tqdm-into-a-pipe"])
def test_demo_runs_without_tqdm(tmp_path, hide):
    # The progress bar is a nicety: without tqdm, or off a terminal, the demo shows none (here at a reduced size).
    code = (f"import sys; {hide}sys.path.insert(0, sys.argv[1]); import demo; "
            "demo.N, demo.BATCH = 3000, 1000; demo.main()")
    result = subprocess.run([sys.executable, "-c", code, str(EXAMPLES.parent)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300, env=child_env())
    assert result.returncode == 0, result.stdout + result.stderr
    assert "loaded index answers the same: True" in result.stdout and result.stderr == ""
