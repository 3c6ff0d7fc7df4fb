"""The release zip as a container: its four entries, found and read by
zipfile within bounds, and its build record. Whether the zip is laid out as
the packer lays it out, byte for byte, the check proves by packing the entries
again (check_release.py); here each entry is only bounded before it is read."""
import io
import re
import zipfile
import zlib

from tooling import pack_zip
from tooling.release_verdict import Refused

LARGEST_RECORD = 1024
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]{0,62}")
# Deflate's own bits, which say how hard the packer tried: whatever else a
# flag asks of the reader (encryption, a data descriptor, patched data) no
# release has.
DEFLATE_LEVEL_FLAGS = 0x6


def read_entries(data):
    """The zip's four entries, in the packer's order, each once, stored with
    deflate and unencrypted, as zipfile's ZipFile. Nothing is inflated yet."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as error:
        raise Refused(f"not a zip: {error}") from None
    names = [entry.filename for entry in archive.infolist()]
    if names != list(pack_zip.ENTRIES):
        raise Refused(f"the zip's entries are not {', '.join(pack_zip.ENTRIES)}, each once, in"
                      f" that order, but {', '.join(names)[:200]}")
    for entry in archive.infolist():
        # Checked before zipfile opens the entry, which would raise
        # RuntimeError for an encrypted one and NotImplementedError for
        # another method: from here on, only the data can be wrong.
        if entry.flag_bits & 1:
            raise Refused(f"{entry.filename} is encrypted")
        if entry.compress_type != zipfile.ZIP_DEFLATED:
            raise Refused(f"{entry.filename} is stored with compression method"
                          f" {entry.compress_type}, not deflate")
        if entry.flag_bits & ~DEFLATE_LEVEL_FLAGS:
            raise Refused(f"{entry.filename} has general-purpose flags {entry.flag_bits:#x}")
    return archive


def inflate(archive, name, most):
    """The entry's bytes, no more than MOST of them: its declared size is
    judged first, and zipfile inflates no further than that size, then checks
    the CRC."""
    entry = archive.getinfo(name)
    if entry.file_size > most:
        raise Refused(f"{name} declares {entry.file_size} bytes, more than the {most} it may hold")
    try:
        with archive.open(entry) as file:
            return file.read(entry.file_size)
    except (zipfile.BadZipFile, zlib.error, EOFError) as error:
        raise Refused(f"{name} cannot be read: {error}") from None


def read_record(data, releases):
    """BUILDINFO.txt as a dict, which must be a record the packer writes:
    its names in their order, and values that carry nothing else."""
    names = ["talvenor", "commit", "debian", *pack_zip.TOOLCHAIN]
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused("BUILDINFO.txt is not ASCII") from None
    lines = text.split("\r\n")
    if lines[-1] != "" or len(lines) != len(names) + 1:
        raise Refused(f"BUILDINFO.txt is not {len(names)} lines, each with a Windows line end")
    record = {}
    for line, name in zip(lines, names):
        label, _, value = line.partition(": ")
        if label != name:
            raise Refused(f"BUILDINFO.txt names {label!r} where the packer writes {name!r}")
        record[name] = value
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", record["talvenor"]):
        raise Refused("BUILDINFO.txt's version is not a version")
    if not re.fullmatch(r"[0-9a-f]{40}", record["commit"]):
        raise Refused(f"BUILDINFO.txt's commit is not one commit's hash: {record['commit'][:80]!r}")
    debian = re.fullmatch(r"([0-9]{1,3}) ([a-z]{1,20})", record["debian"])
    if not debian or debian.group(2) not in releases:
        raise Refused(f"BUILDINFO.txt's Debian release is none of {', '.join(releases)}")
    for name in pack_zip.TOOLCHAIN:
        if not DEBIAN_VERSION.fullmatch(record[name]):
            raise Refused(f"BUILDINFO.txt's {name} is not a Debian version")
    return record
