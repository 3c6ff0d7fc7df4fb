"""The built program end to end against the stand-in platform: every byte it
prints, its exit status, the state file and the stand-in's log."""
import os
import random
import re
import shutil
import subprocess
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import pytest
from conftest import ROOT, log_path, read, state_path
from tooling.wine_prefix import (BootFailure, StrayOutcome, WineFailure, caller_environment,
                                 windows_path)

USAGE = ("Talvenor 1.0\nUsage:\ne\tenable Remote Desktop\nd\tdisable Remote Desktop\n"
         "s\tdisplay state of service\n")
ENABLED = "Remote Desktop is enabled."
DISABLED = "Remote Desktop is disabled."
SUCCEEDED = "Succeeded.\n"
NO_COM = "Can't initialize COM.\n"
NO_OBJECT = "Can't instantiate ShellLocalMachine object.\n"
NO_QUERY = "Can't query Remote Desktop state.\n"
NO_ENABLE = "Can't enable Remote Desktop.\n"
NO_DISABLE = "Can't disable Remote Desktop.\n"

MACHINE_CLASS = "{60664CAF-AF0D-0005-A300-5C7D25FF22A0}"
MACHINE_INTERFACE = "{60664CAF-AF0D-1005-A300-5C7D25FF22A0}"
# Both logs at once: the native COM library's two lines, and the line of the
# factory that Wine's COM library asks (see runner.log_of).
CREATED = ["OleInitialize reserved=null",
           f"CoCreateInstance {MACHINE_CLASS} outer=null context=1 {MACHINE_INTERFACE}"
           " *object=null",
           f"CreateInstance outer=null {MACHINE_INTERFACE}"]
QUERIED = CREATED + ["get self=created 0"]
ENABLING = CREATED + ["set self=created 1"]
DISABLING = CREATED + ["set self=created 0"]
MISSING = None  # no state file

native = pytest.mark.platforms("native")
wine = pytest.mark.platforms("wine64", "wine32")
as_root = pytest.mark.skipif(os.geteuid() != 0,
                             reason="needs root, to run the program as another user")


@dataclass
class Case:
    """A row of the table: the run's arguments, the state file before it and
    the stand-in's fault; what it prints on standard output, or a failure's
    message ("Can't ..."), which it prints on standard error instead and ends
    with 1. The
    rest follows: a change carried out sets the state, nothing else does, and
    the stand-in logs the calls up to the first that fails."""
    name: str
    args: list  # or one argument alone
    out: str
    before: str = MISSING
    fault: str = None

    def __post_init__(self):
        self.args = [self.args] if isinstance(self.args, str) else self.args
        letter = self.args[0][:1] if self.args else ""
        failed = self.out.startswith("Can't")
        self.out, self.err, self.status = ("", self.out, 1) if failed else (self.out, "", 0)
        self.after = self.before if failed else {"e": "1\n", "d": "0\n"}.get(letter, self.before)
        command = {"s": QUERIED, "e": ENABLING, "d": DISABLING}.get(letter, [])
        self.calls = {NO_COM: CREATED[:1], NO_OBJECT: CREATED}.get(self.err, command)
        # Wine's own COM library never meets the stand-in's faults for it.
        self.native_only = (self.fault or "").startswith("init")


