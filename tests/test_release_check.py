"""The signed release: scripts/dist signing with a key on a token, and
scripts/check-release accepting the genuine zip wherever it lies and refusing
each kind of tampered one, with its reason on one line. Nothing here runs
under Wine (test_shipped_exe.py runs the signed exe)."""
import contextlib
import glob
import hashlib
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib
from typing import NamedTuple

import pefile
import pytest
import signing
from asn1crypto import cms, core, parser, pem
from conftest import ROOT
from tooling import check_release, pack_zip, release_signature
from tooling.release_verdict import ANSWERS

pytestmark = pytest.mark.platforms("wine32")

CHECK_RELEASE = os.path.join(ROOT, "scripts", "check-release")
NAME = "talvenor-1.0-win32.zip"
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def osslsigncode(release, *args):
    return subprocess.run(["osslsigncode", *args], env=release.env, capture_output=True,
                          text=True, timeout=300)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def test_signed_exe_verifies_with_its_timestamp_and_is_the_build_without_its_signature(release):
    verified = osslsigncode(release, "verify", *release_signature.offline(),
                            "-CAfile", release.file("ca.pem"),
                            "-TSA-CAfile", release.file("tsa-ca.pem"), "-in", release.exe)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    for line in ("Text description: Talvenor", "Timestamp Server Signature verification: ok",
                 "Signature verification: ok", "Message digest algorithm  : SHA256"):
        assert line in verified.stdout
    assert read(release.file("unsigned.exe")) == read(
        os.path.join(release.checkout, "build", "win32", "talvenor.exe"))


# How each zip of the table is made from the genuine one ---------------------

def entries(release):
    with zipfile.ZipFile(release.zip) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def genuine(release):
    return read(release.zip)


def commit_time():
    return int(subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                              capture_output=True, text=True, check=True).stdout)


def repacked(release, epoch=None, checksum_of=None, **replaced):
    """The genuine zip's entries, some replaced, packed as the packer packs,
    with a checksum file that fits the exe (or the exe CHECKSUM_OF)."""
    packed = dict(entries(release), **{k.replace("_", "."): v for k, v in replaced.items()})
    packed["talvenor.exe.sha256"] = pack_zip.checksum_text(checksum_of or packed["talvenor.exe"])
    return pack_zip.pack(packed, commit_time() if epoch is None else epoch)


def unsigned_exe(release):
    return read(release.file("unsigned.exe"))


def signed(release, exe, *how):
    """EXE signed again, with the genuine key on the token unless HOW names
    another (by_key), its certificate sets put in DER's order as scripts/dist
    puts them (osslsigncode 2.5 leaves them in file order)."""
    if "-key" not in how:
        how = ("-certs", release.file("chain.pem"), "-key", signing.TOKEN_KEY,
               "-pkcs11module", signing.SOFTHSM_MODULE, "-readpass", release.file("pin"), *how)
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "in.exe"), "wb") as file:
            file.write(exe)
        done = osslsigncode(release, "sign", *how, "-n", "Talvenor", "-in",
                            os.path.join(work, "in.exe"), "-out", os.path.join(work, "out.exe"))
        assert done.returncode == 0, done.stderr
        return release_signature.in_der_form(read(os.path.join(work, "out.exe")))


def by_key(release, name):
    return ("-certs", release.file(f"{name}.pem"), "-key", release.file(f"{name}.key"))


def table_of(exe):
    return pefile.PE(data=exe).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].VirtualAddress


def signature_of(exe):
    length = struct.unpack_from("<I", exe, table_of(exe))[0]
    return cms.ContentInfo.load(exe[table_of(exe) + 8:table_of(exe) + length], strict=False)


