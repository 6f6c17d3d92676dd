"""The same workloads from a GCC build and a Clang build: `python benchmarks/compilers.py`.

Builds the package from this source tree with each compiler into its own
temporary virtual environment, starts one Python per build that prepares the
workloads of evaluate_1d.py and evaluate_nd.py (the same data in both), and
times them in one run, taking turns between the builds over several rounds,
each call's best time counting.  The last column is Clang's time over GCC's.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import venv
from pathlib import Path

from _timing import ROUNDS, print_table

HERE = Path(__file__).resolve().parent
WORKLOADS = ['1-D 10,000 knots, "a3"', '2-D 512x512, "a3"', '3-D 64x64x64, "a3"', '3-D 64x64x64, "b5"']
COMPILERS = {"GCC": ("gcc", "g++"), "Clang": ("clang", "clang++")}

# Run by each build's Python: prepares the workloads, then times the one named
# on each line of its input and answers with nanoseconds per point.
WORKER = """
import json, sys
sys.path.insert(0, sys.argv[1])
import evaluate_1d, evaluate_nd
from _timing import ns_per_item
wanted = json.loads(sys.argv[2])
work = {w.name: w for w in evaluate_1d.workloads() + evaluate_nd.workloads() if w.name in wanted}
print(json.dumps(sorted(work)), flush=True)
for line in sys.stdin:
    w = work[line.strip()]
    print(ns_per_item(w.quorvel, w.items), flush=True)
"""


def build(name: str, directory: Path) -> Path:
    """A virtual environment holding the package built by the compiler `name`; its Python."""
    cc, cxx = COMPILERS[name]
    print(f"building with {name} ({cxx}) ...", flush=True)
    venv.create(directory, with_pip=True)
    python = directory / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--quiet", str(HERE.parent), "scipy"],
                   env={**os.environ, "CC": cc, "CXX": cxx}, check=True)
    return python


def version(compiler: str) -> str:
    return subprocess.run([compiler, "--version"], capture_output=True, text=True, check=True).stdout.splitlines()[0]


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        workers = {}
        for name in COMPILERS:
            python = build(name, Path(tmp) / name)
            # Started from the temporary directory, so that nothing imports the source tree.
            workers[name] = subprocess.Popen([python, "-c", WORKER, str(HERE), json.dumps(WORKLOADS)], cwd=tmp,
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for name, worker in workers.items():
            assert json.loads(worker.stdout.readline()) == sorted(WORKLOADS), f"{name}: workloads missing"
        best = {(name, w): float("inf") for name in workers for w in WORKLOADS}
        for _ in range(ROUNDS):
            for w in WORKLOADS:
                for name, worker in workers.items():
                    worker.stdin.write(w + "\n")
                    worker.stdin.flush()
                    best[name, w] = min(best[name, w], float(worker.stdout.readline()))
        for worker in workers.values():
            worker.stdin.close()
            worker.wait()
    print()
    for name, (_, cxx) in COMPILERS.items():
        print(f"{name}: {version(cxx)}")
    print()
    rows = [[w, f"{best['GCC', w]:.2f}", f"{best['Clang', w]:.2f}", f"{best['Clang', w] / best['GCC', w]:.2f}x"]
            for w in WORKLOADS]
    print_table(["workload (ns per point)", "GCC", "Clang", "Clang/GCC"], rows)


if __name__ == "__main__":
    sys.exit(main())