CASES = [
    Case("usage", [], USAGE),
    Case("usage leaves COM alone even with a fault set", [], USAGE, fault="create"),
    Case("empty argument", "", ""),
    Case("upper-case letter", "S", "", "1\n"),
    Case("upper-case enable", "E", ""),
    Case("minus sign", "-s", ""),
    Case("slash", "/s", ""),
    Case("other letter", ["x", "s"], ""),
    Case("show, never set", "s", DISABLED),
    Case("show, disabled", "s", DISABLED, "0\n"),
    Case("show, enabled", "s", ENABLED, "1\n"),
    Case("show, minus one", "s", ENABLED, "-1\n"),
    Case("status", "status", ENABLED, "1\n"),
    Case("show as a word", "show", DISABLED, "0\n"),
    Case("show, more arguments", ["s", "e", "d"], ENABLED, "1\n"),
    Case("enable, never set", "e", SUCCEEDED),
    Case("enable", "enable", SUCCEEDED, "0\n"),
    Case("enable, already on", "e", SUCCEEDED, "1\n"),
    Case("disable", "d", SUCCEEDED, "1\n"),
    Case("disable as a word", "disable", SUCCEEDED, "-1\n"),
    Case("delete disables", "delete", SUCCEEDED, "1\n"),
    Case("COM fails", "s", NO_COM, fault="init"),
    Case("COM fails with another code", "e", NO_COM, "0\n", "init=0xFFFFFFFF"),
    Case("COM already initialised", "s", ENABLED, "1\n", "init-positive"),
    Case("COM initialised with another positive code", "s", ENABLED, "1\n",
         "init-positive=0x7FFFFFFF"),
    Case("creation fails", "e", NO_OBJECT, "0\n", "create"),
    Case("creation fails with another code", "s", NO_OBJECT, fault="create=0x80000000"),
    Case("creation fails after writing a pointer", "e", NO_OBJECT, "0\n", "create-poison"),
    Case("creation gives no object", "s", NO_OBJECT, fault="no-object"),
    Case("creation answers S_FALSE", "e", SUCCEEDED, "0\n", "create-positive"),
    Case("creation answers another positive code", "s", ENABLED, "1\n",
         "create-positive=0x7FFFFFFF"),
    Case("getter fails", "s", NO_QUERY, "1\n", "get"),
    Case("getter fails with another code", "s", NO_QUERY, "1\n", "get=0x8000FFFF"),
    Case("getter answers S_FALSE", "s", ENABLED, "1\n", "get-positive"),
    Case("getter answers another positive code", "s", DISABLED, "0\n", "get-positive=0x7FFFFFFF"),
    Case("setter answers S_FALSE", "d", SUCCEEDED, "1\n", "set-positive"),
    Case("setter answers another positive code", "e", SUCCEEDED, "0\n", "set-positive=0x7FFFFFFF"),
    Case("state unreadable", "s", NO_QUERY, "on\n"),
    Case("state out of range", "s", NO_QUERY, "32768\n"),
    Case("enable refused", "e", NO_ENABLE, "0\n", "set"),
    Case("disable refused", "d", NO_DISABLE, "1\n", "set"),
    Case("enable refused with another code", "e", NO_ENABLE, "0\n", "set=0x80004005"),
]


def store(folder, contents):
    os.makedirs(os.path.dirname(state_path(folder)), exist_ok=True)
    with open(state_path(folder), "wb") as file:
        file.write(contents.encode())


def run(runner, folder, args, fault=None, before=MISSING, extra_env=(), **popen):
    if before is not MISSING:
        store(folder, before)
    popen = {"stdin": subprocess.DEVNULL, "capture_output": "stdout" not in popen, **popen}
    return runner.run(args, dict(runner.environment(folder, fault), **dict(extra_env)), **popen)


@pytest.mark.parametrize("case", [
    pytest.param(case, id=case.name, marks=[native] if case.native_only else [])
    for case in CASES])
def test_table(runner, tmp_path, case):
    result = run(runner, str(tmp_path), case.args, case.fault, case.before)
    assert dict(stdout=result.stdout.decode("latin-1"), stderr=result.stderr.decode("latin-1"),
                status=result.returncode, state=read(state_path(tmp_path)),
                log=read(log_path(tmp_path))) == dict(
        stdout=case.out.replace("\n", runner.line_end), status=case.status, state=case.after,
        stderr=case.err.replace("\n", runner.line_end), log=runner.log_of(case.calls))


# How many of the table's rows each platform runs, written out: a mark or a
# filter that drops rows from a platform fails here, not in silence.
ROWS_RUN = {"native": 42, "wine64": 38, "wine32": 38}


def test_every_row_the_platform_can_run_is_run(request, pytestconfig):
    if pytestconfig.getoption("keyword") or pytestconfig.getoption("lf", False):
        pytest.skip("a chosen part of the table runs")
    ran = [item for item in request.session.items if item.originalname == "test_table"]
    assert len(ran) == ROWS_RUN[pytestconfig.getoption("platform")]


@native
@pytest.mark.parametrize("error", [
    WineFailure("a run"), StrayOutcome("a run"), BootFailure("a boot"),
    AssertionError("tooling.wine_prefix.WineFailure: quoted")], ids=repr)