def with_signature(exe, signature):
    """EXE with SIGNATURE (PKCS#7, and whatever follows it) as its one
    certificate table, the header made to fit as a signing tool makes it."""
    signature += b"\0" * (-len(signature) % 8)
    pe = pefile.PE(data=exe[:table_of(exe)] + struct.pack("<IHH", 8 + len(signature), 0x200, 2)
                   + signature)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size = 8 + len(signature)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def members(der):
    """The encodings of the values inside the constructed value DER."""
    contents, found = parser.parse(der)[4], []
    while contents:
        found.append(b"".join(parser.parse(contents, strict=False)[3:5]))
        contents = contents[len(found[-1]):]
    return found


def spliced(der, at, old, new):
    """DER with the value OLD at AT made NEW, every length around it made to fit."""
    if (at, len(der)) == (0, len(old)):
        return new
    class_, method, tag, header, _, _ = parser.parse(der)
    offset, out = len(header), []
    for value in members(der):
        out.append(spliced(value, at - offset, old, new) if 0 <= at - offset < len(value)
                   else value)
        offset += len(value)
    return parser.emit(class_, method, tag, b"".join(out))


def signer_of(info):
    return info["content"]["signer_infos"][0]


def stamp_of(info):
    return signer_of(info)["unsigned_attrs"][0]["values"][0]["content"]


def with_part(exe, part, new):
    """EXE whose signature has the value that PART(signature) picks, as (the
    value around it, it), made NEW(its bytes)."""
    info = signature_of(exe)
    around, value = part(info)
    block, old = info.dump(), value.dump()
    at = block.index(around.dump()) + around.dump().index(old)
    return with_signature(exe, spliced(block, at, old, new(old)))


def exe(change):
    """How a zip is made of the genuine entries with the exe CHANGE(release)."""
    return lambda r: repacked(r, talvenor_exe=change(r))


def shipped(release):
    return entries(release)["talvenor.exe"]


def part(pick, new):
    """How a zip is made whose signature has the value PICK(signature) picks,
    as (the value around it, it), made NEW(its bytes)."""
    return exe(lambda r: with_part(shipped(r), pick, new))


def certificates(of, change):
    """How a zip is made whose certificate set of OF(signature) is made
    CHANGE(release, its certificates' encodings)."""
    return lambda r: part(lambda i: (of(i), of(i)["certificates"]), lambda old: parser.emit(
        2, 1, 0, b"".join(change(r, members(old)))))(r)


def resigned(*how, key=None, of=unsigned_exe):
    """How a zip is made whose exe is OF(release) signed again, with the key
    file KEY's where named, else the genuine key; HOW, osslsigncode's options."""
    return exe(lambda r: signed(r, of(r), *(by_key(r, key) if key else ()), *how))


def der_of(release, name):
    return pem.unarmor(read(release.file(name)))[2]


def with_unauthenticated_payload(exe):
    payload = cms.CMSAttribute({"type": "1.3.6.1.4.1.311.2.6.1",
                                "values": [core.OctetString(b"payload " * 64)]}).dump()
    return with_part(exe, lambda info: (signer_of(info), signer_of(info)["unsigned_attrs"]),
                     lambda old: parser.emit(2, 1, 1, b"".join(sorted(members(old) + [payload]))))


def with_hidden_bytes(exe):
    return with_signature(exe, signature_of(exe).dump() + b"payload " * 64)


def damaged_signature(exe):
    """The signer's RSA-2048 value, the signature's first 256-byte OCTET
    STRING, with one bit flipped, and the header made to fit."""
    signature = bytearray(signature_of(exe).dump())
    value = signature.index(bytes.fromhex("04820100")) + 4
    signature[value + 128] ^= 0x01
    return with_signature(exe, bytes(signature))


def forged_checksum(exe):
    pe = pefile.PE(data=exe)
    pe.OPTIONAL_HEADER.CheckSum ^= 1
    return pe.write()


def changed_code(exe):
    code = bytearray(exe)
    [text] = [s for s in pefile.PE(data=exe).sections if s.Name.startswith(b".text")]
    code[text.PointerToRawData + 16] ^= 0xFF
    return bytes(code)


