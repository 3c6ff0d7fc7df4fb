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
from dataclasses import dataclass, field

import pytest
from conftest import ROOT, log_path, state_path
from tooling.wine_prefix import windows_path

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
    name: str
    args: list
    out: str
    err: str = ""
    status: int = 0
    before: str = MISSING  # state file contents before the run
    after: str = "same"  # state file contents after it
    calls: list = field(default_factory=list)  # the stand-in's log
    fault: str = None
    native_only: bool = False  # injects a fault into COM initialisation


CASES = [
    Case("usage", [], USAGE),
    Case("usage leaves COM alone even with a fault set", [], USAGE, fault="create"),
    Case("empty argument", [""], ""),
    Case("upper-case letter", ["S"], "", before="1\n"),
    Case("upper-case enable", ["E"], ""),
    Case("minus sign", ["-s"], ""),
    Case("slash", ["/s"], ""),
    Case("other letter", ["x", "s"], ""),
    Case("show, never set", ["s"], DISABLED, calls=QUERIED),
    Case("show, disabled", ["s"], DISABLED, before="0\n", calls=QUERIED),
    Case("show, enabled", ["s"], ENABLED, before="1\n", calls=QUERIED),
    Case("show, minus one", ["s"], ENABLED, before="-1\n", calls=QUERIED),
    Case("status", ["status"], ENABLED, before="1\n", calls=QUERIED),
    Case("show as a word", ["show"], DISABLED, before="0\n", calls=QUERIED),
    Case("show, more arguments", ["s", "e", "d"], ENABLED, before="1\n", calls=QUERIED),
    Case("enable, never set", ["e"], SUCCEEDED, after="1\n", calls=ENABLING),
    Case("enable", ["enable"], SUCCEEDED, before="0\n", after="1\n", calls=ENABLING),
    Case("enable, already on", ["e"], SUCCEEDED, before="1\n", after="1\n", calls=ENABLING),
    Case("disable", ["d"], SUCCEEDED, before="1\n", after="0\n", calls=DISABLING),
    Case("disable as a word", ["disable"], SUCCEEDED, before="-1\n", after="0\n",
         calls=DISABLING),
    Case("delete disables", ["delete"], SUCCEEDED, before="1\n", after="0\n", calls=DISABLING),
    Case("COM fails", ["s"], "", NO_COM, 1, calls=CREATED[:1], fault="init", native_only=True),
    Case("COM fails with another code", ["e"], "", NO_COM, 1, before="0\n", calls=CREATED[:1],
         fault="init=0xFFFFFFFF", native_only=True),
    Case("COM already initialised", ["s"], ENABLED, before="1\n", calls=QUERIED,
         fault="init-positive", native_only=True),
    Case("COM initialised with another positive code", ["s"], ENABLED, before="1\n",
         calls=QUERIED, fault="init-positive=0x7FFFFFFF", native_only=True),
    Case("creation fails", ["e"], "", NO_OBJECT, 1, before="0\n", calls=CREATED,
         fault="create"),
    Case("creation fails with another code", ["s"], "", NO_OBJECT, 1, calls=CREATED,
         fault="create=0x80000000"),
    Case("creation fails after writing a pointer", ["e"], "", NO_OBJECT, 1, before="0\n",
         calls=CREATED, fault="create-poison"),
    Case("creation gives no object", ["s"], "", NO_OBJECT, 1, calls=CREATED, fault="no-object"),
    Case("creation answers S_FALSE", ["e"], SUCCEEDED, before="0\n", after="1\n",
         calls=ENABLING, fault="create-positive"),
    Case("creation answers another positive code", ["s"], ENABLED, before="1\n",
         calls=QUERIED, fault="create-positive=0x7FFFFFFF"),
    Case("getter fails", ["s"], "", NO_QUERY, 1, before="1\n", calls=QUERIED, fault="get"),
    Case("getter fails with another code", ["s"], "", NO_QUERY, 1, before="1\n", calls=QUERIED,
         fault="get=0x8000FFFF"),
    Case("getter answers S_FALSE", ["s"], ENABLED, before="1\n", calls=QUERIED,
         fault="get-positive"),
    Case("getter answers another positive code", ["s"], DISABLED, before="0\n", calls=QUERIED,
         fault="get-positive=0x7FFFFFFF"),
    Case("setter answers S_FALSE", ["d"], SUCCEEDED, before="1\n", after="0\n",
         calls=DISABLING, fault="set-positive"),
    Case("setter answers another positive code", ["e"], SUCCEEDED, before="0\n", after="1\n",
         calls=ENABLING, fault="set-positive=0x7FFFFFFF"),
    Case("state unreadable", ["s"], "", NO_QUERY, 1, before="on\n", calls=QUERIED),
    Case("state out of range", ["s"], "", NO_QUERY, 1, before="32768\n", calls=QUERIED),
    Case("enable refused", ["e"], "", NO_ENABLE, 1, before="0\n", calls=ENABLING, fault="set"),
    Case("disable refused", ["d"], "", NO_DISABLE, 1, before="1\n", calls=DISABLING,
         fault="set"),
    Case("enable refused with another code", ["e"], "", NO_ENABLE, 1, before="0\n",
         calls=ENABLING, fault="set=0x80004005"),
]