def test_only_wines_own_failure_runs_again(error):
    """The pattern ctest gives pytest-rerunfailures, which searches a failure's message."""
    with open(os.path.join(ROOT, "tests", "CMakeLists.txt")) as file:
        pattern = re.search(r"--only-rerun=(\S+)\)", file.read()).group(1)
    with pytest.raises(type(error)) as raised:
        raise error
    assert bool(re.search(pattern, raised.exconly())) == isinstance(error, WineFailure)


@native
@pytest.mark.parametrize("fault", [
    "sometimes", "get=", "get=0x8007001", "get=0x800700155", "get=80070015", "get=0X80070015",
    "get=0x8007001G", "get=0x00000001", "get-positive=0x00000000", "no-object=0x00000001",
    "set =0x80004005", "get=0x80070015\n"])
def test_a_mistyped_fault_stops_the_run_before_anything_else(runner, tmp_path, fault):
    result = run(runner, str(tmp_path), [], fault=fault)
    assert (result.returncode, result.stdout, read(log_path(tmp_path))) == (2, b"", MISSING)
    assert result.stderr == (f"stand-in: TALVENOR_STANDIN_FAULT={fault} is not one of init, "
                             "init-positive, create, create-poison, create-positive, no-object, "
                             "get, get-positive, set, set-positive, each alone or with =0x and "
                             "eight hex digits of a result of its kind\n").encode()


@native
@pytest.mark.parametrize("letter, after, calls", [("s", "0\n", QUERIED), ("e", "1\n", ENABLING)],
                         ids=["s", "e"])
@pytest.mark.parametrize("closed", [True, False], ids=["closed", "into a pipe nobody reads"])
def test_standard_output_that_takes_nothing(runner, tmp_path, letter, after, calls, closed):
    """Closed, its descriptor is the first the run opens next: the message
    for the closed stream must not end up in a file of the stand-in's."""
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = run(runner, str(tmp_path), [letter], before="0\n", stderr=subprocess.PIPE,
                     **({"stdout": None, "preexec_fn": lambda: os.close(1)} if closed
                        else {"stdout": writer}))
    finally:
        os.close(writer)
    assert (result.returncode, result.stderr, read(state_path(tmp_path)),
            read(log_path(tmp_path))) == (0, b"", after, runner.log_of(calls))


@native
@pytest.mark.parametrize("variables, kept_at", [
    ({"XDG_STATE_HOME": "{}", "HOME": "/nonexistent"}, "talvenor/remote-desktop"),
    ({"HOME": "{}"}, ".local/state/talvenor/remote-desktop"),
    ({"XDG_STATE_HOME": "xdg", "HOME": "{}"}, ".local/state/talvenor/remote-desktop"),
    ({"TALVENOR_STANDIN_STATE": "", "HOME": "{}"}, ".local/state/talvenor/remote-desktop"),
    ({"TALVENOR_STANDIN_STATE": "{}/chosen", "XDG_STATE_HOME": "{}"}, "chosen"),
], ids=["under $XDG_STATE_HOME", "under $HOME", "under $HOME when $XDG_STATE_HOME is relative",
        "under $HOME when $TALVENOR_STANDIN_STATE is empty",
        "at $TALVENOR_STANDIN_STATE before $XDG_STATE_HOME"])
def test_state_kept(runner, tmp_path, variables, kept_at):
    """Run in the case's folder ({} in the variables): the one path created there."""
    env = {k: v for k, v in caller_environment().items() if k not in ("XDG_STATE_HOME", "HOME")}
    env.update({k: v.format(tmp_path) for k, v in variables.items()})
    enable, show = (runner.run([letter], env, cwd=tmp_path, capture_output=True)
                    for letter in "es")
    assert (enable.stdout, show.stdout) == (SUCCEEDED.encode(), ENABLED.encode())
    assert read(os.path.join(tmp_path, kept_at)) == "1\n"
    assert os.listdir(tmp_path) == [kept_at.split("/")[0]]


@native
def test_scripts_run_keeps_relative_paths_relative_to_its_caller(runner, tmp_path):
    built = os.path.join(ROOT, "build", "native", "talvenor")
    if not (os.path.exists(built) and os.path.samefile(runner.program, built)):
        pytest.skip("scripts/run runs build/native, and this is another build")
    in_checkout = [os.path.join(ROOT, name) for name in ("relative-state", "relative-log")]
    try:
        result = run(runner, str(tmp_path), ["e"], program=os.path.join(ROOT, "scripts", "run"),
                     cwd=tmp_path, extra_env={"TALVENOR_STANDIN_STATE": "relative-state",
                                              "TALVENOR_STANDIN_LOG": "relative-log"})
    finally:
        left = [path for path in in_checkout if os.path.exists(path)]
        for path in left:
            os.remove(path)
    assert result.stdout.decode() == SUCCEEDED
    assert read(os.path.join(tmp_path, "relative-state")) == "1\n"
    assert left == []


