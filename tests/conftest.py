"""The platform the built program runs on: natively against the stand-in, or the
Windows build under 64-bit or 32-bit Wine against the stand-in's COM server.

    pytest-3 tests --platform native|wine64|wine32 [--build-dir DIR]
"""
import contextlib
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


@contextlib.contextmanager
def locked(path):
    with open(path, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


@pytest.fixture(scope="session")
def release(pytestconfig):
    """The zip as scripts/dist makes it in a clone of HEAD, so that no change
    not yet committed stops the signing, when it signs with a key on a token
    and timestamps; every osslsigncode command line is kept, as ps would show
    it. It is made once a test run, in build/.../tests/release, under a lock:
    pytest-xdist's workers share it as they share a Wine prefix, and a test
    that runs scripts/dist in the clone takes the lock too. The revocation
    list its certificates name is at a loopback port that each worker holds
    open, all session long, and that never answers."""
    folder = built(pytestconfig, "tests", "release")
    made, session = os.path.join(folder, "made"), getattr(pytestconfig, "workerinput", {}).get(
        "testrunuid", "")
    kit = SimpleNamespace(
        folder=folder, file=lambda name: os.path.join(folder, name),
        checkout=os.path.join(folder, "checkout"), lock=lambda: locked(folder + ".lock"),
        zip=os.path.join(folder, "talvenor-1.0-win32.zip"),
        exe=os.path.join(folder, "signed", "talvenor.exe"),
        env=dict(os.environ, SOFTHSM2_CONF=os.path.join(folder, "softhsm2.conf"),
                 PATH=os.path.join(folder, "bin") + ":" + os.environ["PATH"],
                 no_proxy="127.0.0.1"))
    kit.dist = [os.path.join(kit.checkout, "scripts", "dist"), "--sign-cert", kit.file("chain.pem"),
                "--sign-key", signing.TOKEN_KEY, "--pkcs11-module", signing.SOFTHSM_MODULE]
    with kit.lock():
        if not session or not os.path.exists(made) or read(made) != session:
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(kit.file("bin"))
            kit.crl_server, crl_url = signing.unanswering_server()
            append(kit.file("crl-port"), str(kit.crl_server.getsockname()[1]))
            make_release(kit, crl_url)
            append(made, session)
        else:
            kit.crl_server, _ = signing.unanswering_server(int(read(kit.file("crl-port"))))
    return kit


def make_release(kit, crl_url):
    signing.make_pki(kit.folder, crl_url)
    with open(kit.file("bin/osslsigncode"), "w") as shim:
        shim.write(f'#!/bin/sh\necho "$*" >>{kit.folder}/command-lines\n'
                   f'exec {shutil.which("osslsigncode")} "$@"\n')
    os.chmod(shim.name, 0o755)
    signing.make_token(kit.folder)
    append(kit.file("pin"), signing.PIN + "\n")
    for git in (["init", "-q", kit.checkout], ["-C", kit.checkout, "fetch", "-q", ROOT, "HEAD"],
                ["-C", kit.checkout, "checkout", "-q", "FETCH_HEAD"]):
        subprocess.run(["git", *git], check=True)
    with signing.timestamp_authority(kit.folder) as url:
        signed = subprocess.run([*kit.dist, "--pin-file", kit.file("pin"), "--timestamp", url],
                                env=kit.env, capture_output=True, text=True)
    append(kit.file("signing-output"), signed.stdout + signed.stderr)
    assert signed.returncode == 0, signed.stderr
    [made] = glob.glob(os.path.join(kit.checkout, "build", "win32", "dist", "*.zip"))
    shutil.copy(made, kit.zip)
    with zipfile.ZipFile(kit.zip) as archive:
        archive.extract("talvenor.exe", kit.file("signed"))
    subprocess.run(["osslsigncode", "remove-signature", "-in", kit.exe, "-out",
                    kit.file("unsigned.exe")], check=True, capture_output=True)