def with_other_release(record):
    """RECORD, naming the other Debian release."""
    return re.sub(rb"debian: [^\r]*", lambda here: b"debian: 13 trixie" if b"bookworm" in here[0]
                  else b"debian: 12 bookworm", record)


def recorded(release, old, new):
    return repacked(release, BUILDINFO_txt=entries(release)["BUILDINFO.txt"].replace(old, new, 1))


def commit_of(release):
    return re.search(rb"commit: ([0-9a-f]{40})", entries(release)["BUILDINFO.txt"]).group(1)


def records(data, name):
    """Where NAME's local and central records start in the zip's bytes."""
    central = struct.unpack_from("<I", data, len(data) - 6)[0]
    while data[central + 46:central + 46 + len(name)] != name.encode():
        central += 46 + sum(struct.unpack_from("<HHH", data, central + 28))
    return struct.unpack_from("<I", data, central + 42)[0], central


def edited(data, local_at, central_at, change, name="README.txt"):
    """DATA, a zip, with a field of NAME's local and central records, at
    those offsets in each, changed by CHANGE(its bytes)."""
    data = bytearray(data)
    for record, at in zip(records(data, name), (local_at, central_at)):
        data[record + at:record + at + 4] = change(data[record + at:record + at + 4])
    return bytes(data)


def little(value):
    return lambda old: struct.pack("<I", value)[:len(old)]


def rezipped(release, readme=None, **fields):
    """The genuine entries written again by zipfile, README.txt as README,
    where given, with its ZipInfo's FIELDS."""
    packed, buffer = entries(release), io.BytesIO()
    with zipfile.ZipFile(release.zip) as original, zipfile.ZipFile(buffer, "w") as archive:
        for name in pack_zip.ENTRIES:
            entry = original.getinfo(name)
            for field, value in fields.items() if name == "README.txt" else ():
                setattr(entry, field, value)
            archive.writestr(entry, readme if readme and name == "README.txt" else packed[name],
                             compresslevel=9)
    return buffer.getvalue()


def with_second_readme(release):
    buffer = io.BytesIO(genuine(release))
    with zipfile.ZipFile(buffer, "a") as archive:
        archive.writestr("README.txt", b"Run setup.exe first.\r\n")
    return buffer.getvalue()


def with_unlisted_record(release):
    data = bytearray(genuine(release))
    directory = struct.unpack_from("<I", data, len(data) - 6)[0]
    stray = (b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0, 0, 5, 5, 9, 0)
             + b"setup.exe" + b"MZ...")
    struct.pack_into("<I", data, len(data) - 6, directory + len(stray))
    return bytes(data[:directory] + stray + data[directory:])


def renamed_local(release):
    data = bytearray(genuine(release))
    local, _ = records(data, "README.txt")
    data[local + 30:local + 40] = b"README.TXT"
    return bytes(data)


def bomb(release, declared):
    """README.txt as 768 MiB of zeros in about 768 KiB of deflate, declaring
    3 GiB or the genuine size: written stored, then named deflate."""
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = deflate.compress(b"\0" * (1 << 20)) + deflate.flush(zlib.Z_FULL_FLUSH)
    stream = block * 768 + zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    stored = edited(rezipped(release, stream, compress_type=zipfile.ZIP_STORED), 8, 10, little(8))
    return edited(stored, 22, 24, little(3 << 30 if declared else len(entries(release)[
        "README.txt"])))


GENUINE = ("check-release: ACCEPTED: {name} matches this checkout byte for byte"
           " (commit {head}), ")
SIGNED = GENUINE + "signed by Common Name: Talvenor Test signer, timestamped"
CAS = ("--ca", "ca.pem", "--tsa-ca", "tsa-ca.pem")
NO_ZIP = "not a zip: File is not a zip file"
BAD_CRC = "README.txt cannot be read: Bad CRC-32 for file 'README.txt'"
NOT_DER = "talvenor.exe's signature is not DER"
UNVERIFIED = "the signature or the signer's chain does not verify"
NESTED = "talvenor.exe carries a second, nested signature"
OFF_PATH = " carries other certificates than its signer's path, proven by signature, to its CA"
REPACKED = "the zip's bytes are not what the packer makes of its entries at the commit's time"


