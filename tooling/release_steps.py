"""How scripts/check-release runs and answers: each step in one fixed
environment and within its time limit (git, the build of a commit alone, the
check in a bare root of another Debian release, where a zip built there is
checked), and the three answers, in a line that no text a zip chose can break.
python3 -m tooling.release_steps prints the steps' environment, NAME=VALUE a
line, for scripts/dist to build in."""
import contextlib
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile


class Refused(Exception):
    """The zip is not a release of this checkout: the one-line reason."""


class CannotCheck(Exception):
    """No verdict on the zip can be had here: the one-line reason, which is
    about this machine or the arguments, never the zip, and what to do."""


def refuse_if(condition, reason):
    if condition:
        raise Refused(reason)


def printable(text):
    """TEXT, which whoever made the file or chose its name may have chosen,
    fit for one line of ours: each byte of its UTF-8 outside printable ASCII
    as \\xNN, so that no line end of any kind (\\n, \\r, U+0085, U+2028 ...)
    can start a line of its own."""
    return "".join(chr(byte) if 0x20 <= byte < 0x7F else f"\\x{byte:02x}"
                   for byte in text.encode("utf-8", "surrogateescape"))


# The three answers, by status, as cmp gives them: same, different, trouble.
ACCEPTED, REFUSED, CANNOT_CHECK = 0, 1, 2
ANSWERS = {ACCEPTED: "ACCEPTED", REFUSED: "REFUSED", CANNOT_CHECK: "CANNOT CHECK"}


def verdict(status, name, reason):
    """Writes the last line of the check, the one that gives its answer, and
    returns the status. NAME is the zip's file name, or None where none was
    named."""
    line = f"check-release: {ANSWERS[status]}: "
    if name is not None:
        line += printable(name) + (" " if status == ACCEPTED else ": ")
    try:
        print(line + printable(" ".join(reason.split())), flush=True)
    except OSError:  # the caller's output takes no answer: trouble, not a verdict
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return CANNOT_CHECK
    return status


# Every step runs in this environment alone, nothing of the caller's: so that
# no LDFLAGS, GIT_DIR, proxy or locale of theirs reaches a build, git or a
# verdict.
STEP_ENVIRONMENT = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                    "LC_ALL": "C.UTF-8", "HOME": "/nonexistent", "TZ": "UTC"}
# A git command, a script's answer, an osslsigncode or openssl step: each takes
# under a second here, and gets several times what a busy machine needs.
QUICK_LIMIT = 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Each limit is several times what a genuine run takes on a busy machine
# (docs/release.md): configuring and building the exe, about 15 s; making a
# bare root, installing its packages and checking in it, about 10 minutes.
BUILD_LIMIT = 600
ROOT_LIMIT = 3600
# What the nested check is handed, beside the fixed environment: where the
# roots are kept, and the way to the archive.
ROOT_SETTINGS = ("TALVENOR_ROOTS", "http_proxy", "https_proxy", "no_proxy")
CARRIED_ZIP = "release.zip"


def run_step(argv, limit, what, **options):
    """ARGV's completed process, run in STEP_ENVIRONMENT for at most LIMIT
    seconds, in a process group of its own, which is ended whole when time
    runs out; its output as text, unless OPTIONS say otherwise. A step that
    cannot start or runs out of time is this machine's fault: CannotCheck,
    naming WHAT it was."""
    options = {"env": STEP_ENVIRONMENT, "stdout": subprocess.PIPE, "text": True,
               "errors": "replace", **options}
    try:
        process = subprocess.Popen(argv, start_new_session=True, **options)
    except OSError as error:
        raise CannotCheck(f"{what} cannot start: {argv[0]}: {error.strerror}") from None
    try:
        out, err = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise CannotCheck(f"{what} ran out of time ({limit} s); try again on a less busy"
                          " machine") from None
    return subprocess.CompletedProcess(argv, process.returncode, out, err)


