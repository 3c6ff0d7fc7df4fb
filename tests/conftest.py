"""The platform the built program runs on: natively against the stand-in, or the
Windows build under 64-bit or 32-bit Wine against the stand-in's COM server.

    python3 -m pytest tests --platform native|wine64|wine32 [--build-dir DIR]
"""
import fcntl
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from wine_prefix import WinePrefix, windows_path  # noqa: E402

PRESETS = {"native": "native", "wine64": "win64", "wine32": "win32"}


def pytest_addoption(parser):
    parser.addoption("--platform", choices=sorted(PRESETS), default="native",
                     help="where the program runs (default: native)")
    parser.addoption("--build-dir", help="the build to test (default: build/<its preset>)")


def pytest_configure(config):
    config.addinivalue_line("markers", "platforms(*names): runs only on these platforms")


def pytest_collection_modifyitems(config, items):
    platform = config.getoption("platform")
    chosen, other = [], []
    for item in items:
        marker = item.get_closest_marker("platforms")
        (chosen if marker is None or platform in marker.args else other).append(item)
    if other:
        config.hook.pytest_deselected(items=other)
        items[:] = chosen


def build_dir(config):
    return os.path.abspath(config.getoption("build_dir")
                           or os.path.join(ROOT, "build", PRESETS[config.getoption("platform")]))


def built(config, *path):
    return os.path.join(build_dir(config), *path)


class Runner:
    """Runs the program with the stand-in's state file and log in a folder."""

    def environment(self, folder, fault=None):
        # Nothing of the machine's own environment may choose the state file.
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TALVENOR_STANDIN_") and k != "XDG_STATE_HOME"}
        env["HOME"] = folder
        env["TALVENOR_STANDIN_STATE"] = self.path_for_program(state_path(folder))
        env["TALVENOR_STANDIN_LOG"] = self.path_for_program(log_path(folder))
        if fault is not None:
            env["TALVENOR_STANDIN_FAULT"] = fault
        return env


def state_path(folder):
    return os.path.join(folder, "state", "remote-desktop")


def log_path(folder):
    return os.path.join(folder, "log")


class NativeRunner(Runner):
    line_end = "\n"
    com_calls_logged = True

    def __init__(self, program):
        self.program = program

    def path_for_program(self, path):
        return path

    def run(self, args, env, program=None, **popen):
        return subprocess.run([program or self.program, *args], env=env, timeout=180, **popen)


class WineRunner(Runner):
    line_end = "\r\n"
    com_calls_logged = False  # OleInitialize and CoCreateInstance are Wine's own

    def __init__(self, prefix, program, server, planted):
        self.prefix = prefix
        self.program = program
        self.server = server
        self.planted = planted

    def path_for_program(self, path):
        return windows_path(path)

    def run(self, args, env, program=None, **popen):
        return self.prefix.run([program or self.program, *args], env, **popen)


def shared_prefix(config, bits):
    """One prefix for the session, booted by whichever process needs it first:
    with pytest-xdist the workers share it, and the controller stops it."""
    prefix = WinePrefix(bits, built(config, "tests", "wine"))
    session = getattr(config, "workerinput", {}).get("testrunuid", "")
    with open(prefix.folder + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        marker = os.path.join(prefix.folder, "booted")
        if not session or not os.path.exists(marker) or open(marker).read() != session:
            prefix.boot(built(config, "talvenor_stand_in.dll"),
                        built(config, "tests", "wine_keeper.exe"), say=boot_note(prefix).write)
            with open(marker, "w") as file:
                file.write(session)
    return prefix


@pytest.fixture(scope="session")
def runner(pytestconfig):
    platform = pytestconfig.getoption("platform")
    if platform == "native":
        yield NativeRunner(built(pytestconfig, "talvenor"))
        return
    prefix = shared_prefix(pytestconfig, 64 if platform == "wine64" else 32)
    yield WineRunner(prefix, built(pytestconfig, "talvenor.exe"),
                     built(pytestconfig, "talvenor_stand_in.dll"),
                     built(pytestconfig, "tests", "talvenor_planted.dll"))
    if not hasattr(pytestconfig, "workerinput"):
        prefix.stop()


class boot_note:
    """What the boot says, kept for the session's summary: a worker of
    pytest-xdist has no terminal of its own."""

    def __init__(self, prefix):
        self.path = os.path.join(prefix.folder, "boot-note")

    def write(self, line):
        with open(self.path, "a") as file:
            file.write(line + "\n")


def pytest_terminal_summary(terminalreporter, config):
    if config.getoption("platform") == "native" or hasattr(config, "workerinput"):
        return
    note = boot_note(WinePrefix(0, built(config, "tests", "wine")))
    if os.path.exists(note.path):
        with open(note.path) as file:
            terminalreporter.write(file.read())
        os.remove(note.path)


def pytest_sessionfinish(session):
    """The xdist controller stops the prefix its workers shared."""
    config = session.config
    if hasattr(config, "workerinput") or not config.getoption("numprocesses", None):
        return
    platform = config.getoption("platform")
    prefix = WinePrefix(64 if platform == "wine64" else 32, built(config, "tests", "wine"))
    if platform != "native" and os.path.exists(os.path.join(prefix.folder, "booted")):
        prefix.stop()