class Check(NamedTuple):
    """A row of the table, after its id: how the zip is made from the genuine
    release (None: there is none; "checkout": the genuine one, inside the
    checkout), the options, and what it prints: the reason for a refusal or a
    CANNOT CHECK, or the lines of an acceptance. Then, named where a row needs
    them: the status (by default 0 for an acceptance, 1 for a refusal), the
    zip's file name and how the output prints it, the variables added to the
    caller's environment, how many checks of it run at once, and a fault put
    into the checker (what monkeypatch.setattr takes), which then runs in this
    process."""
    make: object
    options: tuple
    expected: object
    status: int = None
    named: tuple = (NAME, NAME)
    env: dict = {}
    at_once: int = 1
    fault: tuple = None


def fails(error):
    def failing(*args, **kwargs):
        raise error
    return failing


CHECKS = [
    ("genuine", genuine, CAS, [SIGNED]),
    ("genuine, inside the checkout", "checkout", CAS, [SIGNED]),
    ("genuine unsigned", exe(unsigned_exe), (), [GENUINE + "unsigned"]),
    ("genuine, another toolchain version recorded",
     lambda r: recorded(r, b"mingw-w64-common: ", b"mingw-w64-common: 1:99"), CAS,
     ["note: mingw-w64-common: the zip records 1:99{common}, this machine has {common};"
      " the bytes decide", SIGNED]),
    # The build record.
    ("another commit", lambda r: recorded(r, commit_of(r), b"0" * 40), CAS,
     "the zip records commit " + "0" * 40 + "; this checkout's HEAD is {head}"),
    ("uncommitted changes recorded",
     lambda r: recorded(r, commit_of(r), commit_of(r) + b" with changes not committed"), CAS,
     "BUILDINFO.txt's commit is not one commit's hash: '{head} with changes not committed'"),
    ("a payload in a recorded version", lambda r: recorded(
        r, b"mingw-w64-common: ", b"mingw-w64-common: see https://example.invalid/ "), CAS,
     "BUILDINFO.txt's mingw-w64-common is not a Debian version:"
     " 'see https://example.invalid/ {common}'"),
    ("a line added to the record",
     lambda r: recorded(r, b"talvenor: 1.0\r\n", b"talvenor: 1.0\r\nnote: run setup.exe\r\n"),
     CAS, "BUILDINFO.txt is not 8 lines, each with a Windows line end"),
    ("the other Debian release recorded, and the readme changed", lambda r: repacked(
        r, BUILDINFO_txt=with_other_release(entries(r)["BUILDINFO.txt"]),
        README_txt=b"Run setup.exe first.\r\n"), CAS, "README.txt is not what this checkout makes"),
    # The entries.
    ("readme line changed", lambda r: repacked(r, README_txt=entries(r)["README.txt"].replace(
        b"Commands\r\n", b"COMMANDS\r\n", 1)), CAS, "README.txt is not what this checkout makes"),
    ("the checksum of another exe", lambda r: repacked(r, checksum_of=unsigned_exe(r)), CAS,
     "talvenor.exe.sha256 is not what this checkout makes of the exe"),
    ("packed at another time", lambda r: repacked(r, epoch=315532800), CAS,
     "the zip's bytes are not what the packer makes of its entries at the commit's time"),
    ("unsigned code changed", exe(lambda r: changed_code(unsigned_exe(r))), (),
     "talvenor.exe is not what this checkout builds"),
    ("code changed and signed again", resigned(of=lambda r: changed_code(unsigned_exe(r))),
     ("--ca", "ca.pem"),  # the signer's CA alone: signed again, it carries no timestamp
     "talvenor.exe is not this checkout's build with its signature block put back"),
    ("a forged PE checksum", exe(lambda r: forged_checksum(shipped(r))), CAS,
     "talvenor.exe is not this checkout's build with its signature block put back"),
    # The signature.
    ("damaged signature", exe(lambda r: damaged_signature(shipped(r))), CAS, UNVERIFIED),
    ("bytes hidden in the certificate table", exe(lambda r: with_hidden_bytes(shipped(r))), CAS,
     "talvenor.exe's certificate table holds bytes beyond its signature"),
    ("an unauthenticated attribute added",
     exe(lambda r: with_unauthenticated_payload(shipped(r))), CAS,
     "talvenor.exe's signature carries an unauthenticated attribute other than one timestamp"),
    ("a second, nested signature", resigned("-nest", key="plain", of=shipped), CAS, NESTED),
    ("the first of two signatures damaged", resigned(
        "-nest", key="plain", of=lambda r: damaged_signature(shipped(r))), CAS, NESTED),
    ("a self-signed signer named after the report's success line", resigned(key="impostor"), (),
     UNVERIFIED),
    ("a signer not for code signing", resigned(key="plain"), CAS,
     "the signer's certificate is not for code signing"),
    ("signed with SHA-1", resigned("-h", "sha1"), CAS,
     "talvenor.exe is not signed with SHA-256 alone"),
    ("the timestamp checked against the signer's CA", genuine,
     ("--ca", "ca.pem", "--tsa-ca", "ca.pem"), "the timestamp or its chain does not verify"),
    ("the signer checked against the timestamp's CA", genuine,
     ("--ca", "tsa-ca.pem", "--tsa-ca", "tsa-ca.pem"), UNVERIFIED),
    ("a forged CA beside the signer's chain", certificates(
        lambda i: i["content"], lambda r, found: sorted(found + [der_of(r, "forged-ca.pem")])),
     CAS, "the signature" + OFF_PATH),
    ("a forged CA beside the timestamp's chain", certificates(
        stamp_of, lambda r, found: sorted(found + [der_of(r, "forged-tsa-ca.pem")])), CAS,
     "the timestamp" + OFF_PATH),
    ("the signer's intermediate dropped", certificates(lambda i: i["content"], lambda r, found: [
        c for c in found if c != der_of(r, "intermediate.pem")]), CAS, UNVERIFIED),
    ("certificates out of DER's order", certificates(
        lambda i: i["content"], lambda r, found: found[::-1]), CAS, NOT_DER),
    ("a length in a longer form than it needs",
     part(lambda i: (i, i), lambda old: b"\x30\x83\x00" + old[2:]), CAS, NOT_DER),
    ("an indefinite length",
     part(lambda i: (i, i), lambda old: b"\x30\x80" + old[4:] + b"\0\0"), CAS, NOT_DER),
    ("the signer's value as a constructed OCTET STRING", part(
        lambda i: (signer_of(i), signer_of(i)["signature"]), lambda old: parser.emit(0, 1, 4, old)),
     CAS, NOT_DER),
    ("the signer's digest algorithm without its NULL parameters", part(
        lambda i: (signer_of(i), signer_of(i)["digest_algorithm"]),
        lambda old: parser.emit(0, 1, 16, old[2:-2])), CAS,
     "talvenor.exe's signature writes an algorithm's parameters otherwise than its signing does"),
    ("an empty set of unauthenticated attributes", part(
        lambda i: (signer_of(i), signer_of(i)["unsigned_attrs"]), lambda old: b"\xa1\x00"), (),
     "talvenor.exe's signature carries an empty set of unauthenticated attributes"),
    ("the timestamp's SignedData of version 5", part(
        lambda i: (stamp_of(i), stamp_of(i)["version"]), lambda old: b"\x02\x01\x05"), CAS,
     "the timestamp's SignedData is version 5, not 3"),
    ("the signer's issuer named in another case", part(
        lambda i: (signer_of(i), signer_of(i)["sid"]),
        lambda old: old.replace(b"intermediate", b"INTERMEDIATE")), CAS,
     "the signature does not carry its signer's certificate once"),
    ("a certificate of a name no path has, beside the signer's", certificates(
        lambda i: i["content"], lambda r, found: sorted(found + [der_of(r, "plain.pem").replace(
            b"Talvenor Test plain", "\ue000".encode() + b"x" * 16)])), CAS,
     "the signature" + OFF_PATH),
    ("the timestamp's signature algorithm named with another digest", part(
        lambda i: (stamp_of(i)["signer_infos"][0],
                   stamp_of(i)["signer_infos"][0]["signature_algorithm"]["algorithm"]),
        lambda old: old[:-1] + b"\x0d"), CAS,
     "the timestamp's signature algorithm is not its signer's key's with its digest"),
    ("a timestamp CA named for an untimestamped signature", resigned(), CAS,
     "talvenor.exe's signature carries no timestamp, and a timestamp CA was named to check it by"),
    ("a CA named for an unsigned exe", exe(unsigned_exe), ("--ca", "ca.pem"),
     "talvenor.exe is unsigned, and a CA was named to check its signature by"),
    ("a signature that does not parse", part(
        lambda i: (signer_of(i), signer_of(i)["version"]), lambda old: b"\x05\x00"), CAS,
     "talvenor.exe's signature does not parse: Error parsing asn1crypto.cms.CMSVersion - tag should"
     " have been 2, but 5 was found"),
    ("a fault of the checker's own as it reads the signature", genuine, CAS,
     "the checker failed (KeyError: 'sid'); report it",
     {"status": 2, "fault": (release_signature, "signer_of", fails(KeyError("sid")))}),
    ("a ValueError of the checker's own, not the parser's", genuine, CAS,
     "the checker failed (ValueError: unsupported hash type sha256); report it",
     {"status": 2, "fault": (hashlib, "new", fails(ValueError("unsupported hash type sha256")))}),
    # The container.
    ("two entries of one name", with_second_readme, CAS,
     f"the zip's entries are not {', '.join(pack_zip.ENTRIES)}, each once, in that order, but"
     f" {', '.join(pack_zip.ENTRIES)}, README.txt"),
    ("a record the directory does not list", with_unlisted_record, CAS, REPACKED),
    ("a local name that disagrees", renamed_local, CAS, "README.txt cannot be read: File name in"
     " directory 'README.txt' and header b'README.TXT' differ."),
    ("a comment", lambda r: genuine(r)[:-2] + b"\x05\x00hello", CAS, REPACKED),
    ("an extra field", lambda r: rezipped(r, extra=struct.pack("<HHBI", 0x5455, 5, 1, 0)), CAS,
     REPACKED),
    # Bad input.
    ("not a zip", lambda r: b"this is no zip\n", CAS, NO_ZIP),
    ("empty", lambda r: b"", CAS, NO_ZIP),
    ("truncated", lambda r: genuine(r)[:-100], CAS, NO_ZIP),
    ("an unsupported compression method",
     lambda r: rezipped(r, compress_type=zipfile.ZIP_BZIP2), CAS,
     "README.txt is stored with compression method 12, not deflate"),
    ("an encrypted entry", lambda r: edited(genuine(r), 6, 8, lambda old: bytes([old[0] | 1])
                                            + old[1:]), CAS, "README.txt is encrypted"),
    ("a bad CRC", lambda r: edited(genuine(r), 14, 16, lambda crc: bytes(b ^ 1 for b in crc)),
     CAS, BAD_CRC),
    ("a bomb declaring 3 GiB", lambda r: bomb(r, declared=True), CAS,
     "README.txt declares 3221225472 bytes, more than the {readme} it may hold"),
    ("a bomb declaring the genuine size", lambda r: bomb(r, declared=False), CAS, BAD_CRC),
    ("larger than any release", lambda r: b"PK" * (1 << 19) + genuine(r), CAS,
     "the zip is larger than any release (1048576 bytes)"),
    # The name, the caller and the machine.
    ("a newline in a name", lambda r: repacked(r, README_txt=b"Run setup.exe first.\r\n"), CAS,
     "README.txt is not what this checkout makes", {"named": (
         NAME + "\ncheck-release: ACCEPTED: " + NAME,
         NAME + "\\x0acheck-release: ACCEPTED: " + NAME)}),
    ("line ends of other kinds in a name", genuine, CAS, [SIGNED],
     {"named": ("talvenor\r\x85\u2028.zip", "talvenor\\x0d\\xc2\\x85\\xe2\\x80\\xa8.zip")}),
    ("a name starting with -", genuine, (*CAS, "--"), [SIGNED], {"named": ("-t.zip", "-t.zip")}),
    ("the caller's build flags and git variables, built anew", genuine,
     ("--build-dir", "build", *CAS), [SIGNED],
     {"env": {"LDFLAGS": "-Wl,--image-base=0x500000", "CXXFLAGS": "-O0", "GIT_DIR": "/nonexistent",
              "GIT_WORK_TREE": "/"}}),
    ("two first checks at once", genuine, ("--build-dir", "build", *CAS), [SIGNED],
     {"at_once": 2}),
    ("a build folder that cannot be made", genuine, ("--build-dir", "/proc/talvenor", *CAS),
     "cannot make a build folder in /proc/talvenor: No such file or directory; name another"
     " with --build-dir", {"status": 2}),
    ("help asked for", genuine, (*CAS, "--help"),
     ["check-release: CANNOT CHECK: unrecognized arguments: --help (usage: check-release"
      " [--ca CA] [--tsa-ca TSA_CA] [--build-dir BUILD_DIR] zip)"], {"status": 2}),
    ("no zip", None, CAS, "there is no zip missing.zip",
     {"status": 2, "named": ("missing.zip", "missing.zip")}),
    ("no CA file", genuine, ("--ca", "missing-ca.pem"), "there is no CA file missing-ca.pem",
     {"status": 2}),
    ("a CA file that holds no certificate", genuine, ("--ca", "plain.key"),
     "the CA file plain.key holds no certificate; name the CA's certificates in PEM",
     {"status": 2}),
    ("a timestamp CA file that holds no certificate", genuine,
     ("--ca", "ca.pem", "--tsa-ca", "plain.key"),
     "the timestamp CA file plain.key holds no certificate; name the CA's certificates in PEM",
     {"status": 2}),
]