def quick(argv, what):
    """What ARGV prints, whole, run in the checkout; it must succeed."""
    done = run_step(argv, QUICK_LIMIT, what, cwd=ROOT, stderr=subprocess.PIPE)
    if done.returncode != 0:
        reason = (done.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise CannotCheck(f"{what} fails in this checkout ({reason}); run the check from a clean"
                          " clone")
    return done.stdout


def git(*args):
    return quick(["git", "-C", ROOT, *args], f"git {args[0]}")


def clean_build(commit, builds):
    """(exe, version): COMMIT's tree alone, built in a fresh folder of its
    own, then renamed into place as BUILDS/COMMIT and kept for the next
    check. No file of the checkout that the commit does not hold can reach
    it, and two checks at once never see each other's half-made build: the
    one that renames first serves both."""
    build = os.path.join(builds, commit, "build", "win32")
    if not os.path.exists(os.path.join(build, "talvenor.exe")):
        try:
            os.makedirs(builds, exist_ok=True)
            fresh = tempfile.TemporaryDirectory(prefix=commit + ".", dir=builds,
                                                ignore_cleanup_errors=True)
        except OSError as error:
            raise CannotCheck(f"cannot make a build folder in {builds}: {error.strerror};"
                              " name another with --build-dir") from None
        with fresh as tree:
            print(f"building commit {commit[:12]} from its tree alone in"
                  f" {printable(os.path.join(builds, commit))}", file=sys.stderr, flush=True)
            quick(["bash", "-o", "pipefail", "-c", 'git -C "$1" archive "$2" | tar -x -C "$3"',
                   "-", ROOT, commit, tree], "unpacking HEAD's tree")
            for step in (["cmake", "--preset", "win32", "-DBUILD_TESTING=OFF"],
                         ["cmake", "--build", "--preset", "win32", "--target", "talvenor"]):
                if run_step(step, BUILD_LIMIT, " ".join(step), cwd=tree,
                            stdout=subprocess.DEVNULL).returncode != 0:
                    raise CannotCheck(f"HEAD does not build here: {' '.join(step)} failed (its"
                                      " errors are above); install what it needs (scripts/test)"
                                      " and try again")
            with contextlib.suppress(OSError):  # where another check came first
                os.rename(tree, os.path.join(builds, commit))
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache.read(), re.M)
    return pathlib.Path(build, "talvenor.exe").read_bytes(), version.group(1)


def in_root_of(release, zip_path, ca, tsa_ca):
    """The check again, in a bare root of RELEASE, with the zip and the CA
    files carried in; its verdict, as this check's: a refusal or a
    CannotCheck, or nothing where it accepts."""
    with tempfile.TemporaryDirectory() as carried:
        shutil.copy(zip_path, os.path.join(carried, CARRIED_ZIP))
        argv = ["scripts/check-release"]
        for option, path in (("--ca", ca), ("--tsa-ca", tsa_ca)):
            if path:
                shutil.copy(path, os.path.join(carried, option[2:] + ".pem"))
                argv += [option, f"/root/carried/{option[2:]}.pem"]
        print(f"the zip was built on Debian {release}: it is checked in a bare root of {release},"
              " which scripts/debian-root makes with debootstrap unless it has one already"
              " (about 1.5 GB downloaded and unpacked), installs the build packages in, and"
              " builds HEAD in: minutes", flush=True)
        done = run_step([os.path.join(ROOT, "scripts", "debian-root"), "--carry", carried,
                         release, *argv, "--", f"/root/carried/{CARRIED_ZIP}"], ROOT_LIMIT,
                        f"the check in a bare root of {release}", env={**STEP_ENVIRONMENT, **{
                            name: os.environ[name] for name in ROOT_SETTINGS
                            if name in os.environ}})
    *lines, last = done.stdout.splitlines() or [""]
    print("".join(f"{line}\n" for line in lines), end="", flush=True)  # all but its verdict
    said = f"check-release: {ANSWERS.get(done.returncode)}: {CARRIED_ZIP}"
    said += " " if done.returncode == ACCEPTED else ": "
    if done.returncode in ANSWERS and last.startswith(said):
        reason = last[len(said):]
        if done.returncode == REFUSED:
            raise Refused(f"{reason} (in a bare root of {release})")
        if done.returncode == CANNOT_CHECK:
            raise CannotCheck(f"in a bare root of {release}: {reason}")
        return
    raise CannotCheck(f"the check in a bare root of {release} ended with status"
                      f" {done.returncode} and no verdict (its output is above); try"
                      f" scripts/debian-root {release} scripts/test")


if __name__ == "__main__":
    print("\n".join(f"{name}={value}" for name, value in STEP_ENVIRONMENT.items()))
