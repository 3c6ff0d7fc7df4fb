#!/usr/bin/env python3
"""Runs the built program end to end against the stand-in platform and checks
every byte it prints, its exit status, the state file and the stand-in's log.

    end_to_end.py native PROGRAM
    end_to_end.py wine BITS PROGRAM SERVER_DLL PLANTED_DLL WORK_FOLDER [KEEPER]

The wine form runs the Windows program under Wine of that bitness, 64 or 32
(32 under qemu user-mode emulation, with KEEPER held running in the prefix),
with the stand-in registered as an in-process COM server in a throwaway prefix.
PLANTED_DLL is a DLL that must never be loaded from the program's folder.
There the COM library is Wine's own, so the log holds only the object's
entries and the faults of COM initialisation cannot be injected.
"""
import copy
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

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

CREATED = ["OleInitialize", "CoCreateInstance"]
QUERIED = CREATED + ["get 0"]
ENABLING = CREATED + ["set 1"]
DISABLING = CREATED + ["set 0"]
MISSING = None  # no state file
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Case:
    name: str
    args: list
    out: str
    err: str = ""
    status: int = 0
    before: str = MISSING  # state file contents before the run
    after: str = "same"  # state file contents after it
    calls: list = field(default_factory=list)  # the log, as the native stand-in writes it
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
    Case("COM fails", ["s"], "", NO_COM, 1, calls=["OleInitialize"], fault="init",
         native_only=True),
    Case("COM already initialised", ["s"], ENABLED, before="1\n", calls=QUERIED,
         fault="init-positive", native_only=True),
    Case("creation fails", ["e"], "", NO_OBJECT, 1, before="0\n", calls=CREATED,
         fault="create"),
    Case("creation gives no object", ["s"], "", NO_OBJECT, 1, calls=CREATED, fault="no-object"),
    Case("getter fails", ["s"], "", NO_QUERY, 1, before="1\n", calls=QUERIED, fault="get"),
    Case("getter answers S_FALSE", ["s"], ENABLED, before="1\n", calls=QUERIED,
         fault="get-positive"),
    Case("setter answers S_FALSE", ["d"], SUCCEEDED, before="1\n", after="0\n",
         calls=DISABLING, fault="set-positive"),
    Case("state unreadable", ["s"], "", NO_QUERY, 1, before="on\n", calls=QUERIED),
    Case("state out of range", ["s"], "", NO_QUERY, 1, before="32768\n", calls=QUERIED),
    Case("enable refused", ["e"], "", NO_ENABLE, 1, before="0\n", calls=ENABLING, fault="set"),
    Case("disable refused", ["d"], "", NO_DISABLE, 1, before="1\n", calls=DISABLING,
         fault="set"),
]


def read(path):
    try:
        with open(path, "rb") as file:
            return file.read().decode("latin-1")
    except FileNotFoundError:
        return MISSING


class Runner:
    """Runs the program with the stand-in's state file and log in a fresh folder."""
    workers = 1  # cases run at once

    def __init__(self, work):
        self.work = work
        self.folder = None

    def prepare(self, before):
        self.folder = tempfile.mkdtemp(dir=self.work)
        if before is not MISSING:
            os.makedirs(os.path.dirname(self.state_path()))
            with open(self.state_path(), "wb") as file:
                file.write(before.encode())

    def state_path(self):
        return os.path.join(self.folder, "state", "remote-desktop")

    def log_path(self):
        return os.path.join(self.folder, "log")

    def environment(self, fault):
        # Nothing of the machine's own environment may choose the state file.
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TALVENOR_STANDIN_") and k != "XDG_STATE_HOME"}
        env["HOME"] = self.folder
        env["TALVENOR_STANDIN_STATE"] = self.path_for_program(self.state_path())
        env["TALVENOR_STANDIN_LOG"] = self.path_for_program(self.log_path())
        if fault is not None:
            env["TALVENOR_STANDIN_FAULT"] = fault
        return env

    def start(self):
        pass

    def stop(self):
        pass

    def run(self, args, fault=None, extra_env=(), **popen):
        env = dict(self.environment(fault), **dict(extra_env))
        return subprocess.run(self.command(args), env=env, stdin=subprocess.DEVNULL,
                              capture_output="stdout" not in popen, timeout=180, **popen)


