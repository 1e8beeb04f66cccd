# Finding the library, the simulator helpers, the command-line entry point,
# and an offline install with the system's setuptools.
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kavrol
from kavrol.testing import Simulator, SimulatorError

PACKAGE_DIR = Path(__file__).resolve().parents[1]


def run_python(code: str, env: dict, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.fixture
def package_copy(tmp_path):
    """The package alone in a fresh directory, found through nothing else."""
    shutil.copytree(PACKAGE_DIR / "kavrol", tmp_path / "kavrol", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k not in ("KAVROL_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    return tmp_path, env


LOAD = "import kavrol._library as lib; print(lib.library().kavrol_result_name(1).decode())"


def test_library_missing_everywhere(package_copy):
    where, env = package_copy
    result = run_python(LOAD, env, where)
    assert result.returncode != 0
    message = result.stderr.strip().splitlines()[-1]
    for place in ("$KAVROL_LIBRARY: not set", "next to the package", "the system's library path"):
        assert place in message


def test_library_next_to_the_package_and_through_the_variable(package_copy):
    where, env = package_copy
    built = os.environ["KAVROL_LIBRARY"]
    assert run_python(LOAD, {**env, "KAVROL_LIBRARY": built}, where).stdout.strip() == "ok"
    shutil.copy(built, where / "kavrol" / "libkavrol32.so")
    assert run_python(LOAD, env, where).stdout.strip() == "ok"
    # An explicit path that does not load is an error, not a fall-back to the copy.
    broken = run_python(LOAD, {**env, "KAVROL_LIBRARY": str(where / "none.so")}, where)
    assert broken.returncode != 0 and "none.so cannot be loaded" in broken.stderr


def test_simulator_errors(tmp_path):
    with pytest.raises(SimulatorError, match="pass program=..., set \\$KAVROL_DEVSIM, or put it on the PATH"):
        env = os.environ.pop("KAVROL_DEVSIM")
        path = os.environ.get("PATH", "")
        os.environ["PATH"] = str(tmp_path)
        try:
            Simulator().start()
        finally:
            os.environ["KAVROL_DEVSIM"] = env
            os.environ["PATH"] = path
    with pytest.raises(SimulatorError, match="exited with 2: .*no-such-scenario"):
        Simulator(scenario="no-such-scenario").start()


def test_simulator_fault_log_and_frame_log():
    sim = Simulator(faults=["delay:1:10"], seed=3, fault_log=True)
    with sim as (path, log):
        with kavrol.Link.open(path) as link:
            assert link.query(2, 1).ok
        (entry,) = log.wait(1)
        assert entry["command"] == 1 and entry["faults"] == [{"kind": "delay", "value": 10}]
        assert len(sim.received_frames()) == 1
    assert sim.path is None


def test_readme_example_runs():
    readme = (PACKAGE_DIR.parent / "README.md").read_text(encoding="utf-8")
    example = readme.split("Then paste this into `python3`:\n\n```python\n", 1)[1].split("```", 1)[0]
    result = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": str(PACKAGE_DIR)})
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stderr
    assert lines[0].startswith("OK 05 01 00 05 3d -> 3e ")
    assert lines[1:] == ["6 2312", "2057", "device error 250"]


def kavrol_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kavrol", *args], cwd=PACKAGE_DIR, capture_output=True, text=True,
                          timeout=60)


def test_command_line_query(device):
    result = kavrol_cli("query", "--port", device, "--model", "2", "--command", "1", "--json")
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["status"] == 1 and out["status_name"] == "ok" and out["reply_code"] == 1
    assert out["sent"] == "05 01 00 05 3D" and out["record"]["code1Word2"] == 0x0908
    text = kavrol_cli("query", "--port", device, "--model", "2", "--command", "250", "--timeout", "300")
    assert text.returncode == 1 and "status    -9 (device-error)" in text.stdout


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["--words", "1,2,3,4,5"], 2, "at most 4 words"),
        (["--baud", "1234"], 2, "baud rate 1234"),
        (["--port", "/nonexistent/tty"], 3, "cannot use /nonexistent/tty"),
    ],
)
def test_command_line_failures(args, status, message):
    base = {"--port": "/dev/null", "--model": "2", "--command": "3"}
    for flag, value in zip(args[::2], args[1::2]):
        base[flag] = value
    result = kavrol_cli("query", *[x for pair in base.items() for x in pair])
    assert result.returncode == status and message in result.stderr


def test_offline_install(tmp_path):
    # The README's command, which pyproject.toml needs without a network.
    readme = (PACKAGE_DIR.parent / "README.md").read_text(encoding="utf-8")
    assert "pip install --no-build-isolation --no-index ./python" in readme
    # From a copy: pip builds in the source directory.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns("*.so", "__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    install = subprocess.run(
        ["/usr/bin/python3", "-m", "pip", "--python", str(venv / "bin" / "python"), "install",
         "--no-build-isolation", "--no-index", "--no-cache-dir", str(source)],
        capture_output=True, text=True, timeout=300, env={**os.environ, "PIP_NO_INPUT": "1"},
    )
    assert install.returncode == 0, install.stdout + install.stderr
    code = "import kavrol, kavrol.testing; print(kavrol.__file__); print(len(kavrol.record_fields()))"
    check = subprocess.run([str(venv / "bin" / "python"), "-c", code], cwd=tmp_path, capture_output=True, text=True,
                           env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    location, count = check.stdout.split()
    assert location.startswith(str(venv)) and int(count) == len(kavrol.record_fields())
