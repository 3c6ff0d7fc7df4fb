"""The answers of scripts/check-release, and how a line of its output is made
of text that a zip may choose."""


class Refused(Exception):
    """The zip is not a release of this checkout: the one-line reason."""


class CannotCheck(Exception):
    """No verdict on the zip can be had here: the one-line reason, which is
    about this machine or the arguments, never the zip, and what to do."""


def say(line):
    print(line, flush=True)


def printable(text):
    """TEXT, which whoever made the file chose, fit for one line of ours."""
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)