@pytest.mark.parametrize("check", [pytest.param(Check(*row[1:4], **(row[4] if row[4:] else {})),
                                                id=row[0]) for row in CHECKS])
def test_check_release(release, tmp_path, monkeypatch, capsys, check):
    """Each tampered zip keeps a checksum that fits its exe, where it has
    one: only the check behind it may find the change."""
    zip_path = str(tmp_path / check.named[0])
    if check.make == "checkout":
        zip_path = shutil.copy(release.zip, os.path.join(ROOT, NAME))
    elif check.make:
        with open(zip_path, "wb") as file:
            file.write(check.make(release))
    for name in ("ca.pem", "tsa-ca.pem", "plain.key"):
        shutil.copy(release.file(name), tmp_path)
    argv = [CHECK_RELEASE, *check.options, os.path.relpath(zip_path, tmp_path)]
    try:
        if check.fault:  # put into the checker, which runs in this process
            for target, value in ((check.fault[:2], check.fault[2]), ((sys, "argv"), argv)):
                monkeypatch.setattr(*target, value)
            monkeypatch.chdir(tmp_path)
            status = check_release.main()
            outputs = [(capsys.readouterr().out, "", status)]
        else:
            checks = [subprocess.Popen(argv, cwd=tmp_path, env=dict(release.env, **check.env),
                                       text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                      for _ in range(check.at_once)]
            outputs = [(*run.communicate(timeout=300), run.returncode) for run in checks]
    finally:
        if check.make == "checkout":
            os.remove(zip_path)
    # The release is of HEAD, which its record names.
    facts = {"head": commit_of(release).decode(), "readme": len(entries(release)["README.txt"]),
             "name": check.named[1],
             "common": re.search(rb"mingw-w64-common: (\S+)",
                                 entries(release)["BUILDINFO.txt"]).group(1).decode()}
    status = check.status if check.status is not None else int(isinstance(check.expected, str))
    if isinstance(check.expected, list):
        printed = [line.format(**facts) for line in check.expected]
    else:
        printed = [f"check-release: {ANSWERS[status]}: {check.named[1]}:"
                   f" {check.expected.format(**facts)}"]
    assert [(out.splitlines(), got) for out, _, got in outputs] == [(printed, status)] * len(
        outputs)
    # No traceback, and not the PIN, whatever the check printed.
    assert [out + err for out, err, _ in outputs
            if "Traceback" in err or signing.PIN in out + err] == []


DIRTY = ("error: the checkout has changes not committed (git status); a signed release is made"
         " of a commit: commit them, or sign in a clean clone")


@contextlib.contextmanager
def changed(release, path):
    """The clone that the release was made in, with PATH added to or made,
    where not None; taken back after."""
    if path:
        with open(os.path.join(release.checkout, path), "a") as file:
            file.write("changed\n")
    try:
        yield
    finally:
        for git in (["checkout", "-q", "--", "."], ["clean", "-q", "-f"]):
            subprocess.run(["git", "-C", release.checkout, *git], check=True)


def dist_zips(release):
    return glob.glob(os.path.join(release.checkout, "build", "win32", "dist", "*.zip"))


@pytest.mark.parametrize("pin, env, change, status, last_line", [
    pytest.param("000000", {}, None, 255, "Failed", id="a wrong PIN"),
    pytest.param(signing.PIN, {"SOURCE_DATE_EPOCH": "315532800"}, None, 2,
                 "error: SOURCE_DATE_EPOCH is 315532800, not the commit's time {time}; a release"
                 " carries the commit's time: unset it", id="another time to pack at"),
    pytest.param(signing.PIN, {}, "notes.txt", 2, DIRTY, id="signing a file not committed"),
    pytest.param(signing.PIN, {}, "README.md", 2, DIRTY, id="signing a change not committed")])
def test_a_dist_that_fails_leaves_no_zip(release, tmp_path, pin, env, change, status, last_line):
    (tmp_path / "pin").write_text(pin + "\n")
    with release.lock(), changed(release, change):
        failed = subprocess.run([*release.dist, "--pin-file", str(tmp_path / "pin")],
                                env=dict(release.env, **env), capture_output=True, text=True)
        zips = dist_zips(release)
    assert (failed.returncode, failed.stderr.splitlines()[-1], zips) == (
        status, last_line.format(time=commit_time()), [])
    assert signing.PIN not in failed.stdout + failed.stderr


def test_an_unsigned_zip_of_changes_not_committed_says_so(release):
    with release.lock(), changed(release, "notes.txt"):
        subprocess.run([release.dist[0]], env=release.env, capture_output=True, check=True)
        with zipfile.ZipFile(dist_zips(release)[0]) as archive:
            record = archive.read("BUILDINFO.txt")
    assert b" with changes not committed\r\n" in record


def test_pin_appears_in_no_output_command_line_or_build_file(release):
    seen = [read(release.file("command-lines")), read(release.file("signing-output"))]
    for folder, _, names in os.walk(os.path.join(release.checkout, "build", "win32", "dist")):
        seen += [read(os.path.join(folder, name)) for name in names]
    assert [text for text in seen if signing.PIN.encode() in text] == []
