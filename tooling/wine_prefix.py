"""A throwaway Wine prefix, 64-bit or 32-bit, with the stand-in's COM server
registered in it: booted once, then shared by every run, by the tests and by
scripts/bench alike.

32-bit Wine runs natively where the kernel runs i386 programs, and under qemu
user-mode emulation where it does not.
"""
import contextlib
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINESERVER = "/usr/lib/wine/wineserver64"  # serves 32-bit prefixes too
WINE32_LIBRARIES = "/usr/lib/i386-linux-gnu/wine"
# A boot takes seconds natively and a few minutes under emulation; one that
# has not ended by then hangs (seen under emulation: wineboot waiting on its
# services, with no server left), and is tried once more from nothing.
BOOT_SECONDS = 360
BOOT_TRIES = 2
# The keeper's window is up in seconds natively and within a minute or two
# under emulation, where Wine was seen to crash as it started (_start_keeper).
KEEPER_SECONDS = 300
# How lines that Wine, its libraries or the emulator write begin: never a line
# of the program's, whose messages are its own few. Under emulation a process
# of Wine's own was seen to crash into a run's standard error so.
WINE_OWN_WORDS = (b"qemu: ", b"wine: ", b"wine client error:", b"error: XDG_RUNTIME_DIR",
                  b"Inconsistency detected by ld.so", b"*** stack smashing detected")

# A 64-bit prefix's boot also sets up a 32-bit half wherever it finds 32-bit
# Wine and can start it, which under emulation takes minutes. These boot it
# with 32-bit Wine out of sight, best first; each is tried with "true" before
# it is trusted with the boot. Only the boot needs it: no later run starts a
# 32-bit program.
HIDING_WINE32 = (
    # A user and mount namespace: its own, empty, binfmt_misc table, and an
    # empty folder over 32-bit Wine's libraries. Needs no root, but chroots and
    # many containers refuse user namespaces.
    ("in a user and mount namespace",
     ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
      "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null;"
      f" [ ! -d {WINE32_LIBRARIES} ] || mount -t tmpfs tmpfs {WINE32_LIBRARIES};"
      ' exec "$@"', "hide"]),
    # As root, a mount namespace alone hides the libraries. In a chroot "/" is
    # no mount point, so its propagation cannot be made private: the namespace
    # leaves it unchanged, and a mount that reached the parent's namespace
    # after all is taken back at once and this way given up.
    ("in a mount namespace",
     ["unshare", "--mount", "--propagation", "unchanged", "sh", "-c",
      f"[ -d {WINE32_LIBRARIES} ] || exec \"$@\";"
      f" mount -t tmpfs tmpfs {WINE32_LIBRARIES} || exit 97;"
      f" if grep -q ' {WINE32_LIBRARIES} ' /proc/$PPID/mountinfo;"
      f" then umount {WINE32_LIBRARIES}; exit 97; fi;"
      ' exec "$@"', "hide"]),
)


def caller_environment():
    """The caller's environment without the stand-in's settings, which each
    run sets for itself."""
    return {name: value for name, value in os.environ.items()
            if not name.startswith("TALVENOR_STANDIN_")}


def windows_path(path):
    """The path as a Windows program in the prefix names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineFailure(Exception):
    """Wine, not the program under it, failed a run that ended as the program
    does: a signal ended it, or Wine or the emulator wrote on its standard
    error, or the desktop processes changed meanwhile (a process of Wine's own
    crashed, or was started)."""


class StrayOutcome(Exception):
    """A run ended as the program never ends: with a status it never gives,
    failing without a word, or not at all. A crash or a hang of the program's
    looks so under Wine, and so may one of Wine's."""


class BootFailure(Exception):
    """The prefix could not be set up."""


