"""The release zip as a container: its entries, exactly as the packer lays
them out, each inflated within bounds, and its build record."""
import re
import struct
import zlib

from tooling import pack_zip
from tooling.release_verdict import Refused

# What any entry may declare before the build says how large it must be.
LARGEST_ENTRY = 1 << 20
LARGEST_RECORD = 1024
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]{0,62}")


LOCAL = struct.Struct("<4sHHHHHIIIHH")
CENTRAL = struct.Struct("<4sHHHHHHIIIHHHHHII")
END = struct.Struct("<4sHHHHIIH")


def read_entries(data):
    """The zip's four entries, by name: (crc, declared size, compressed
    bytes), each stored with deflate, unencrypted. Every byte of the file
    must belong to exactly these entries, each once, their local and central
    records agreeing, with nothing between or after them."""
    if len(data) < END.size or data[-END.size:-END.size + 4] != b"PK\x05\x06":
        raise Refused("not a zip: no end-of-directory record at its very end"
                      " (truncated, or followed by a comment or other bytes)")
    _, disk, first_disk, here, total, size, offset, comment = END.unpack(data[-END.size:])
    if comment or disk or first_disk or here != total:
        raise Refused("the zip's end record is not a plain single-disk one")
    if total != len(pack_zip.ENTRIES):
        raise Refused(f"the zip lists {total} entries, not {len(pack_zip.ENTRIES)}")
    if offset + size != len(data) - END.size:
        raise Refused("bytes stand between the zip's central directory and its end record")
    entries, position, expected_local = {}, offset, 0
    for name in pack_zip.ENTRIES:
        if position + CENTRAL.size > offset + size:
            raise Refused("the zip's central directory is cut short")
        (signature, _, _, flags, method, _, _, crc, compressed, declared, name_length,
         extra_length, comment_length, _, _, _, local) = CENTRAL.unpack_from(data, position)
        listed = data[position + CENTRAL.size:position + CENTRAL.size + name_length]
        if signature != b"PK\x01\x02":
            raise Refused("the zip's central directory is damaged")
        if listed != name.encode():
            raise Refused(f"the zip's entries are not {', '.join(pack_zip.ENTRIES)}, each once,"
                          f" in that order: {listed.decode('ascii', 'replace')!r} stands where"
                          f" {name} should")
        if extra_length or comment_length:
            raise Refused(f"{name} carries an extra field or a comment")
        if local != expected_local:
            raise Refused("bytes stand between the zip's entries that its central directory"
                          " does not list")
        if data[local:local + 4] != b"PK\x03\x04" or local + LOCAL.size > offset:
            raise Refused(f"{name} has no local record where the central directory says")
        fields = LOCAL.unpack_from(data, local)
        start = local + LOCAL.size + fields[9] + fields[10]
        if (fields[1:9] != CENTRAL.unpack_from(data, position)[2:10]
                or data[local + LOCAL.size:local + LOCAL.size + fields[9]] != listed
                or fields[10]):
            raise Refused(f"the local record of {name} disagrees with the central directory")
        if flags & 1:
            raise Refused(f"{name} is encrypted")
        if method != 8:
            raise Refused(f"{name} is stored with compression method {method}, not deflate")
        if flags & ~0x6:  # only deflate's own level bits
            raise Refused(f"{name} has general-purpose flags {flags:#x}")
        if declared > LARGEST_ENTRY:
            raise Refused(f"{name} declares {declared} bytes, more than any release holds")
        if start + compressed > offset:
            raise Refused(f"{name}'s data runs past the start of the central directory")
        entries[name] = (crc, declared, data[start:start + compressed])
        expected_local = start + compressed
        position += CENTRAL.size + name_length
    if expected_local != offset:
        raise Refused("bytes stand between the zip's entries that its central directory"
                      " does not list")
    return entries


def inflate(name, entry, most):
    """The entry's bytes, inflating no more than MOST of them."""
    crc, declared, compressed = entry
    if declared > most:
        raise Refused(f"{name} declares {declared} bytes, more than the {most} it may hold")
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    try:
        data = inflater.decompress(compressed, most + 1)
    except zlib.error as error:
        raise Refused(f"{name}'s deflate data is damaged ({error})") from None
    if len(data) > most:
        raise Refused(f"{name} inflates to more than the {most} bytes it may hold")
    if not inflater.eof or inflater.unconsumed_tail or inflater.unused_data:
        raise Refused(f"{name}'s deflate data does not end where the entry does")
    if len(data) != declared or zlib.crc32(data) != crc:
        raise Refused(f"{name} does not match its declared size and CRC")
    return data


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