class NativeRunner(Runner):
    line_end = "\n"
    com_calls_logged = True

    def __init__(self, program, work):
        super().__init__(work)
        self.program = program

    def command(self, args):
        return [self.program] + args

    def path_for_program(self, path):
        return path

    def own_cases(self, report):
        native_only_cases(self, report)
        load_cases(self, report)
        unwritable_folder_cases(self, report)
        oversized_state_cases(self, report)


class WineRunner(Runner):
    """The Windows program under Wine, 64-bit or 32-bit, against the stand-in
    registered as an in-process COM server in a throwaway prefix."""
    line_end = "\r\n"
    com_calls_logged = False  # CoCreateInstance and OleInitialize are Wine's
    wineserver = "/usr/lib/wine/wineserver64"  # serves 32-bit prefixes too

    def __init__(self, bits, program, server, planted, work, keeper=None):
        super().__init__(work)
        self.program = program
        self.server = server
        self.planted = planted
        self.keeper = keeper
        self.server_process = None
        self.prefix = os.path.join(work, "prefix")
        # winedbg.exe disabled: a crash ends the run with the exception code as
        # its status instead of waiting in the debugger.
        self.base = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                         WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d",
                         WINEARCH=f"win{bits}")
        if bits == 64:
            self.wine = "/usr/lib/wine/wine64"
            self.boot_launcher = WITHOUT_WINE32
            self.workers = 2
        else:
            # 32-bit Wine runs under qemu user-mode emulation. Without this
            # reservation each process spends about a minute starting.
            self.wine = "/usr/lib/wine/wine"
            self.boot_launcher = []
            self.workers = os.cpu_count() or 1
            self.base["QEMU_RESERVED_VA"] = "0x82000000"

    def quiet(self, command, timeout, launcher=()):
        subprocess.run([*launcher, *command], check=True, timeout=timeout, env=self.base,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def start(self):
        # Wine's background services must not inherit our pipes: a persistent
        # server with its stdio on /dev/null, then the prefix booted once.
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self.server_process = subprocess.Popen(
            [self.wineserver, "-f", "-p"], env=self.base,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.quiet([self.wine, "wineboot", "-i"], timeout=600, launcher=self.boot_launcher)
        if self.keeper is not None:
            subprocess.Popen([self.wine, self.keeper], env=self.base, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.regsvr32()

    def regsvr32(self, *flags):
        self.quiet([self.wine, "regsvr32", "/s", *flags, self.windows_path(self.server)],
                   timeout=300)

    def stop(self):
        if self.server_process is None:
            return
        # Ends every process of the prefix, the keeper among them.
        self.quiet([self.wineserver, "-k"], timeout=60)
        self.server_process.wait(timeout=60)

    def environment(self, fault):
        return dict(super().environment(fault), **{k: v for k, v in self.base.items()
                                                   if k.startswith(("WINE", "QEMU_"))})

    def command(self, args):
        return [self.wine, self.program] + args

    @staticmethod
    def windows_path(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def path_for_program(self, path):
        return self.windows_path(path)

    def own_cases(self, report):
        wine_only_cases(self, report)


# 64-bit Wine booting a prefix also sets up its 32-bit half wherever it finds
# 32-bit Wine installed and can start it, which under emulation takes minutes.
# It boots in a user and mount namespace of its own, which has its own, empty,
# binfmt_misc table and an empty folder where 32-bit Wine's libraries are:
# there it can neither find nor start the 32-bit half, and the machine is left
# as it is. Only the boot needs this: the runs after it start no 32-bit program.
WINE32_LIBRARIES = "/usr/lib/i386-linux-gnu/wine"
WITHOUT_WINE32 = ["unshare", "-Urm", "sh", "-c",
                  "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null;"
                  f" [ ! -d {WINE32_LIBRARIES} ] || mount -t tmpfs tmpfs {WINE32_LIBRARIES};"
                  " exec \"$@\"", "wine64"]


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, problems):
        if problems:
            self.failed += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"    {problem}")
        else:
            self.passed += 1
            print(f"ok   {name}")


def compare(what, actual, expected):
    return [] if actual == expected else [f"{what}: got {actual!r}, expected {expected!r}"]


def run_case(runner, case):
    runner.prepare(case.before)
    result = runner.run(case.args, case.fault)
    expected_calls = [c for c in case.calls if runner.com_calls_logged or c not in CREATED]
    expected_log = "".join(c + "\n" for c in expected_calls) or MISSING
    expected_after = case.before if case.after == "same" else case.after
    return (compare("stdout", result.stdout.decode("latin-1"),
                    case.out.replace("\n", runner.line_end))
            + compare("stderr", result.stderr.decode("latin-1"),
                      case.err.replace("\n", runner.line_end))
            + compare("status", result.returncode, case.status)
            + compare("state file", read(runner.state_path()), expected_after)
            + compare("log", read(runner.log_path()), expected_log))


def native_only_cases(runner, report):
    runner.prepare(MISSING)
    result = runner.run([], fault="sometimes")
    report.check("a mistyped fault stops the run before anything else", (
        compare("status", result.returncode, 2)
        + compare("stdout", result.stdout, b"")
        + compare("stderr", result.stderr,
                  b"stand-in: TALVENOR_STANDIN_FAULT=sometimes is not one of init, "
                  b"init-positive, create, no-object, get, get-positive, set, set-positive\n")
        + compare("log", read(runner.log_path()), MISSING)))

    # With standard output closed, the next file opened would take its number;
    # the message must not end up in the state file.
    runner.prepare("0\n")
    result = runner.run(["e"], stdout=None, stderr=subprocess.PIPE,
                        preexec_fn=lambda: os.close(1))
    report.check("closed standard output", (
        compare("status", result.returncode, 0)
        + compare("stderr", result.stderr, b"")
        + compare("state file", read(runner.state_path()), "1\n")))

    for letter, expected in (("s", DISABLED), ("e", SUCCEEDED)):
        runner.prepare(MISSING)
        reader, writer = os.pipe()
        os.close(reader)
        result = runner.run([letter], stdout=writer, stderr=subprocess.PIPE)
        os.close(writer)
        report.check(f"'{letter}' into a pipe nobody reads", (
            compare("status", result.returncode, 0)
            + compare("stderr", result.stderr, b"")))

    # Where the state file is kept, run in the case's folder: the variables
    # set (with {} for that folder), and the one path created there.
    in_home = ".local/state/talvenor/remote-desktop"
    for name, variables, kept_at in (
            ("under $XDG_STATE_HOME", {"XDG_STATE_HOME": "{}", "HOME": "/nonexistent"},
             "talvenor/remote-desktop"),
            ("under $HOME", {"HOME": "{}"}, in_home),
            ("under $HOME when $XDG_STATE_HOME is relative",
             {"XDG_STATE_HOME": "xdg", "HOME": "{}"}, in_home),
            ("under $HOME when $TALVENOR_STANDIN_STATE is empty",
             {"TALVENOR_STANDIN_STATE": "", "HOME": "{}"}, in_home),
            ("at $TALVENOR_STANDIN_STATE before $XDG_STATE_HOME",
             {"TALVENOR_STANDIN_STATE": "{}/chosen", "XDG_STATE_HOME": "{}"}, "chosen")):
        runner.prepare(MISSING)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TALVENOR_STANDIN_") and k not in ("XDG_STATE_HOME", "HOME")}
        env.update({k: v.format(runner.folder) for k, v in variables.items()})
        enable, show = (subprocess.run([runner.program, letter], env=env, cwd=runner.folder,
                                       capture_output=True, timeout=60) for letter in "es")
        report.check(f"state kept {name}", (
            compare("enable", enable.stdout, SUCCEEDED.encode())
            + compare("show", show.stdout, ENABLED.encode())
            + compare("state file", read(os.path.join(runner.folder, kept_at)), "1\n")
            + compare("created", os.listdir(runner.folder), [kept_at.split("/")[0]])))

    # scripts/run builds in the checkout and runs the program where it is called.
    built = os.path.join(ROOT, "build", "native", "talvenor")
    if os.path.exists(built) and os.path.samefile(runner.program, built):
        runner.prepare(MISSING)
        env = dict(runner.environment(None), TALVENOR_STANDIN_STATE="relative-state",
                   TALVENOR_STANDIN_LOG="relative-log")
        result = subprocess.run([os.path.join(ROOT, "scripts", "run"), "e"], env=env,
                                cwd=runner.folder, capture_output=True, timeout=600)
        report.check("scripts/run keeps relative paths relative to its caller", (
            compare("stdout", result.stdout.decode(), SUCCEEDED)
            + compare("state file", read(os.path.join(runner.folder, "relative-state")), "1\n")
            + compare("in the checkout", [name for name in ("relative-state", "relative-log")
                                          if os.path.exists(os.path.join(ROOT, name))], [])))


def load_cases(runner, report):
    """Many runs at once: each prints one of its outputs, and the state file
    is never seen empty or half written."""
    runner.prepare("0\n")
    expected = {"e": (SUCCEEDED, "set 1"), "d": (SUCCEEDED, "set 0")}
    choose = random.Random(7).choice
    letters = [choose("eds") for _ in range(400)]
    seen_states = set()
    reads = [0]
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen_states.add(read(runner.state_path()))
            reads[0] += 1

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        with ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(lambda letter: (letter, runner.run([letter])), letters))
    finally:
        done.set()
        watcher.join()
    problems = []
    for letter, result in results:
        allowed = [ENABLED, DISABLED] if letter == "s" else [expected[letter][0]]
        if (result.stdout.decode(), result.stderr, result.returncode) not in [
                (out, b"", 0) for out in allowed]:
            problems.append(f"'{letter}' gave {result.stdout!r} {result.stderr!r} "
                            f"status {result.returncode}")
    problems += compare("states seen", seen_states - {"0\n", "1\n"}, set())
    log = read(runner.log_path()).splitlines()
    problems += compare("log lines", len(log), 3 * len(letters))
    problems += compare("log", set(log) - {"OleInitialize", "CoCreateInstance", "get 0", "get 1",
                                           "set 0", "set 1"}, set())
    problems += compare("leftover files", os.listdir(os.path.dirname(runner.state_path())),
                        ["remote-desktop"])
    problems += compare("both states seen", len(seen_states), 2)
    report.check(f"{len(letters)} runs, 8 at a time, the state file read {reads[0]} times",
                 problems[:5])


def unwritable_folder_cases(runner, report):
    # A folder this user may not write to: as root, the program runs as nobody.
    runner.prepare("0\n")
    folder = os.path.dirname(runner.state_path())
    program = os.path.join(runner.folder, "talvenor")
    shutil.copy(runner.program, program)
    for path in (runner.work, runner.folder):
        os.chmod(path, 0o755)
    os.chmod(folder, 0o555)

    def as_nobody():
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)

    result = subprocess.run([program, "e"], env=runner.environment(None), capture_output=True,
                            timeout=60, preexec_fn=as_nobody)
    os.chmod(folder, 0o755)
    report.check("read-only state folder", (
        compare("stdout", result.stdout, b"")
        + compare("stderr", result.stderr.decode(), NO_ENABLE)
        + compare("status", result.returncode, 1)
        + compare("state file", read(runner.state_path()), "0\n")
        + compare("folder", sorted(os.listdir(folder)), ["remote-desktop"])))

    # The setting is the machine's: written by one user, even one whose files
    # are private by default, it reads the same for every other.
    os.remove(runner.state_path())
    enable = runner.run(["e"], preexec_fn=lambda: os.umask(0o077))
    os.chmod(folder, 0o755)
    show = subprocess.run([program, "s"], env=runner.environment(None), capture_output=True,
                          timeout=60, preexec_fn=as_nobody)
    report.check("the state written by one user is read by another", (
        compare("enable", enable.stdout.decode(), SUCCEEDED)
        + compare("show", show.stdout.decode(), ENABLED)
        + compare("show's errors", show.stderr, b"")))

    runner.prepare(MISSING)
    blocker = os.path.dirname(runner.state_path())
    with open(blocker, "w") as file:
        file.write("not a folder\n")
    result = runner.run(["e"])
    report.check("a file where the state folder should be", (
        compare("stderr", result.stderr.decode(), NO_ENABLE)
        + compare("status", result.returncode, 1)
        + compare("file in the way", read(blocker), "not a folder\n")))