def read(path):
    try:
        with open(path, "rb") as file:
            return file.read().decode("latin-1")
    except FileNotFoundError:
        return MISSING


def store(folder, contents):
    os.makedirs(os.path.dirname(state_path(folder)), exist_ok=True)
    with open(state_path(folder), "wb") as file:
        file.write(contents.encode())


def run(runner, folder, args, fault=None, before=MISSING, extra_env=(), **popen):
    if before is not MISSING:
        store(folder, before)
    env = dict(runner.environment(folder, fault), **dict(extra_env))
    popen.setdefault("stdin", subprocess.DEVNULL)
    if "stdout" not in popen:
        popen["capture_output"] = True
    return runner.run(args, env, **popen)


@dataclass
class Outcome:
    stdout: str
    stderr: str
    status: int
    state_file: str
    log: str


@pytest.mark.parametrize("case", [
    pytest.param(case, id=case.name, marks=[native] if case.native_only else [])
    for case in CASES])
def test_table(runner, tmp_path, case):
    result = run(runner, str(tmp_path), case.args, case.fault, case.before)
    assert Outcome(result.stdout.decode("latin-1"), result.stderr.decode("latin-1"),
                   result.returncode, read(state_path(tmp_path)), read(log_path(tmp_path))) \
        == Outcome(case.out.replace("\n", runner.line_end),
                   case.err.replace("\n", runner.line_end), case.status,
                   case.before if case.after == "same" else case.after,
                   runner.log_of(case.calls))


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
def test_closed_standard_output(runner, tmp_path):
    # The message for the closed stream must not end up in a file of the stand-in's.
    env = runner.environment(str(tmp_path))
    store(str(tmp_path), "0\n")
    result = subprocess.run(["sh", "-c", 'exec "$0" "$@" >&-', runner.program, "e"], env=env,
                            stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (read(state_path(tmp_path)), read(log_path(tmp_path))) == (
        "1\n", runner.log_of(ENABLING))


@native
@pytest.mark.parametrize("letter", ["s", "e"])
def test_into_a_pipe_nobody_reads(runner, tmp_path, letter):
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = run(runner, str(tmp_path), [letter], stdout=writer, stderr=subprocess.PIPE)
    finally:
        os.close(writer)
    assert (result.returncode, result.stderr) == (0, b"")


IN_HOME = ".local/state/talvenor/remote-desktop"


@native
@pytest.mark.parametrize("variables, kept_at", [
    ({"XDG_STATE_HOME": "{}", "HOME": "/nonexistent"}, "talvenor/remote-desktop"),
    ({"HOME": "{}"}, IN_HOME),
    ({"XDG_STATE_HOME": "xdg", "HOME": "{}"}, IN_HOME),
    ({"TALVENOR_STANDIN_STATE": "", "HOME": "{}"}, IN_HOME),
    ({"TALVENOR_STANDIN_STATE": "{}/chosen", "XDG_STATE_HOME": "{}"}, "chosen"),
], ids=["under $XDG_STATE_HOME", "under $HOME", "under $HOME when $XDG_STATE_HOME is relative",
        "under $HOME when $TALVENOR_STANDIN_STATE is empty",
        "at $TALVENOR_STANDIN_STATE before $XDG_STATE_HOME"])
def test_state_kept(runner, tmp_path, variables, kept_at):
    """Run in the case's folder ({} in the variables): the one path created there."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("TALVENOR_STANDIN_") and k not in ("XDG_STATE_HOME", "HOME")}
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
    env = dict(runner.environment(str(tmp_path)), TALVENOR_STANDIN_STATE="relative-state",
               TALVENOR_STANDIN_LOG="relative-log")
    in_checkout = [os.path.join(ROOT, name) for name in ("relative-state", "relative-log")]
    try:
        result = subprocess.run([os.path.join(ROOT, "scripts", "run"), "e"], env=env,
                                cwd=tmp_path, capture_output=True, timeout=600)
        left = [path for path in in_checkout if os.path.exists(path)]
    finally:
        for path in in_checkout:
            if os.path.exists(path):
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
    choose = random.Random(7).choice
    letters = [choose("eds") for _ in range(400)]
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
    """A folder another user can enter, with a copy of the program in it."""
    folder = tempfile.mkdtemp(prefix="talvenor-e2e-")
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


def as_nobody(runner, folder, letter):
    """Runs a copy of the program in the folder as nobody, who may not be able
    to read the build or anything else of the checkout."""
    program = os.path.join(folder, "talvenor")
    shutil.copy(runner.program, program)
    return runner.run([letter], runner.environment(folder), program=program, user=65534,
                      group=65534, extra_groups=[], capture_output=True)


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
    env = dict(runner.environment(folder))
    env["TALVENOR_STANDIN_STATE"] = folder + "/" + "x" * (length - len(folder) - 1)
    result = runner.run([letter], env, capture_output=True)
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
                for _ in range(64 << 10):
                    fifo.write(b"1" * 1024)
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
    store(str(tmp_path), "0\n")
    # The leak checker of a sanitizer build cannot work under a tracer.
    env = dict(runner.environment(str(tmp_path)), ASAN_OPTIONS="detect_leaks=0")
    subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e",
                    "trace=write,fsync,fdatasync,rename,renameat,renameat2", runner.program, "e"],
                   env=env, check=True, capture_output=True, timeout=60)
    steps = []
    with open(trace) as file:
        for line in file:
            if re.search(r'\bwrite\((\d+), "1\\n", 2\)', line):
                steps.append("write " + re.search(r"write\((\d+)", line).group(1))
            elif re.search(r"\bf(data)?sync\(", line):
                steps.append("sync " + re.search(r"sync\((\d+)", line).group(1))
            elif re.search(r'\brename(at2?)?\(.*"[^"]*/remote-desktop"', line):
                steps.append("rename")
    descriptor = steps[0].split()[-1] if steps else "?"
    assert steps == [f"write {descriptor}", f"sync {descriptor}", "rename"]
    assert read(state_path(tmp_path)) == "1\n"


@wine
def test_a_dll_planted_beside_the_program_is_not_loaded(runner, tmp_path):
    """Planted in the program's folder, which is also the current one, under the
    name the class's server asks for by bare name."""
    program = os.path.join(tmp_path, "talvenor.exe")
    planted = os.path.join(tmp_path, "talvenor_planted.dll")
    shutil.copy(runner.program, program)
    shutil.copy(runner.planted, planted)
    result = run(runner, str(tmp_path), ["s"], before="1\n", program=program, cwd=tmp_path,
                 extra_env={"TALVENOR_STANDIN_LOAD": "talvenor_planted.dll"})
    assert (result.stdout.decode(), result.stderr) == (ENABLED, b"")
    assert read(log_path(tmp_path)) == runner.log_of(
        [CREATED[-1], "not loaded talvenor_planted.dll", QUERIED[-1]])
    assert not os.path.exists(planted + ".ran"), "the planted DLL ran"


@wine
def test_the_object_lives_in_the_program_made_on_its_main_thread(runner, tmp_path):
    host = os.path.join(tmp_path, "host")
    result = run(runner, str(tmp_path), ["s"], before="1\n",
                 extra_env={"TALVENOR_STANDIN_HOST": windows_path(host)})
    assert (result.stdout.decode(), read(host)) == (ENABLED, "talvenor.exe main-sta\n")


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