@native
def test_many_runs_at_once_never_show_a_torn_state(runner, tmp_path):
    """400 runs, 8 at a time: each prints one of its outputs, and the state file,
    read over and over meanwhile, is never seen empty or half written."""
    folder = str(tmp_path)
    store(folder, "0\n")
    letters = random.Random(7).choices("eds", k=400)
    seen_states = set()
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen_states.add(read(state_path(folder)))

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        with ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(lambda letter: (letter, run(runner, folder, [letter])),
                                    letters))
    finally:
        done.set()
        watcher.join()
    allowed = {"s": {ENABLED, DISABLED}, "e": {SUCCEEDED}, "d": {SUCCEEDED}}
    wrong = [(letter, r.stdout, r.stderr, r.returncode) for letter, r in results
             if r.stdout.decode() not in allowed[letter] or r.stderr or r.returncode]
    assert wrong == []
    assert seen_states == {"0\n", "1\n"}
    log = read(log_path(folder)).splitlines()
    assert len(log) == 3 * len(letters)
    assert set(log) <= {*runner.log_of(CREATED).splitlines(), "get self=created 0",
                        "set self=created 0", "set self=created 1"}
    assert os.listdir(os.path.dirname(state_path(folder))) == ["remote-desktop"]


@pytest.fixture
def open_folder():
    """A folder another user can enter."""
    folder = tempfile.mkdtemp(prefix="talvenor-e2e-")
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


def as_nobody(runner, folder, letter):
    """Runs a copy of the program, put in the folder, as nobody, who may not be
    able to read the build or anything else of the checkout."""
    return run(runner, folder, [letter], program=shutil.copy(runner.program, folder),
               user=65534, group=65534, extra_groups=[])


@native
@as_root
def test_read_only_state_folder(runner, open_folder):
    store(open_folder, "0\n")
    state_folder = os.path.dirname(state_path(open_folder))
    os.chmod(state_folder, 0o555)
    result = as_nobody(runner, open_folder, "e")
    assert (result.stdout, result.stderr.decode(), result.returncode) == (b"", NO_ENABLE, 1)
    assert read(state_path(open_folder)) == "0\n"
    assert os.listdir(state_folder) == ["remote-desktop"]


@native
@as_root
def test_the_state_written_by_one_user_is_read_by_another(runner, open_folder):
    """The setting is the machine's: written by a user whose files are private
    by default, it reads the same for every other."""
    enable = run(runner, open_folder, ["e"], umask=0o077)
    os.chmod(os.path.dirname(state_path(open_folder)), 0o755)
    show = as_nobody(runner, open_folder, "s")
    assert (enable.stdout.decode(), show.stdout.decode(), show.stderr) == (SUCCEEDED, ENABLED, b"")


@native
def test_a_file_where_the_state_folder_should_be(runner, tmp_path):
    blocker = os.path.dirname(state_path(tmp_path))
    with open(blocker, "w") as file:
        file.write("not a folder\n")
    result = run(runner, str(tmp_path), ["e"])
    assert (result.stderr.decode(), result.returncode, read(blocker)) == (
        NO_ENABLE, 1, "not a folder\n")


@native
@pytest.mark.parametrize("length", [4095, 4096], ids=["path filling the buffer", "one past it"])
@pytest.mark.parametrize("letter, message", [("s", NO_QUERY), ("e", NO_ENABLE)], ids=["s", "e"])
def test_a_state_path_too_long_to_use(runner, tmp_path, length, letter, message):
    folder = str(tmp_path)
    result = run(runner, folder, [letter], extra_env={
        "TALVENOR_STANDIN_STATE": folder + "/" + "x" * (length - len(folder) - 1)})
    assert (result.stdout, result.stderr.decode(), result.returncode) == (b"", message, 1)
    assert sorted(os.listdir(folder)) == ["log"]


