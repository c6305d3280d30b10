"""The README's code type-checks under mypy --strict against the shipped stubs
and the launcher, runs against the reference server, and the stubs agree with
the module (stubtest).

Every ```python block of the README becomes the body of one function taking
`server` (a started RefServer) and `image` (a float32 NumPy tensor), the names
the blocks share."""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import quelt_sdk
pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
INSTALLED_STUBS = pathlib.Path(quelt_sdk.__file__).parent / "quelt_sdk-stubs"

HEADER = """\
import numpy as np
import numpy.typing as npt
import quelt_sdk
from quelt_refserver import MODELS, RefServer
"""


def readme_program():
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M)
    assert blocks, "README.md has no python blocks"
    functions = [
        f"def snippet_{number}(server: RefServer, image: npt.NDArray[np.float32]) -> None:\n"
        + textwrap.indent(block, "    ")
        for number, block in enumerate(blocks)
    ]
    return HEADER + "\n\n" + "\n\n".join(functions) + "\n"


@pytest.fixture
def type_checking(tmp_path):
    """(environment, folder) for mypy: the stubs and the launcher as a user's
    mypy finds them. An installed package is found as installed (the stub
    package and the launcher's py.typed in site-packages); a development
    build's stubs and launcher are laid out on MYPYPATH."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if not INSTALLED_STUBS.is_dir():
        search = tmp_path / "search"
        (search / "quelt_sdk").mkdir(parents=True)
        (search / "quelt_sdk" / "__init__.pyi").write_text(
            (ROOT / "stubs" / "quelt_sdk-stubs" / "__init__.pyi").read_text())
        launcher = pathlib.Path(sys.modules["quelt_refserver"].__file__).parent
        (search / "quelt_refserver").symlink_to(launcher)
        environment["MYPYPATH"] = str(search)
    return environment, tmp_path


def run_mypy(arguments, environment, folder):
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True,
                          env=environment, cwd=folder, timeout=300)


def test_the_readme_code_passes_mypy_strict(type_checking):
    environment, folder = type_checking
    (folder / "readme_code.py").write_text(readme_program())
    checked = run_mypy(["mypy", "--strict", "--cache-dir", str(folder / "cache"), "readme_code.py"],
                       environment, folder)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_stubs_agree_with_the_module(type_checking):
    environment, folder = type_checking
    checked = run_mypy(["mypy.stubtest", "quelt_sdk"], environment, folder)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_readme_code_runs(refserver):
    import numpy as np

    namespace = {}
    exec(compile(readme_program(), "README.md", "exec"), namespace)
    image = np.random.default_rng(1).random((1, 3, 224, 224), dtype=np.float32)
    for name in sorted(n for n in namespace if n.startswith("snippet_")):
        namespace[name](refserver, image)
