"""The release zip as a container: its four entries, found and read by
zipfile within bounds, and its build record. Whether the zip is laid out as
the packer lays it out, byte for byte, the check proves by packing the entries
again (check_release.py); here each entry is only bounded before it is read."""
import io
import re
import zipfile
import zlib

from tooling import pack_zip
from tooling.release_verdict import Refused, refuse_if

LARGEST_RECORD = 1024
# What each value of the record must be, in its order, so that it can carry
# nothing else.
VALUES = {"talvenor": (r"[0-9]+(\.[0-9]+)*", "a version"),
          "commit": ("[0-9a-f]{40}", "one commit's hash"),
          "debian": ("[0-9]{1,3} [a-z]{1,20}", "a Debian release"),
          **{name: (r"([0-9]+:)?[0-9][A-Za-z0-9.+~-]{0,62}", "a Debian version")
             for name in pack_zip.TOOLCHAIN}}
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
    names = archive.namelist()
    refuse_if(names != list(pack_zip.ENTRIES), "the zip's entries are not"
              f" {', '.join(pack_zip.ENTRIES)}, each once, in that order, but"
              f" {', '.join(names)[:200]}")
    for entry in archive.infolist():
        # Checked before zipfile opens the entry, which would raise
        # RuntimeError for an encrypted one and NotImplementedError for
        # another method: from here on, only the data can be wrong.
        refuse_if(entry.flag_bits & 1, f"{entry.filename} is encrypted")
        refuse_if(entry.compress_type != zipfile.ZIP_DEFLATED, f"{entry.filename} is stored with"
                  f" compression method {entry.compress_type}, not deflate")
        refuse_if(entry.flag_bits & ~DEFLATE_LEVEL_FLAGS,
                  f"{entry.filename} has general-purpose flags {entry.flag_bits:#x}")
    return archive


def inflate(archive, name, most):
    """The entry's bytes, no more than MOST of them: its declared size is
    judged first, and zipfile inflates no further than that size, then checks
    the CRC."""
    entry = archive.getinfo(name)
    refuse_if(entry.file_size > most,
              f"{name} declares {entry.file_size} bytes, more than the {most} it may hold")
    try:
        with archive.open(entry) as file:
            return file.read(entry.file_size)
    except (zipfile.BadZipFile, zlib.error, EOFError) as error:
        raise Refused(f"{name} cannot be read: {error}") from None


def read_record(data, releases):
    """BUILDINFO.txt as a dict, which must be a record the packer writes:
    its names in their order, and values that carry nothing else."""
    lines = data.decode("ascii", "replace").split("\r\n")  # no pattern takes U+FFFD
    refuse_if(lines[-1] != "" or len(lines) != len(VALUES) + 1,
              f"BUILDINFO.txt is not {len(VALUES)} lines, each with a Windows line end")
    record = {}
    for line, (name, (pattern, what)) in zip(lines, VALUES.items()):
        label, _, record[name] = line.partition(": ")
        refuse_if(label != name, f"BUILDINFO.txt names {label!r} where the packer writes {name!r}")
        refuse_if(not re.fullmatch(pattern, record[name]),
                  f"BUILDINFO.txt's {name} is not {what}: {record[name][:80]!r}")
    refuse_if(record["debian"].partition(" ")[2] not in releases,
              f"BUILDINFO.txt's Debian release is none of {', '.join(releases)}")
    return record
