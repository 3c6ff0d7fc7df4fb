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
from tooling.wine_prefix import WinePrefix, caller_environment, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRESETS = {"native": "native", "wine64": "win64", "wine32": "win32"}


def pytest_addoption(parser):
    parser.addoption("--platform", choices=sorted(PRESETS), default="native",
                     help="where the program runs (default: native)")
    parser.addoption("--build-dir", help="the build to test (default: build/<its preset>)")


def pytest_configure(config):
    config.addinivalue_line("markers", "platforms(*names): runs only on these platforms")


def pytest_collection_modifyitems(config, items):
    def chosen(item):
        marker = item.get_closest_marker("platforms")
        return marker is None or config.getoption("platform") in marker.args
    config.hook.pytest_deselected(items=[item for item in items if not chosen(item)])
    items[:] = filter(chosen, items)


def build_dir(config):
    return os.path.abspath(config.getoption("build_dir")
                           or os.path.join(ROOT, "build", PRESETS[config.getoption("platform")]))


def built(config, *path):
    return os.path.join(build_dir(config), *path)


def state_path(folder):
    return os.path.join(folder, "state", "remote-desktop")


def log_path(folder):
    return os.path.join(folder, "log")


def read(path):
    """A file's bytes as text, byte for byte, or None where there is none."""
    try:
        with open(path, "rb") as file:
            return file.read().decode("latin-1")
    except FileNotFoundError:
        return None


def append(path, text):
    with open(path, "a") as file:
        file.write(text)


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

    def environment(self, folder, fault=None):
        """The stand-in's state file and log in folder; nothing of the
        machine's own environment may choose the state file."""
        in_program = windows_path if self.prefix else str
        env = {k: v for k, v in caller_environment().items() if k != "XDG_STATE_HOME"}
        return dict(env, HOME=folder, TALVENOR_STANDIN_STATE=in_program(state_path(folder)),
                    TALVENOR_STANDIN_LOG=in_program(log_path(folder)),
                    **({} if fault is None else {"TALVENOR_STANDIN_FAULT": fault}))

    def run(self, args, env, program=None, **popen):
        argv = [program or self.program, *args]
        if self.prefix:
            return self.prefix.run(argv, env, **popen)
        return subprocess.run(argv, env=env, timeout=180, **popen)


def session_prefix(config):
    """One prefix for the session at build/tests/wine, booted by whichever
    process needs it first: pytest-xdist's workers share it, the session's
    first process stops it. What the boot says waits beside it for the
    session's summary (a boot empties the prefix's folder)."""
    prefix = WinePrefix(64 if config.getoption("platform") == "wine64" else 32,
                        built(config, "tests", "wine"))
    prefix.note, prefix.marker = prefix.folder + "-note", os.path.join(prefix.folder, "booted")
    # The session's first process, whose children pytest-xdist's workers are.
    prefix.session = str(os.getppid() if hasattr(config, "workerinput") else os.getpid())
    return prefix


@pytest.fixture(scope="session")
def runner(pytestconfig):
    if pytestconfig.getoption("platform") == "native":
        return Runner(build_dir(pytestconfig))
    prefix = session_prefix(pytestconfig)
    with open(prefix.folder + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if read(prefix.marker) != prefix.session:
            prefix.boot(build_dir(pytestconfig), say=lambda line: append(prefix.note, line + "\n"))
            append(prefix.marker, prefix.session)
    return Runner(build_dir(pytestconfig), prefix)


def pytest_terminal_summary(terminalreporter, config):
    """In the session's first process, once its workers are done: how the
    prefix booted, and which tests ran once more as Wine failed them; then
    the prefix stops, where this session booted it, and not where another
    did, which may still run in it."""
    if config.getoption("platform") == "native" or hasattr(config, "workerinput"):
        return
    prefix = session_prefix(config)
    if os.path.exists(prefix.note):
        terminalreporter.write(read(prefix.note))
        os.remove(prefix.note)
    # A test that met Wine's failure ran once more (tests/CMakeLists.txt).
    for report in terminalreporter.stats.get("rerun", []):
        terminalreporter.write_line(f"wine{prefix.bits}: {report.nodeid} ran once more, as"
                                    f" Wine failed: {report.longrepr.reprcrash.message}")
    if read(prefix.marker) == prefix.session:
        prefix.stop()
        os.remove(prefix.marker)


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
    it. It is made once for each commit and each version of the kit's own
    code, in build/.../tests/release, under a lock: pytest-xdist's workers
    share it, and so do the sessions that ctest runs at once, and a test that
    runs scripts/dist in the clone takes the lock too. The revocation list
    its certificates name is at a loopback port that each worker holds open,
    all session long, and that never answers."""
    folder = built(pytestconfig, "tests", "release")
    made, session = os.path.join(folder, "made"), kit_version()
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
        if read(made) != session:
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(kit.file("bin"))
            kit.crl_server, crl_url = signing.unanswering_server()
            append(kit.file("crl-port"), str(kit.crl_server.getsockname()[1]))
            make_release(kit, crl_url)
            append(made, session)
        else:
            kit.crl_server, _ = signing.unanswering_server(int(read(kit.file("crl-port"))))
    return kit


def kit_version():
    """HEAD's commit, and the blobs of the code that makes the kit."""
    return "".join(subprocess.run(["git", "-C", ROOT, *command], check=True, capture_output=True,
                                  text=True).stdout for command in (
        ["rev-parse", "HEAD"], ["hash-object", "tests/conftest.py", "tests/signing.py"]))


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
