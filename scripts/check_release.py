"""check_release.py ZIP [--ca CA.pem] [--tsa-ca TSA-CA.pem]: the checks behind
scripts/check-release, which installs what they need first.

A release zip is accepted when its bytes are exactly what this checkout's HEAD
makes of them: HEAD's tree, built alone in a folder of its own, with the
shipped signature block put back into the exe, packed with HEAD's README and
the zip's own build record at the commit's time. The record may differ from a
build here only in its package versions, which are noted. A signed exe must
carry one SHA-256 Authenticode signature, whose only unauthenticated attribute
is its timestamp and whose certificates are the signer's chain and the
timestamp's; the signer's chain is verified against CA.pem, the timestamp's
against TSA-CA.pem, either by default against the machine's trusted roots.
Every verdict rests on the bytes and their parsed structures, never on text
that the zip can choose. Where the zip records another Debian release than
this machine's, the check runs in a bare root of that release.
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from asn1crypto import cms, core

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import pack_zip  # noqa: E402

# Far above any release (about 25 KB), far below anything that strains memory.
LARGEST_ZIP = 16 << 20
# Room for the largest signature block a real chain and timestamp need.
SIGNATURE_ROOM = 64 << 10
# What any entry may declare before the build says how large it must be.
LARGEST_ENTRY = 1 << 20
LARGEST_RECORD = 1024
TRUSTED_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]{0,62}")
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
CODE_SIGNING = "code_signing"


class Refused(Exception):
    """The zip is not a release of this checkout: the one-line reason."""


def say(line):
    print(line, flush=True)


# The container ------------------------------------------------------------

LOCAL = struct.Struct("<4sHHHHHIIIHH")
CENTRAL = struct.Struct("<4sHHHHHHIIIHHHHHII")
END = struct.Struct("<4sHHHHIIH")


def read_entries(data):
    """The zip's four entries, by name: (method, flags, crc, declared size,
    compressed bytes). Every byte of the file must belong to exactly these
    entries, each once, their local and central records agreeing, with
    nothing between or after them."""
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
        raise Refused(f"{name} declares {declared} bytes, more than the build's {most}")
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    try:
        data = inflater.decompress(compressed, most + 1)
    except zlib.error as error:
        raise Refused(f"{name}'s deflate data is damaged ({error})") from None
    if len(data) > most:
        raise Refused(f"{name} inflates to more than the build's {most} bytes")
    if not inflater.eof or inflater.unconsumed_tail or inflater.unused_data:
        raise Refused(f"{name}'s deflate data does not end where the entry does")
    if len(data) != declared or zlib.crc32(data) != crc:
        raise Refused(f"{name} does not match its declared size and CRC")
    return data


# The build record -----------------------------------------------------------

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


# The exe and its signature -------------------------------------------------

def pe_fields(exe):
    """Where the PE checksum and the security directory entry lie."""
    try:
        header = struct.unpack_from("<I", exe, 0x3C)[0]
        magic = struct.unpack_from("<H", exe, header + 24)[0]
        if exe[header:header + 4] != b"PE\0\0" or magic != 0x10B:
            return None
    except struct.error:
        return None
    optional = header + 24
    if len(exe) < optional + 136:
        return None
    return optional + 64, optional + 128  # a PE32 file's


def pe_checksum(exe):
    """The PE checksum of EXE, whose checksum field holds zero: its 16-bit
    words summed with the carries folded in, plus its length."""
    total = 0
    for (word,) in struct.iter_unpack("<H", exe + b"\0" * (len(exe) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(exe)


def signature_block(exe, built):
    """The exe's signature (PKCS#7 bytes), or None where it carries none. The
    exe must be BUILT byte for byte with the block put back: the block where
    the build ends, the header's checksum and security directory pointing at
    it, and nothing else changed."""
    fields = pe_fields(built)
    if fields is None or pe_fields(exe) != fields:
        raise Refused("talvenor.exe is not what this checkout builds")
    checksum_at, security_at = fields
    address, size = struct.unpack_from("<II", exe, security_at)
    if (address, size) == (0, 0):
        if exe != built:
            raise Refused("talvenor.exe is not what this checkout builds")
        return None
    start = -(-len(built) // 8) * 8
    if address != start or address + size != len(exe) or size < 8:
        raise Refused("talvenor.exe's signature block is not the one table the build's end"
                      " takes")
    length, revision, kind = struct.unpack_from("<IHH", exe, address)
    if (revision, kind) != (0x200, 2) or length != size:
        raise Refused("talvenor.exe's certificate table is not one Authenticode signature")
    block = exe[address + 8:address + size]
    try:
        outer = core.Asn1Value.load(block, strict=False)
        der_length = len(outer.dump())
    except Exception:  # asn1crypto's, on bytes that whoever made the file chose
        raise Refused("talvenor.exe's signature is not DER") from None
    if len(block) - der_length >= 8 or block[der_length:].strip(b"\0"):
        raise Refused("talvenor.exe's certificate table holds bytes beyond its signature")
    rebuilt = bytearray(built + b"\0" * (start - len(built)) + exe[address:])
    struct.pack_into("<II", rebuilt, security_at, address, size)
    struct.pack_into("<I", rebuilt, checksum_at, 0)
    struct.pack_into("<I", rebuilt, checksum_at, pe_checksum(bytes(rebuilt)))
    if bytes(rebuilt) != exe:
        raise Refused("talvenor.exe is not this checkout's build with its signature block"
                      " put back")
    return block[:der_length]


def authenticode_digest(exe, algorithm):
    """The exe's Authenticode digest: every byte before the certificate table
    but the checksum and the security directory entry."""
    checksum_at, security_at = pe_fields(exe)
    address = struct.unpack_from("<I", exe, security_at)[0]
    digest = hashlib.new(algorithm)
    digest.update(exe[:checksum_at])
    digest.update(exe[checksum_at + 4:security_at])
    digest.update(exe[security_at + 8:address])
    return digest.digest()


class DigestInfo(core.Sequence):
    _fields = [("algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectData(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


def printable(text):
    """TEXT, which whoever made the file chose, fit for one line of ours."""
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)


def certificates_of(signed_data):
    found = []
    for choice in signed_data["certificates"] or []:
        if choice.name != "certificate":
            raise Refused("the signature carries a certificate of another kind than X.509")
        found.append(choice.chosen)
    return found


def chain_of(leaf, certificates):
    """LEAF and the certificates that issued it, up to a self-issued one or
    one whose issuer is not among CERTIFICATES."""
    chain = [leaf]
    while chain[-1].issuer != chain[-1].subject:
        issuers = [c for c in certificates if c.subject == chain[-1].issuer and c not in chain]
        if not issuers:
            break
        chain.append(issuers[0])
    return chain


def signer_of(signed_data, certificates, what):
    """The one signer of SIGNED_DATA and its certificate, which must be there;
    the certificates must be exactly its chain."""
    if len(signed_data["signer_infos"]) != 1:
        raise Refused(f"the {what} has {len(signed_data['signer_infos'])} signers, not one")
    signer = signed_data["signer_infos"][0]
    identifier = signer["sid"]
    if identifier.name != "issuer_and_serial_number":
        raise Refused(f"the {what}'s signer is not named by issuer and serial number")
    wanted = identifier.chosen
    leaves = [c for c in certificates if c.issuer == wanted["issuer"]
              and c.serial_number == wanted["serial_number"].native]
    if len(leaves) != 1:
        raise Refused(f"the {what} does not carry its signer's certificate once")
    chain = chain_of(leaves[0], certificates)
    if len(chain) != len(certificates):
        raise Refused(f"the {what} carries certificates beyond its signer's chain")
    return signer, leaves[0]


def check_structure(signature, exe):
    """(the signer's subject, whether it is timestamped): the one signature's
    parts that Authenticode's own verdict leaves unchecked."""
    try:
        info = cms.ContentInfo.load(signature, strict=True)
        if info["content_type"].native != "signed_data":
            raise Refused("talvenor.exe's signature is not PKCS#7 signed data")
        signed = info["content"]
        if [a["algorithm"].native for a in signed["digest_algorithms"]] != ["sha256"]:
            raise Refused("talvenor.exe is not signed with SHA-256 alone")
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
            raise Refused("talvenor.exe's signature is not Authenticode's")
        indirect = encapsulated["content"].parse(SpcIndirectData)
        digest = indirect["message_digest"]
        if digest["algorithm"]["algorithm"].native != "sha256":
            raise Refused("talvenor.exe's Authenticode digest is not SHA-256")
        if digest["digest"].native != authenticode_digest(exe, "sha256"):
            raise Refused("talvenor.exe's signature is of other bytes than its own")
        if signed["crls"].native:
            raise Refused("talvenor.exe's signature carries revocation lists")
        certificates = certificates_of(signed)
        signer, leaf = signer_of(signed, certificates, "signature")
        if signer["digest_algorithm"]["algorithm"].native != "sha256":
            raise Refused("talvenor.exe's signer digests with another algorithm than SHA-256")
        usage = leaf.extended_key_usage_value
        if usage is None or CODE_SIGNING not in usage.native:
            raise Refused("the signer's certificate is not for code signing")
        allowed = leaf.key_usage_value
        if allowed is not None and "digital_signature" not in allowed.native:
            raise Refused("the signer's certificate does not allow digital signatures")
        attributes = signer["unsigned_attrs"]
        unsigned = [] if isinstance(attributes, core.Void) else list(attributes)
        kinds = [attribute["type"].dotted for attribute in unsigned]
        if NESTED_SIGNATURE in kinds:
            raise Refused("talvenor.exe carries a second, nested signature")
        if kinds not in ([], [RFC3161_TIMESTAMP]) or any(len(a["values"]) != 1 for a in unsigned):
            raise Refused("talvenor.exe's signature carries an unauthenticated attribute other"
                          " than one timestamp")
        if unsigned:
            token = unsigned[0]["values"][0]
            if (not isinstance(token, cms.ContentInfo)
                    or token["content_type"].native != "signed_data"):
                raise Refused("talvenor.exe's timestamp is not an RFC 3161 token")
            stamp = token["content"]
            stamper, _ = signer_of(stamp, certificates_of(stamp), "timestamp")
            if not isinstance(stamper["unsigned_attrs"], core.Void) or stamp["crls"].native:
                raise Refused("talvenor.exe's timestamp carries attributes or lists of its own")
        return printable(leaf.subject.human_friendly), bool(unsigned)
    except Refused:
        raise
    except Exception as error:  # asn1crypto's, on DER that whoever made the file chose
        raise Refused("talvenor.exe's signature does not parse:"
                      f" {str(error).splitlines()[0]}") from None


def verify(exe, ca, tsa_ca, stamped):
    """Authenticode's cryptographic verdict on the one signature, from
    osslsigncode. Its exit status is no verdict (it is 0 when any one of
    several signatures verifies), so only whole lines of its report count."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "talvenor.exe")
        with open(path, "wb") as file:
            file.write(exe)
        report = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", tsa_ca,
                                 "-in", path], capture_output=True, text=True,
                                errors="replace").stdout
    lines = [line.rstrip() for line in report.splitlines()]
    if lines.count("Signature verification: ok") != 1 or any(
            line.startswith("Signature verification: ") and line != "Signature verification: ok"
            for line in lines):
        raise Refused("the signature or the signer's chain does not verify")
    if stamped and lines.count("Timestamp Server Signature verification: ok") != 1:
        raise Refused("the timestamp or its chain does not verify")


# The checkout's build ------------------------------------------------------

def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], check=True, capture_output=True,
                          text=True).stdout.strip()


def clean_build(commit):
    """(exe, version, tree): HEAD's tree alone, built in a folder of its own
    and kept there for the next check, so that no file of the checkout that
    HEAD does not hold can reach it."""
    folder = os.path.join(ROOT, "build", "check", commit)
    tree, exe = os.path.join(folder, "tree"), os.path.join(folder, "talvenor.exe")
    if not os.path.exists(exe):
        print(f"building commit {commit[:12]} from its tree alone in {folder}", file=sys.stderr,
              flush=True)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(tree)
        archive = subprocess.Popen(["git", "-C", ROOT, "archive", "--format=tar", commit],
                                   stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", tree], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise Refused("git archive of HEAD failed")
        for step in (["cmake", "--preset", "win32", "-DBUILD_TESTING=OFF"],
                     ["cmake", "--build", "--preset", "win32", "--target", "talvenor"]):
            if subprocess.run(step, cwd=tree, stdout=subprocess.DEVNULL).returncode != 0:
                raise Refused(f"HEAD does not build here: {' '.join(step)} failed")
        shutil.copy(os.path.join(tree, "build", "win32", "talvenor.exe"), exe + ".new")
        os.rename(exe + ".new", exe)
    with open(os.path.join(tree, "build", "win32", "CMakeCache.txt")) as file:
        version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", file.read(), re.M).group(1)
    with open(exe, "rb") as file:
        return file.read(), version, tree


# The check -----------------------------------------------------------------

def this_release():
    return pack_zip.build_record("")["debian"].partition(" ")[2]


def supported_releases():
    return subprocess.run(["bash", "-c", '. scripts/packages.sh && echo "${DEBIAN_RELEASES[@]}"'],
                          cwd=ROOT, check=True, capture_output=True, text=True).stdout.split()


def in_root_of(release, zip_path, ca, tsa_ca):
    """The whole check again, in a bare root of RELEASE, with the zip and the
    CA files carried in: its status."""
    with tempfile.TemporaryDirectory() as carried:
        argv = ["scripts/check-release", "/root/carried/" + os.path.basename(zip_path)]
        shutil.copy(zip_path, carried)
        for option, path in (("--ca", ca), ("--tsa-ca", tsa_ca)):
            if path:
                shutil.copy(path, os.path.join(carried, option[2:] + ".pem"))
                argv += [option, f"/root/carried/{option[2:]}.pem"]
        say(f"the zip was built on Debian {release}: checking it in a bare root of it")
        return subprocess.run([os.path.join(ROOT, "scripts", "debian-root"), "--carry", carried,
                               release, *argv]).returncode


def check(zip_path, ca, tsa_ca):
    """The verdict's tail: "signed by ..., timestamped" or "unsigned"; or a
    status where another root gave the verdict."""
    if os.path.getsize(zip_path) > LARGEST_ZIP:
        raise Refused(f"the zip is larger than any release ({LARGEST_ZIP} bytes)")
    with open(zip_path, "rb") as file:
        data = file.read(LARGEST_ZIP + 1)
    entries = read_entries(data)
    record = read_record(inflate("BUILDINFO.txt", entries["BUILDINFO.txt"], LARGEST_RECORD),
                         supported_releases())
    commit = git("rev-parse", "HEAD")
    if record["commit"] != commit:
        raise Refused(f"the zip records commit {record['commit']};"
                      f" this checkout's HEAD is {commit}")
    release = record["debian"].partition(" ")[2]
    if release != this_release():
        return in_root_of(release, zip_path, ca, tsa_ca)

    built, version, tree = clean_build(commit)
    if record["talvenor"] != version:
        raise Refused(f"the zip records version {record['talvenor']}; HEAD builds {version}")
    here = pack_zip.build_record(version)
    if record["debian"] != here["debian"]:
        raise Refused(f"the zip records Debian {record['debian']};"
                      f" this machine is {here['debian']}")
    for name in pack_zip.TOOLCHAIN:
        if record[name] != here[name]:
            say(f"note: {name}: the zip records {record[name]}, this machine has {here[name]};"
                " the bytes decide")

    expected = pack_zip.contents(built, version, record, tree)
    exe = inflate("talvenor.exe", entries["talvenor.exe"], len(built) + SIGNATURE_ROOM)
    signature = signature_block(exe, built)
    verdict = "unsigned"
    if signature is None and (ca or tsa_ca):
        raise Refused("talvenor.exe is unsigned, and a CA was named to check its signature by")
    if signature is not None:
        signer, stamped = check_structure(signature, exe)
        verify(exe, ca or TRUSTED_ROOTS, tsa_ca or TRUSTED_ROOTS, stamped)
        verdict = f"signed by {signer}, {'timestamped' if stamped else 'not timestamped'}"
    shipped = {"talvenor.exe": exe, "BUILDINFO.txt": expected["BUILDINFO.txt"]}
    for name in ("README.txt", "talvenor.exe.sha256"):
        wanted = pack_zip.checksum_text(exe) if name == "talvenor.exe.sha256" else expected[name]
        shipped[name] = inflate(name, entries[name], len(wanted))
        if shipped[name] != wanted:
            raise Refused(f"{name} is not what this checkout makes"
                          + (" of the exe" if name == "talvenor.exe.sha256" else ""))
    epoch = int(git("log", "-1", "--format=%ct", commit))
    if pack_zip.pack(shipped, epoch) != data:
        raise Refused("the zip's bytes are not what the packer makes of its entries at the"
                      " commit's time")
    return verdict


def main():
    parser = argparse.ArgumentParser(prog="check-release",
                                     description="checks a release zip against this checkout")
    parser.add_argument("zip")
    parser.add_argument("--ca", help="the CA the signer's chain must verify against")
    parser.add_argument("--tsa-ca", help="the CA the timestamp's chain must verify against")
    options = parser.parse_args()
    zip_path = os.path.abspath(options.zip)
    name = os.path.basename(zip_path)
    try:
        for what, path in (("zip", options.zip), ("CA file", options.ca),
                           ("timestamp CA file", options.tsa_ca)):
            if path is not None and not os.path.isfile(path):
                raise Refused(f"there is no {what} {path}")
        ca = os.path.abspath(options.ca) if options.ca else None
        tsa_ca = os.path.abspath(options.tsa_ca) if options.tsa_ca else None
        verdict = check(zip_path, ca, tsa_ca)
    except OSError as error:
        say(f"FAIL: cannot read {error.filename}: {error.strerror}")
        say(f"check-release: REFUSED: {name}: 1 problem(s) above")
        return 1
    except Refused as refused:
        say(f"FAIL: {' '.join(str(refused).split())}")
        say(f"check-release: REFUSED: {name}: 1 problem(s) above")
        return 1
    if isinstance(verdict, int):
        return verdict
    say(f"check-release: ACCEPTED: {name} matches this checkout byte for byte"
        f" (commit {git('rev-parse', 'HEAD')}), {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
