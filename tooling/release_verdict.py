"""The answers of scripts/check-release, and how a line of its output is made
of text that a zip may choose, and the steps that give a verdict.
release_verdict.py: prints the steps' environment, NAME=VALUE a line, for
scripts/dist to build in."""
import os
import signal
import subprocess


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
    print(line + printable(" ".join(reason.split())), flush=True)
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
    """What ARGV prints, whole, run in the checkout within QUICK_LIMIT; it
    must succeed."""
    done = run_step(argv, QUICK_LIMIT, what, cwd=ROOT, stderr=subprocess.PIPE)
    if done.returncode != 0:
        reason = (done.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise CannotCheck(f"{what} fails in this checkout ({reason}); run the check from a clean"
                          " clone")
    return done.stdout


if __name__ == "__main__":
    print("\n".join(f"{name}={value}" for name, value in STEP_ENVIRONMENT.items()))
