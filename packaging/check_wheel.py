#!/usr/bin/env python3
"""Installs a built wheel into a new virtual environment of each given Python
and runs the demo with it, as a user of the wheel would:

    python packaging/check_wheel.py dist/quelt_sdk-*.whl /path/to/python3.11 /path/to/python3.13

Each environment gets the wheel and NumPy only, and nothing from the checkout:
the demo runs from a copy outside it, by the environment's python without
activating it (bin/ is not on PATH), so the reference server must come from
the wheel and be found beside that interpreter.
"""
from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
WHERE = "import quelt_sdk, quelt_refserver; print(quelt_sdk.__file__); print(quelt_refserver.find_executable())"


def check(wheel: pathlib.Path, python: str) -> None:
    with tempfile.TemporaryDirectory(prefix="quelt-wheel-check-") as scratch:
        folder = pathlib.Path(scratch)
        subprocess.run([python, "-m", "venv", folder / "venv"], check=True)
        venv_python = folder / "venv" / "bin" / "python"
        # No compiler may be used: the wheel is installed as it is.
        subprocess.run([venv_python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "--only-binary", ":all:", wheel, "numpy"], check=True)
        demo = folder / "quickstart.py"
        shutil.copy(ROOT / "examples" / "quickstart.py", demo)
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("PYTHONPATH", "QUELT_REFSERVER", "VIRTUAL_ENV")}
        environment["PATH"] = "/usr/bin:/bin"
        where = subprocess.run([venv_python, "-c", WHERE], env=environment, cwd=folder,
                               capture_output=True, text=True, check=True).stdout.split()
        outside = [path for path in where if not path.startswith(str(folder / "venv"))]
        if outside:
            raise SystemExit(f"{python}: not taken from the wheel: {outside}")
        print(f"== {python}: the demo with {wheel.name}", flush=True)
        subprocess.run([venv_python, demo], env=environment, cwd=folder, check=True)


def main(arguments: list[str]) -> int:
    if len(arguments) < 2:
        raise SystemExit(__doc__)
    wheel = pathlib.Path(arguments[0]).resolve()
    for python in arguments[1:]:
        check(wheel, python)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