@native
def test_a_64_mib_state_file(runner, tmp_path):
    store(str(tmp_path), "1" * (64 << 20))
    result = run(runner, str(tmp_path), ["s"])
    assert (result.stderr.decode(), result.returncode) == (NO_QUERY, 1)


@native
def test_an_endless_state_file_is_read_only_as_far_as_needed(runner, tmp_path):
    """A program that read it all would hang, and the writer would not see the
    reader go away after a few bytes."""
    os.makedirs(os.path.dirname(state_path(tmp_path)))
    os.mkfifo(state_path(tmp_path))
    outcome = {}

    def write_forever():
        try:
            with open(state_path(tmp_path), "wb") as fifo:
                fifo.write(b"1" * (64 << 20))
            outcome["wrote"] = "all 64 MiB"
        except BrokenPipeError:
            outcome["wrote"] = "until the reader left"

    writer = threading.Thread(target=write_forever, daemon=True)
    writer.start()
    result = run(runner, str(tmp_path), ["s"])
    writer.join(timeout=60)
    assert (result.stderr.decode(), result.returncode, outcome.get("wrote")) == (
        NO_QUERY, 1, "until the reader left")


@native
def test_a_change_reaches_the_disk_before_it_replaces_the_state(runner, tmp_path):
    """So that no crash leaves the state file half written: the new state is
    written to a temporary file, synced, and only then renamed over the old."""
    trace = os.path.join(tmp_path, "trace")
    # The leak checker of a sanitizer build cannot work under a tracer.
    traced = run(runner, str(tmp_path), ["-f", "-qq", "-o", trace, "-e",
                                         "trace=write,fsync,fdatasync,rename,renameat,renameat2",
                                         runner.program, "e"], before="0\n", program="strace",
                 extra_env={"ASAN_OPTIONS": "detect_leaks=0"})
    assert (traced.returncode, traced.stdout) == (0, SUCCEEDED.encode())
    with open(trace) as file:  # each step as "write FD", "sync FD" or "rename"
        steps = [" ".join(filter(None, step)) for step in re.findall(
            r'\b(write)\((\d+), "1\\n", 2\)|\bf(?:data)?(sync)\((\d+)'
            r'|\b(rename)(?:at2?)?\(.*"[^"]*/remote-desktop"', file.read())]
    descriptor = steps[0].split()[-1] if steps else "?"
    assert steps == [f"write {descriptor}", f"sync {descriptor}", "rename"]
    assert read(state_path(tmp_path)) == "1\n"


@wine
def test_the_object_lives_in_the_program_which_loads_no_dll_planted_beside_it(runner, tmp_path):
    """The object made in the program, on its main thread; a DLL planted in the
    program's folder, which is also the current one, under the name the
    class's server asks for by bare name, is not loaded."""
    program = shutil.copy(runner.program, tmp_path)
    planted = shutil.copy(runner.planted, tmp_path)
    result = run(runner, str(tmp_path), ["s"], before="1\n", program=program, cwd=tmp_path,
                 extra_env={"TALVENOR_STANDIN_LOAD": "talvenor_planted.dll",
                            "TALVENOR_STANDIN_HOST": windows_path(tmp_path / "host")})
    assert (result.stdout.decode(), result.stderr) == (ENABLED, b"")
    assert read(log_path(tmp_path)) == runner.log_of(
        [CREATED[-1], "not loaded talvenor_planted.dll", QUERIED[-1]])
    assert not os.path.exists(planted + ".ran"), "the planted DLL ran"
    assert read(tmp_path / "host") == "talvenor.exe main-sta\n"


@wine
@pytest.mark.parametrize("flags", [(), ("/n", "/i:handler")], ids=["none", "handler only"])
def test_class_not_registered_as_an_in_process_server(runner, tmp_path, flags):
    """With no registration at all, or as an in-process handler only, which a
    creation that asked for more than an in-process server would find."""
    with runner.prefix.registered_only_as(runner.server, *flags):
        result = run(runner, str(tmp_path), ["s"], before="1\n")
    assert (result.stdout, result.stderr.decode(), result.returncode) == (
        b"", NO_OBJECT.replace("\n", "\r\n"), 1)
    assert read(log_path(tmp_path)) == MISSING
    # and registered again for every run after
    assert run(runner, str(tmp_path / "after"), ["s"], before="1\n").stdout == ENABLED.encode()