class WinePrefix:
    """A prefix at FOLDER for Wine of BITS (64 or 32). Several processes may
    share one: one boots and stops it, the others only run programs in it."""

    def __init__(self, bits, folder, debug="-all"):
        self.bits = bits
        self.folder = os.path.abspath(folder)
        self.wine = "/usr/lib/wine/wine64" if bits == 64 else "/usr/lib/wine/wine"
        # winedbg.exe disabled: a crash ends the run with the exception code as
        # its status instead of waiting in the debugger. DEBUG is Wine's own
        # messages on standard error: none, for runs whose standard error is
        # compared byte for byte.
        self.environment = {"WINEPREFIX": os.path.join(self.folder, "prefix"),
                            "WINEDEBUG": debug, "WINEARCH": f"win{bits}",
                            # No display drivers either: there is no display,
                            # and probing for one prints on standard error
                            # (Debian 13's Wine) from whichever process starts
                            # the desktop.
                            "WINEDLLOVERRIDES":
                                "mscoree,mshtml,winex11.drv,winewayland.drv=;winedbg.exe=d",
                            # Under emulation, without this reservation each
                            # process spends about a minute starting, and with
                            # more room above 2 GiB more seconds (7.7 s a run
                            # at 0x82000000, 4.5 s here); below 0x80400000 Wine
                            # cannot map its shared user data.
                            "QEMU_RESERVED_VA": "0x81000000"}
        self.lock_path = os.path.join(self.folder, "lock")
        self.holding_lock = False
        self.log = os.path.join(self.folder, "boot.log")

    def _quiet(self, command, timeout=None, launcher=(), check=True, settings=()):
        """Runs a step of the set-up, or of its end, in a process group of its
        own, with its output and Wine's errors in the boot log, not in a pipe:
        a process of Wine's own that the step starts may live on after it.
        Nothing of the caller's own stand-in settings reaches the prefix's
        set-up, only SETTINGS. With no TIMEOUT, the step is left running;
        where it outlasts one, every process left in its group ends."""
        os.makedirs(self.folder, exist_ok=True)
        env = dict(caller_environment(), **self.environment, **dict(settings))
        env["WINEDEBUG"] = "fixme-all"
        with open(self.log, "a") as log:
            process = subprocess.Popen([*launcher, *command], start_new_session=True, env=env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if timeout is None:
            return process
        try:
            status = process.wait(timeout)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
        if status != 0 and check:
            raise subprocess.CalledProcessError(status, command)

    def _boot_launcher(self, say):
        if self.bits == 32:
            return []
        for how, launcher in HIDING_WINE32:
            try:
                self._quiet(["true"], timeout=60, launcher=launcher)
            except (OSError, subprocess.SubprocessError):
                continue
            say(f"wine64: the prefix boots with 32-bit Wine hidden {how}")
            return launcher
        say("wine64: no namespace can hide 32-bit Wine here, so the prefix boots its"
            " 32-bit half too, which takes longer")
        return []

    def boot(self, build, say=lambda line: print(line, file=sys.stderr)):
        """Starts a persistent server, boots the prefix, starts the keeper of
        BUILD (a Windows build's folder) and waits until it is up, registers
        the build's stand-in server, then makes the first run: one step after
        the other, so that no two Wine processes ever race to set the prefix
        up. SAY is told how it went, and writes outside the prefix's folder,
        which a boot empties."""
        launcher = self._boot_launcher(say)
        self._tried(lambda: self._boot_from_nothing(launcher, say), say)
        if launcher:
            # The boot left the prefix's services running inside its
            # namespace, where none of them may serve the session: they end,
            # and the runs start them again as they need them. Elsewhere they
            # serve on (starting them again took half a minute under emulation).
            self._restart()
        keeper = os.path.join(build, "tests", "wine_keeper.exe")
        self._tried(lambda: self._start_keeper(keeper), say)
        self.register(os.path.join(build, "talvenor_stand_in.dll"))
        self._first_run([os.path.join(build, "talvenor.exe"), "s"], say)

    def _tried(self, step, say):
        """STEP, which returns None or what went wrong, tried once more where
        it goes wrong; then a BootFailure."""
        for attempt in range(1, BOOT_TRIES + 1):
            failed = step()
            if failed is None:
                return
            if attempt < BOOT_TRIES:
                say(f"wine{self.bits}: {failed}, so it was tried once more")
        raise BootFailure(f"{failed}, {BOOT_TRIES} times")

    def _boot_from_nothing(self, launcher, say):
        """Boots the prefix in an emptied folder: None, or how the boot hung."""
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.environment["WINEPREFIX"])
        started = time.monotonic()
        # Without -f the server puts itself in the background once it
        # listens, so the boot that follows cannot start a second one.
        self._quiet([WINESERVER, "-p"], timeout=60)
        try:
            self._quiet([self.wine, "wineboot", "-i"], timeout=BOOT_SECONDS, launcher=launcher)
        except subprocess.TimeoutExpired:
            with open(self.log, errors="replace") as log:
                said = " | ".join(log.read().splitlines()[-3:])
            self.stop()
            return f"wineboot hung for {BOOT_SECONDS} s; Wine said last: {said or 'nothing'}"
        say(f"wine{self.bits}: the prefix booted in {time.monotonic() - started:.0f} s")
        return None

    def _first_run(self, first_run, say):
        """The first run that uses COM starts processes of Wine's own, and one
        of them may crash meanwhile, into that run's standard error (seen under
        emulation). So FIRST_RUN (the program and its arguments) runs here,
        with the boot log for its output and a state file of its own. Under
        emulation it brings no desktop process either: that crashes as it
        starts, with every keeper and every first run (seen with Debian 12's
        and 13's Wine, and made again, never one), and the runs go on cleanly
        without one while the keeper lives."""
        state = windows_path(os.path.join(self.folder, "first-run-state"))
        try:
            self._quiet([self.wine, *first_run], timeout=600, check=False,
                        settings={"TALVENOR_STANDIN_STATE": state})
        except subprocess.TimeoutExpired:
            say(f"wine{self.bits}: the set-up's first run did not end within 600 s")

    def _start_keeper(self, keeper):
        """Starts KEEPER and waits until it says it is up: None, or what became
        of it instead.

        The keeper brings up the prefix's desktop process and holds it for the
        whole session: without it each run would start one, into its standard
        error, and a run could meet one on its way out, or two runs start two
        (seen to hang every later run). Under emulation Wine may crash while
        the keeper starts (seen with Wine 10, its server among them): then
        everything ends, for the next try to start afresh."""
        ready = os.path.join(self.folder, "keeper-ready")
        with contextlib.suppress(FileNotFoundError):
            os.remove(ready)  # an earlier try's
        process = self._quiet([self.wine, keeper, windows_path(ready)])
        deadline, failed = time.monotonic() + KEEPER_SECONDS, None
        while failed is None and not os.path.exists(ready):
            if process.poll() is not None:
                failed = f"the keeper ended with status {process.returncode}"
            elif time.monotonic() > deadline:
                failed = f"the keeper was not up within {KEEPER_SECONDS} s"
            time.sleep(0.2)
        if failed:
            self._restart()
        return failed

    def _restart(self):
        """Ends every process of the prefix, and starts its server again."""
        self.stop()
        self._quiet([WINESERVER, "-p"], timeout=60)

    def _processes(self):
        """The id and command line of every live process whose environment
        names the prefix, whether or not its server knows of it: the whole
        variable, between two separators, for X_WINEPREFIX=... is another."""
        named = f"\0WINEPREFIX={self.environment['WINEPREFIX']}\0".encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if named not in b"\0" + environ.read() or int(pid) == os.getpid():
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    yield int(pid), cmdline.read().split(b"\0")
            except OSError:
                pass  # gone meanwhile (a zombie's environment reads so too), or not ours

    def _desktops(self):
        """The ids of the prefix's desktop processes: one, while all is well."""
        return sorted(pid for pid, argv in self._processes()
                      if any(arg.endswith(b"explorer.exe") for arg in argv) and b"/desktop" in argv)

    def register(self, server_dll, *flags):
        self._quiet([self.wine, "regsvr32", "/s", *flags, windows_path(server_dll)], timeout=600)

    @contextlib.contextmanager
    def _locked(self, how):
        if self.holding_lock:  # a run inside registered_only_as
            yield
            return
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, how)
            self.holding_lock = how == fcntl.LOCK_EX
            try:
                yield
            finally:
                self.holding_lock = False

    @contextlib.contextmanager
    def registered_only_as(self, server_dll, *flags):
        """The class registered by regsvr32 with FLAGS instead of as its server
        (no flags: not registered at all), with no other run in the prefix
        meanwhile. Each registration replaces the one before: a step saved is
        seconds under emulation."""
        with self._locked(fcntl.LOCK_EX):
            self.register(server_dll, *(flags or ["/u"]))
            try:
                yield
            finally:
                self.register(server_dll)

    def run(self, argv, env, timeout=300, **popen):
        """Runs a Windows program in the prefix (alongside other runs, but never
        while the class is unregistered), and catches its output, always, and
        in files, not pipes: a process of Wine's own that the run starts
        inherits them, and may outlive the program, whose end is the end of
        the run (through pipes, a new desktop process held a run that had
        ended for 300 s). Unlike the set-up's steps, it runs with the caller's
        environment, its stand-in settings and Wine's own WINEDEBUG."""
        popen.pop("capture_output", None)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            with self._locked(fcntl.LOCK_SH):
                desktops = self._desktops()
                try:
                    result = subprocess.run([self.wine, *argv], env=dict(env, **self.environment),
                                            timeout=timeout, stdout=out, stderr=err, **popen)
                except subprocess.TimeoutExpired as timed_out:
                    raise StrayOutcome(f"{argv} did not end within {timeout} s under Wine, printing"
                                       f" {' and '.join(map(repr, read_all(out, err)))}") \
                        from timed_out
                desktops_after = self._desktops()
            result.stdout, result.stderr = read_all(out, err)
        said = (f"{argv} ended with status {result.returncode:#x} under Wine, printing"
                f" {result.stdout!r} and {result.stderr!r}")
        # The program ends with 0, 1 or (the stand-in's knob) 2, and prints a
        # message whenever it fails. A crash of its own under Wine ends with
        # the exception code's low byte, never one of those, whatever Wine
        # says about it.
        quiet = not result.stdout and not result.stderr
        if result.returncode > 2 or (result.returncode in (1, 2) and quiet):
            raise StrayOutcome(f"{said}: not an outcome of the program's own")
        if result.returncode < 0 or any(line.startswith(WINE_OWN_WORDS)
                                        for line in result.stderr.splitlines()):
            raise WineFailure(said)
        # Seen under emulation: the desktop process crashed, and a run started
        # another, into its standard error.
        if desktops_after != desktops:
            raise WineFailure(f"{said}; the desktop processes changed meanwhile ({desktops} then"
                              f" {desktops_after})")
        return result

    def stop(self):
        """Ends every process of the prefix, the server among them, and then
        any the server no longer knew of: under emulation a Wine process can
        crash or hang and lose its server, and the prefix's services run in
        sessions of their own, so neither the server nor a process group
        reaches them, but their environment names the prefix."""
        for flag in ("-k", "-w"):  # kill, then wait until all are gone
            with contextlib.suppress(subprocess.TimeoutExpired):
                self._quiet([WINESERVER, flag], timeout=60, check=False)
        for pid, _ in list(self._processes()):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)


def read_all(*files):
    """Everything written to each of FILES so far."""
    for file in files:
        file.seek(0)
    return [file.read() for file in files]