def oversized_state_cases(runner, report):
    runner.prepare(MISSING)
    os.makedirs(os.path.dirname(runner.state_path()))
    with open(runner.state_path(), "wb") as file:
        file.write(b"1" * (64 << 20))
    result = runner.run(["s"])
    report.check("64 MiB state file", (
        compare("stderr", result.stderr.decode(), NO_QUERY)
        + compare("status", result.returncode, 1)))

    # A state "file" that never ends: a program that read it all would hang,
    # and the writer would not see the reader go away after a few bytes.
    runner.prepare(MISSING)
    os.makedirs(os.path.dirname(runner.state_path()))
    os.mkfifo(runner.state_path())
    outcome = {}

    def write_forever():
        try:
            with open(runner.state_path(), "wb") as fifo:
                for _ in range(64 << 10):
                    fifo.write(b"1" * 1024)
            outcome["wrote"] = "all 64 MiB"
        except BrokenPipeError:
            outcome["wrote"] = "until the reader left"

    writer = threading.Thread(target=write_forever, daemon=True)
    writer.start()
    result = runner.run(["s"])
    writer.join(timeout=60)
    report.check("endless state file is read only as far as needed", (
        compare("stderr", result.stderr.decode(), NO_QUERY)
        + compare("status", result.returncode, 1)
        + compare("writer", outcome.get("wrote"), "until the reader left")))


