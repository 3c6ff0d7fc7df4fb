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
import subprocess
import sys
import time

WINESERVER = "/usr/lib/wine/wineserver64"  # serves 32-bit prefixes too
WINE32_LIBRARIES = "/usr/lib/i386-linux-gnu/wine"

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


def windows_path(path):
    """The path as a Windows program in the prefix names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineFailure(Exception):
    """Wine, not the program under it, failed."""


class WinePrefix:
    """A prefix at FOLDER for Wine of BITS (64 or 32). Several processes may
    share one: one boots and stops it, the others only run programs in it."""

    def __init__(self, bits, folder):
        self.bits = bits
        self.folder = os.path.abspath(folder)
        self.wine = "/usr/lib/wine/wine64" if bits == 64 else "/usr/lib/wine/wine"
        # winedbg.exe disabled: a crash ends the run with the exception code as
        # its status instead of waiting in the debugger.
        self.environment = {"WINEPREFIX": os.path.join(self.folder, "prefix"),
                            "WINEDEBUG": "-all", "WINEARCH": f"win{bits}",
                            "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
                            # Under emulation, without this reservation each
                            # process spends about a minute starting.
                            "QEMU_RESERVED_VA": "0x82000000"}
        self.lock_path = os.path.join(self.folder, "lock")
        self.holding_lock = False

    def _quiet(self, command, timeout, launcher=()):
        subprocess.run([*launcher, *command], check=True, timeout=timeout,
                       env=dict(os.environ, **self.environment), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

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

    def boot(self, server_dll, keeper, say=lambda line: print(line, file=sys.stderr)):
        """Starts a persistent server, boots the prefix, starts KEEPER and waits
        until it is up, then registers SERVER_DLL: one step after the other, so
        that no two Wine processes ever race to set the prefix up."""
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.environment["WINEPREFIX"])
        # Without -f the server puts itself in the background once it listens,
        # so the boot that follows cannot start a second, short-lived one.
        self._quiet([WINESERVER, "-p"], timeout=60)
        self._quiet([self.wine, "wineboot", "-i"], timeout=900, launcher=self._boot_launcher(say))
        # The boot leaves the prefix's services running, inside the namespace it
        # booted in, if any. None of them may serve the session from there: they
        # end, and the runs start them again as they need them.
        self.stop()
        self._quiet([WINESERVER, "-p"], timeout=60)
        # The keeper holds the prefix's desktop process for the whole session:
        # without it each run would start one, and a run could meet one that is
        # on its way out.
        ready = os.path.join(self.folder, "keeper-ready")
        keeper_process = subprocess.Popen(
            [self.wine, keeper, windows_path(ready)], env=dict(os.environ, **self.environment),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 600
        while not os.path.exists(ready):
            if keeper_process.poll() is not None or time.monotonic() > deadline:
                raise WineFailure(f"the keeper never came up (status {keeper_process.poll()})")
            time.sleep(0.2)
        self.register(server_dll)

    def register(self, server_dll, *flags):
        self._quiet([self.wine, "regsvr32", "/s", *flags, windows_path(server_dll)], timeout=600)

    @contextlib.contextmanager
    def _locked(self, how):
        if self.holding_lock:  # a run inside without_class
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
    def without_class(self, server_dll):
        """The class unregistered, with no other run in the prefix meanwhile."""
        with self._locked(fcntl.LOCK_EX):
            self.register(server_dll, "/u")
            try:
                yield
            finally:
                self.register(server_dll)

    def run(self, argv, env, timeout=300, **popen):
        """Runs a Windows program in the prefix (alongside other runs, but never
        while the class is unregistered)."""
        with self._locked(fcntl.LOCK_SH):
            try:
                result = subprocess.run([self.wine, *argv], env=dict(env, **self.environment),
                                        timeout=timeout, **popen)
            except subprocess.TimeoutExpired as timed_out:
                raise WineFailure(f"Wine did not end {argv} within {timeout} s") from timed_out
        # The program ends with 0, 1 or (the stand-in's knob) 2, and prints a
        # message whenever it fails; anything else is Wine's doing, or a crash.
        quiet = not result.stdout and not result.stderr
        if result.returncode not in (0, 1, 2) or (result.returncode != 0 and quiet):
            raise WineFailure(f"{argv} ended with status {result.returncode:#x} under Wine,"
                              f" printing {result.stdout!r} and {result.stderr!r}: not an"
                              " outcome of the program's own")
        return result

    def stop(self):
        """Ends every process of the prefix, the server among them."""
        for flag in ("-k", "-w"):  # kill, then wait until all are gone
            subprocess.run([WINESERVER, flag], env=dict(os.environ, **self.environment),
                           timeout=60, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
