"""The benchmark's build step against stand-in CMakes: a missing or too old
CMake is one line of advice, and a failed configure never poisons the next run."""
import os
import stat

import pytest

from quelt_bench import cli, environment

# A stand-in cmake: reports $FAKE_CMAKE_VERSION, logs each call, and fails a
# configure while the file $FAKE_CMAKE_FAIL exists, after leaving a cache
# behind as a real failed configure does.
FAKE_CMAKE = """#!/bin/sh
echo "$*" >> "$FAKE_CMAKE_LOG"
case "$1" in
  --version) echo "cmake version $FAKE_CMAKE_VERSION"; exit 0 ;;
  --build) exit 0 ;;
esac
while [ $# -gt 0 ]; do [ "$1" = -B ] && build="$2"; shift; done
/bin/mkdir -p "$build"; echo cache > "$build/CMakeCache.txt"
if [ -e "$FAKE_CMAKE_FAIL" ]; then echo "CMake Error: configure failed" >&2; exit 1; fi
echo rules > "$build/Makefile"
"""


@pytest.fixture
def fake_tools(tmp_path, monkeypatch):
    """A folder that is the only place tools are looked for; returns a
    function that installs the stand-in cmake there with a given version."""
    folder = tmp_path / "tools"
    folder.mkdir()
    monkeypatch.setattr(environment, "tool_folders", lambda: [str(folder)], raising=False)
    monkeypatch.setenv("PATH", str(folder))
    monkeypatch.setenv("FAKE_CMAKE_LOG", str(tmp_path / "calls"))
    monkeypatch.setenv("FAKE_CMAKE_FAIL", str(tmp_path / "fail"))

    def install_cmake(version):
        monkeypatch.setenv("FAKE_CMAKE_VERSION", version)
        cmake = folder / "cmake"
        cmake.write_text(FAKE_CMAKE)
        cmake.chmod(cmake.stat().st_mode | stat.S_IXUSR)

    return install_cmake


@pytest.mark.parametrize("version, message", [
    (None, "bench/run.py: CMake 3.26 or newer is needed and none was found: pip install '.[bench]' brings it"),
    ("3.25.1", "bench/run.py: CMake 3.26 or newer is needed, {tools}/cmake is 3.25: pip install '.[bench]' brings it"),
])
def test_a_missing_or_old_cmake_is_one_line_of_advice(fake_tools, tmp_path, capsys, version, message):
    if version:
        fake_tools(version)
    assert cli.main(["--build-dir", str(tmp_path / "build")]) == 2
    errors = capsys.readouterr().err.splitlines()
    assert errors[-1] == message.format(tools=tmp_path / "tools")
    assert not any("Traceback" in line for line in errors)


def test_a_failed_configure_does_not_poison_the_next_run(fake_tools, tmp_path):
    fake_tools("3.31.0")
    build_dir = tmp_path / "build"
    (tmp_path / "fail").touch()
    with pytest.raises(environment.BuildError, match="configure failed"):
        environment.build(build_dir, lambda line: None)
    os.unlink(tmp_path / "fail")
    environment.build(build_dir, lambda line: None)
    environment.build(build_dir, lambda line: None)  # configured now: builds only
    calls = [line.split()[0] for line in (tmp_path / "calls").read_text().splitlines() if line != "--version"]
    assert calls == ["-S", "-S", "--build", "--build"]