def wine_only_cases(runner, report):
    # A DLL planted in the program's folder, which is also the current one,
    # under the name the class's server asks for by bare name.
    unpacked = copy.copy(runner)
    unpacked.prepare("1\n")
    unpacked.program = os.path.join(unpacked.folder, "talvenor.exe")
    planted = os.path.join(unpacked.folder, "talvenor_planted.dll")
    shutil.copy(runner.program, unpacked.program)
    shutil.copy(runner.planted, planted)
    result = unpacked.run(["s"], extra_env={"TALVENOR_STANDIN_LOAD": "talvenor_planted.dll"},
                          cwd=unpacked.folder)
    report.check("a DLL planted beside the program is not loaded", (
        compare("stdout", result.stdout.decode(), ENABLED)
        + compare("stderr", result.stderr, b"")
        + compare("log", read(unpacked.log_path()), "not loaded talvenor_planted.dll\nget 0\n")
        + compare("planted DLL ran", os.path.exists(planted + ".ran"), False)))

    runner.prepare("1\n")
    host = os.path.join(runner.folder, "host")
    result = runner.run(["s"], extra_env={"TALVENOR_STANDIN_HOST": runner.windows_path(host)})
    report.check("the object lives in the program, made on its main thread", (
        compare("stdout", result.stdout.decode(), ENABLED)
        + compare("where", read(host), "talvenor.exe main-sta\n")))

    runner.regsvr32("/u")
    try:
        runner.prepare("1\n")
        result = runner.run(["s"])
        report.check("class not registered", (
            compare("stdout", result.stdout, b"")
            + compare("stderr", result.stderr.decode(), NO_OBJECT.replace("\n", "\r\n"))
            + compare("status", result.returncode, 1)
            + compare("log", read(runner.log_path()), MISSING)))
    finally:
        runner.regsvr32()


def run_table(runner, report):
    """Each case in a fresh folder of its own, so that several can run at once."""
    cases = [c for c in CASES if runner.com_calls_logged or not c.native_only]
    with ThreadPoolExecutor(max_workers=runner.workers) as pool:
        outcomes = pool.map(lambda case: run_case(copy.copy(runner), case), cases)
        for case, problems in zip(cases, outcomes):
            report.check(case.name, problems)


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "native" and len(argv) == 3:
        work = tempfile.mkdtemp(prefix="talvenor-e2e-")
        runner = NativeRunner(os.path.abspath(argv[2]), work)
    elif mode == "wine" and argv[2:3] in (["32"], ["64"]) and len(argv) in (7, 8):
        bits, program, server, planted, work = argv[2:7]
        work = os.path.abspath(work)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        keeper = os.path.abspath(argv[7]) if len(argv) == 8 else None
        runner = WineRunner(int(bits), os.path.abspath(program), os.path.abspath(server),
                            os.path.abspath(planted), work, keeper)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    report = Report()
    try:
        runner.start()
        run_table(runner, report)
        runner.own_cases(report)
    finally:
        runner.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{report.passed} passed, {report.failed} failed")
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
