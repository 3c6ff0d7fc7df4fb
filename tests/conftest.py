"""The platform the built program runs on: natively against the stand-in, or the
Windows build under 64-bit or 32-bit Wine against the stand-in's COM server.

    pytest-3 tests --platform native|wine64|wine32 [--build-dir DIR]
"""
import fcntl
import glob
import os
import shutil
import subprocess
import zipfile
from types import SimpleNamespace

import pytest
import signing
from tooling.wine_prefix import WinePrefix, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

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


def state_path(folder):
    return os.path.join(folder, "state", "remote-desktop")


def log_path(folder):
    return os.path.join(folder, "log")


class Runner:
    """Runs the built program, natively or in a Wine prefix."""

    def __init__(self, build, prefix=None):
        self.prefix = prefix
        self.line_end = "\r\n" if prefix else "\n"
        # Natively the COM library is the stand-in's, which logs the calls made to
        # it; under Wine it is Wine's own, and the stand-in's factory logs what
        # Wine asks it for instead.
        self.unlogged = ("OleInitialize", "CoCreateInstance") if prefix else ("CreateInstance",)
        self.program = os.path.join(build, "talvenor.exe" if prefix else "talvenor")
        self.server = os.path.join(build, "talvenor_stand_in.dll")
        self.planted = os.path.join(build, "tests", "talvenor_planted.dll")

    def log_of(self, calls):
        """The stand-in's log after CALLS, as this platform writes it."""
        return "".join(c + "\n" for c in calls if c.split()[0] not in self.unlogged) or None

    def path_for_program(self, path):
        return windows_path(path) if self.prefix else path

    def environment(self, folder, fault=None):
        """The stand-in's state file and log in folder; nothing of the
        machine's own environment may choose the state file."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TALVENOR_STANDIN_") and k != "XDG_STATE_HOME"}
        env["HOME"] = folder
        env["TALVENOR_STANDIN_STATE"] = self.path_for_program(state_path(folder))
        env["TALVENOR_STANDIN_LOG"] = self.path_for_program(log_path(folder))
        if fault is not None:
            env["TALVENOR_STANDIN_FAULT"] = fault
        return env

    def run(self, args, env, program=None, **popen):
        argv = [program or self.program, *args]
        if self.prefix:
            return self.prefix.run(argv, env, **popen)
        return subprocess.run(argv, env=env, timeout=180, **popen)


def session_prefix(config):
    """One prefix for the session at build/tests/wine, booted by whichever
    process needs it first: pytest-xdist's workers share it, the controller
    stops it. What the boot says waits there for the session's summary."""
    prefix = WinePrefix(64 if config.getoption("platform") == "wine64" else 32,
                        built(config, "tests", "wine"))
    prefix.note = os.path.join(prefix.folder, "boot-note")
    prefix.marker = os.path.join(prefix.folder, "booted")
    return prefix


@pytest.fixture(scope="session")
def runner(pytestconfig):
    if pytestconfig.getoption("platform") == "native":
        yield Runner(build_dir(pytestconfig))
        return
    prefix = session_prefix(pytestconfig)
    session = getattr(pytestconfig, "workerinput", {}).get("testrunuid", "")
    with open(prefix.folder + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not session or not os.path.exists(prefix.marker) or read(prefix.marker) != session:
            prefix.boot(built(pytestconfig, "talvenor_stand_in.dll"),
                        built(pytestconfig, "tests", "wine_keeper.exe"),
                        first_run=[built(pytestconfig, "talvenor.exe"), "s"],
                        say=lambda line: append(prefix.note, line + "\n"))
            append(prefix.marker, session)
    yield Runner(build_dir(pytestconfig), prefix)
    if not hasattr(pytestconfig, "workerinput"):
        prefix.stop()


def read(path):
    with open(path) as file:
        return file.read()


def append(path, text):
    with open(path, "a") as file:
        file.write(text)


def pytest_terminal_summary(terminalreporter, config):
    prefix = None if config.getoption("platform") == "native" else session_prefix(config)
    if prefix and not hasattr(config, "workerinput"):
        if os.path.exists(prefix.note):
            terminalreporter.write(read(prefix.note))
            os.remove(prefix.note)
        # A test that met Wine's failure ran once more (tests/CMakeLists.txt).
        for report in terminalreporter.stats.get("rerun", []):
            terminalreporter.write_line(f"wine{prefix.bits}: {report.nodeid} ran once more, as"
                                        f" Wine failed: {report.longrepr.reprcrash.message}")


def pytest_sessionfinish(session):
    """The xdist controller stops the prefix its workers shared."""
    config = session.config
    if hasattr(config, "workerinput") or not config.getoption("numprocesses", None):
        return
    if config.getoption("platform") != "native" and os.path.exists(session_prefix(config).marker):
        session_prefix(config).stop()


@pytest.fixture(scope="session")
def release(tmp_path_factory):
    """The zip as scripts/dist makes it when it signs with a key on a token and
    timestamps; every osslsigncode command line is kept, as ps would show it.
    The revocation list its certificates name hangs a fetch all session long."""
    folder = str(tmp_path_factory.mktemp("release"))
    crl_server, crl_url = signing.unanswering_server()
    signing.make_pki(folder, crl_url)
    shims = os.path.join(folder, "bin")
    os.makedirs(shims)
    with open(os.path.join(shims, "osslsigncode"), "w") as shim:
        shim.write(f'#!/bin/sh\necho "$*" >>{folder}/command-lines\n'
                   f'exec {shutil.which("osslsigncode")} "$@"\n')
    os.chmod(shim.name, 0o755)
    env = dict(os.environ, **signing.make_token(folder), PATH=shims + ":" + os.environ["PATH"],
               no_proxy="127.0.0.1")
    with open(os.path.join(folder, "pin"), "w") as file:
        file.write(signing.PIN + "\n")
    dist = [os.path.join(ROOT, "scripts", "dist"), "--sign-cert",
            os.path.join(folder, "chain.pem"), "--sign-key", signing.TOKEN_KEY,
            "--pkcs11-module", signing.SOFTHSM_MODULE]
    with signing.timestamp_authority(folder) as url:
        signed = subprocess.run([*dist, "--pin-file", os.path.join(folder, "pin"),
                                 "--timestamp", url], env=env, capture_output=True, text=True)
    assert signed.returncode == 0, signed.stderr
    [made] = glob.glob(os.path.join(ROOT, "build", "win32", "dist", "*.zip"))
    zip_path = shutil.copy(made, folder)
    with zipfile.ZipFile(zip_path) as archive:
        exe = archive.extract("talvenor.exe", os.path.join(folder, "signed"))
    return SimpleNamespace(folder=folder, zip=zip_path, exe=exe, env=env, dist=dist,
                           crl_server=crl_server,
                           file=lambda name: os.path.join(folder, name),
                           outputs=[signed.stdout + signed.stderr])
