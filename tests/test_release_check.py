"""The signed release: scripts/dist signing with a key on a token, and
scripts/check-release accepting the genuine zip wherever it lies and refusing
each kind of tampered one, with its reason on one line. Nothing here runs
under Wine (test_shipped_exe.py runs the signed exe)."""
import contextlib
import io
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile
import zipfile
import zlib
from typing import NamedTuple
from unittest import mock

import pefile
import pytest
import signing
from asn1crypto import cms, core, parser, pem
from tooling import check_release, pack_zip, release_signature
from tooling.release_signature import signature_in, with_signature
from tooling.release_steps import ANSWERS, ROOT

pytestmark = pytest.mark.platforms("wine32")

CHECK_RELEASE = os.path.join(ROOT, "scripts", "check-release")
NAME = "talvenor-1.0-win32.zip"


def osslsigncode(release, *args):
    return subprocess.run(["osslsigncode", *args], env=release.env, capture_output=True,
                          text=True, timeout=300)


def read(path):
    return pathlib.Path(path).read_bytes()


def test_signed_exe_verifies_with_its_timestamp_and_is_the_build_without_its_signature(release):
    verified = osslsigncode(release, "verify", *release_signature.offline(),
                            "-CAfile", release.file("ca.pem"),
                            "-TSA-CAfile", release.file("tsa-ca.pem"), "-in", release.exe)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    for line in ("Text description: Talvenor", "Timestamp Server Signature verification: ok",
                 "Signature verification: ok", "Message digest algorithm  : SHA256"):
        assert line in verified.stdout
    assert unsigned_exe(release) == read(os.path.join(release.checkout, "build/win32/talvenor.exe"))


# How each zip of the table is made from the genuine one ---------------------

def entries(release):
    with zipfile.ZipFile(release.zip) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def genuine(release):
    return read(release.zip)


def repacked(release, epoch=None, checksum_of=None, **replaced):
    """The genuine zip's entries, some replaced, packed as the packer packs,
    with a checksum file that fits the exe (or the exe CHECKSUM_OF)."""
    packed = dict(entries(release), **{k.replace("_", "."): v for k, v in replaced.items()})
    packed["talvenor.exe.sha256"] = pack_zip.checksum_text(checksum_of or packed["talvenor.exe"])
    return pack_zip.pack(packed, int(COMMIT_TIME) if epoch is None else epoch)


def recorded(old, new):
    """How a zip is made whose record has OLD made NEW."""
    return lambda r: repacked(r, BUILDINFO_txt=entries(r)["BUILDINFO.txt"].replace(old, new, 1))


def unsigned_exe(release):
    return read(release.file("unsigned.exe"))


def shipped(release):
    return entries(release)["talvenor.exe"]


def exe(change, of=shipped):
    """How a zip is made of the genuine entries with the exe CHANGE(OF(release))."""
    return lambda r: repacked(r, talvenor_exe=change(of(r)))


def resigned(*how, key=None, of=unsigned_exe):
    """How a zip is made whose exe is OF(release) signed again, with the key
    file KEY's where named, else the genuine key on the token; HOW,
    osslsigncode's options. Its signature is put in DER's one form as
    scripts/dist puts it (osslsigncode 2.5 leaves the certificates in file
    order)."""
    def make(r):
        keys = (("-certs", r.file(f"{key}.pem"), "-key", r.file(f"{key}.key")) if key else (
            "-certs", r.file("chain.pem"), "-key", signing.TOKEN_KEY,
            "-pkcs11module", signing.SOFTHSM_MODULE, "-readpass", r.file("pin")))
        with tempfile.TemporaryDirectory() as work:
            pathlib.Path(work, "in.exe").write_bytes(of(r))
            done = osslsigncode(r, "sign", *keys, *how, "-n", "Talvenor", "-in", f"{work}/in.exe",
                                "-out", f"{work}/out.exe")
            assert done.returncode == 0, done.stderr
            return repacked(r, talvenor_exe=release_signature.in_der_form(read(f"{work}/out.exe")))
    return make


def signature_of(exe):
    return cms.ContentInfo.load(signature_in(exe), strict=False)  # its padding aside


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


def with_part(exe, pick, new):
    """EXE whose signature has the value that PICK(signature) picks, as (the
    value around it, it), made NEW(its bytes)."""
    info = signature_of(exe)
    around, value = pick(info)
    block, old = info.dump(), value.dump()
    at = block.index(around.dump()) + around.dump().index(old)
    return with_signature(exe, spliced(block, at, old, new(old)))


def signer_of(info):
    return info["content"]["signer_infos"][0]


def stamp_of(info):
    return signer_of(info)["unsigned_attrs"][0]["values"][0]["content"]


def part(pick, new, within=lambda info: info):
    """How a zip is made whose signature has its part WITHIN(signature)[PICK]
    (the whole where PICK is None) made NEW(its bytes)."""
    return exe(lambda e: with_part(e, lambda i: (within(i), within(i)[pick] if pick else i), new))


def certificates(change, of=lambda info: info["content"]):
    """How a zip is made whose certificate set of OF(signature) is made
    CHANGE(release, its certificates' encodings)."""
    return lambda r: part("certificates", lambda old: parser.emit(2, 1, 0, b"".join(
        change(r, members(old)))), of)(r)


def added(name, change=lambda der: der):
    """A certificate set's change: the certificate in the file NAME, made
    CHANGE(its encoding), added in DER's order."""
    return lambda r, found: sorted(found + [change(pem.unarmor(read(r.file(name)))[2])])


def damaged_signature(exe):
    """The signer's RSA-2048 value, the signature's first 256-byte OCTET
    STRING, with one bit flipped, and the header made to fit."""
    signature = bytearray(signature_of(exe).dump())
    signature[signature.index(bytes.fromhex("04820100")) + 4 + 128] ^= 0x01
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


def edited(data, local_at, central_at, change, name="README.txt"):
    """DATA, a zip, with a field of NAME's local and central records, at
    those offsets in each, changed by CHANGE(its bytes)."""
    data, central = bytearray(data), struct.unpack_from("<I", data, len(data) - 6)[0]
    while data[central + 46:central + 46 + len(name)] != name.encode():
        central += 46 + sum(struct.unpack_from("<HHH", data, central + 28))
    for at in (struct.unpack_from("<I", data, central + 42)[0] + local_at, central + central_at):
        data[at:at + 4] = change(data[at:at + 4])
    return bytes(data)


def rezipped(release, readme=None, also=(), **fields):
    """The genuine entries written again by zipfile, README.txt as README,
    where given, with its ZipInfo's FIELDS; and then the entries ALSO, as
    (name, bytes)."""
    packed, buffer = entries(release), io.BytesIO()
    with zipfile.ZipFile(release.zip) as original, zipfile.ZipFile(buffer, "w") as archive:
        for name in pack_zip.ENTRIES:
            entry = original.getinfo(name)
            for field, value in fields.items() if name == "README.txt" else ():
                setattr(entry, field, value)
            archive.writestr(entry, readme if readme and name == "README.txt" else packed[name],
                             compresslevel=9)
        for name, data in also:
            archive.writestr(name, data)
    return buffer.getvalue()


def with_unlisted_record(release):
    data = bytearray(genuine(release))
    directory = struct.unpack_from("<I", data, len(data) - 6)[0]
    stray = (b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0, 0, 5, 5, 9, 0)
             + b"setup.exe" + b"MZ...")
    struct.pack_into("<I", data, len(data) - 6, directory + len(stray))
    return bytes(data[:directory] + stray + data[directory:])


def bomb(release, declared):
    """README.txt as 768 MiB of zeros in about 768 KiB of deflate, declaring
    3 GiB or the genuine size: written stored, then named deflate."""
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = deflate.compress(b"\0" * (1 << 20)) + deflate.flush(zlib.Z_FULL_FLUSH)
    stream = block * 768 + zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    stored = edited(rezipped(release, stream, compress_type=zipfile.ZIP_STORED), 8, 10,
                    lambda old: b"\x08\x00" + old[2:])  # deflate
    size = struct.pack("<I", 3 << 30 if declared else len(entries(release)["README.txt"]))
    return edited(stored, 22, 24, lambda old: size)


class Cannot(str):
    """The reason of a CANNOT CHECK (status 2)."""


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
README = "README.txt is not what this checkout makes"
PUT_BACK = "talvenor.exe is not this checkout's build with its signature block put back"
NO_CERTIFICATE = " holds no certificate; name the CA's certificates in PEM"
SETUP = b"Run setup.exe first.\r\n"
COMMON = b"mingw-w64-common: "
# The release's commit, which its record names, and its time, as the packer asks them.
HEAD = pack_zip.run("git", "rev-parse", "HEAD").encode()
COMMIT_TIME = pack_zip.run("git", "log", "-1", "--format=%ct")
PAYLOAD = cms.CMSAttribute({"type": "1.3.6.1.4.1.311.2.6.1",
                            "values": [core.OctetString(b"payload " * 64)]}).dump()


class Check(NamedTuple):
    """A row of the table, after its id: how the zip is made from the genuine
    release (None: there is none), what it prints (the reason for a refusal
    or, as Cannot, a CANNOT CHECK, or the lines of an acceptance), the options
    (CAS unless given). Then, named where a row needs them: the zip's file
    name (in the test's folder unless absolute) and how the output prints it,
    the variables added to the caller's environment, how many checks of it
    run at once, and a fault put into the checker (what monkeypatch.setattr
    takes), which then runs in this process."""
    make: object
    expected: object
    options: tuple = CAS
    named: tuple = (NAME, NAME)
    env: dict = {}
    at_once: int = 1
    fault: tuple = None


CHECKS = [
    ("genuine", genuine, [SIGNED]),
    ("genuine, inside the checkout", genuine, [SIGNED], CAS, {"named": (f"{ROOT}/{NAME}", NAME)}),
    ("genuine unsigned", exe(lambda e: e, unsigned_exe), [GENUINE + "unsigned"], ()),
    ("genuine, another toolchain version recorded", recorded(COMMON, COMMON + b"1:99"),
     ["note: mingw-w64-common: the zip records 1:99{common}, this machine has {common};"
      " the bytes decide", SIGNED]),
    # The build record.
    ("another commit", recorded(HEAD, b"0" * 40),
     "the zip records commit " + "0" * 40 + "; this checkout's HEAD is {head}"),
    ("uncommitted changes recorded", recorded(HEAD, HEAD + b" with changes not committed"),
     "BUILDINFO.txt's commit is not one commit's hash: '{head} with changes not committed'"),
    ("a payload in a recorded version",
     recorded(COMMON, COMMON + b"see https://example.invalid/ "),
     "BUILDINFO.txt's mingw-w64-common is not a Debian version:"
     " 'see https://example.invalid/ {common}'"),
    ("a line added to the record", recorded(b"\r\n", b"\r\nnote: run setup.exe\r\n"),
     "BUILDINFO.txt is not 8 lines, each with a Windows line end"),
    ("the other Debian release recorded, and the readme changed", lambda r: repacked(
        r, README_txt=SETUP, BUILDINFO_txt=re.sub(rb"debian: [^\r]*", lambda here: (
            b"debian: 13 trixie" if b"bookworm" in here[0] else b"debian: 12 bookworm"),
            entries(r)["BUILDINFO.txt"])), README),
    # The entries.
    ("readme line changed", lambda r: repacked(r, README_txt=entries(r)["README.txt"].replace(
        b"Commands\r\n", b"COMMANDS\r\n", 1)), README),
    ("the checksum of another exe", lambda r: repacked(r, checksum_of=unsigned_exe(r)),
     "talvenor.exe.sha256 is not what this checkout makes of the exe"),
    ("packed at another time", lambda r: repacked(r, epoch=315532800), REPACKED),
    ("unsigned code changed", exe(changed_code, unsigned_exe),
     "talvenor.exe is not what this checkout builds", ()),
    # The signer's CA alone: signed again, it carries no timestamp.
    ("code changed and signed again", resigned(of=lambda r: changed_code(unsigned_exe(r))),
     PUT_BACK, ("--ca", "ca.pem")),
    ("a forged PE checksum", exe(forged_checksum), PUT_BACK),
    # The signature.
    ("damaged signature", exe(damaged_signature), UNVERIFIED),
    ("a SET of many values", exe(lambda e: with_signature(e, b"\x31\x81\x82" + b"\x04\x00" * 65)),
     "talvenor.exe's signature holds a SET of more than 64 values"),
    ("bytes hidden in the certificate table", exe(lambda e: with_signature(
        e, signature_of(e).dump() + b"payload " * 64)), "talvenor.exe's certificate table holds"
     " bytes beyond its signature"),
    ("a byte in the certificate table's padding", exe(lambda e: with_signature(
        e, signature_of(e).dump() + b"x")), "talvenor.exe's certificate table holds bytes beyond"
     " its signature"),
    ("an unauthenticated attribute added", part("unsigned_attrs", lambda old: parser.emit(
        2, 1, 1, b"".join(sorted(members(old) + [PAYLOAD]))), signer_of),
     "talvenor.exe's signature carries an unauthenticated attribute other than one timestamp"),
    ("a second, nested signature", resigned("-nest", key="plain", of=shipped), NESTED),
    ("the first of two signatures damaged", resigned(
        "-nest", key="plain", of=lambda r: damaged_signature(shipped(r))), NESTED),
    ("a self-signed signer named after the report's success line", resigned(key="impostor"),
     UNVERIFIED, ()),
    ("a signer not for code signing", resigned(key="plain"),
     "the signer's certificate is not for code signing"),
    ("signed with SHA-1", resigned("-h", "sha1"), "talvenor.exe is not signed with SHA-256 alone"),
    ("the timestamp checked against the signer's CA", genuine,
     "the timestamp or its chain does not verify", ("--ca", "ca.pem", "--tsa-ca", "ca.pem")),
    ("the signer checked against the timestamp's CA", genuine, UNVERIFIED,
     ("--ca", "tsa-ca.pem", "--tsa-ca", "tsa-ca.pem")),
    ("a forged CA beside the signer's chain", certificates(added("forged-ca.pem")),
     "the signature" + OFF_PATH),
    ("a forged CA beside the timestamp's chain",
     certificates(added("forged-tsa-ca.pem"), stamp_of), "the timestamp" + OFF_PATH),
    ("the signer's intermediate dropped", certificates(lambda r, found: [
        c for c in found if c != pem.unarmor(read(r.file("intermediate.pem")))[2]]), UNVERIFIED),
    ("certificates out of DER's order", certificates(lambda r, found: found[::-1]), NOT_DER),
    ("a length in a longer form than it needs",
     part(None, lambda old: b"\x30\x83\x00" + old[2:]), NOT_DER),
    ("an indefinite length", part(None, lambda old: b"\x30\x80" + old[4:] + b"\0\0"), NOT_DER),
    ("the signer's value as a constructed OCTET STRING",
     part("signature", lambda old: parser.emit(0, 1, 4, old), signer_of), NOT_DER),
    ("the signer's digest algorithm without its NULL parameters",
     part("digest_algorithm", lambda old: parser.emit(0, 1, 16, old[2:-2]), signer_of),
     "talvenor.exe's signature writes an algorithm's parameters otherwise than its signing does"),
    ("an empty set of unauthenticated attributes", part("unsigned_attrs", lambda old: b"\xa1\x00",
     signer_of), "talvenor.exe's signature carries an empty set of unauthenticated attributes", ()),
    ("the timestamp's SignedData of version 5", part("version", lambda old: b"\x02\x01\x05",
     stamp_of), "the timestamp's SignedData is version 5, not 3"),
    ("the signer's issuer named in another case", part("sid", lambda old: old.replace(
        b"intermediate", b"INTERMEDIATE"), signer_of), "the signature does not carry its signer's"
     " certificate once"),
    ("a certificate of a name no path has, beside the signer's", certificates(added(
        "plain.pem", lambda der: der.replace(b"Talvenor Test plain", "\ue000".encode() + b"x"
                                             * 16))), "the signature" + OFF_PATH),
    ("the timestamp's signature algorithm named with another digest", exe(lambda e: with_part(
        e, lambda i: (stamp_of(i)["signer_infos"][0], stamp_of(i)["signer_infos"][0][
            "signature_algorithm"]["algorithm"]), lambda old: old[:-1] + b"\x0d")),
     "the timestamp's signature algorithm is not its signer's key's with its digest"),
    ("a timestamp CA named for an untimestamped signature", resigned(),
     "talvenor.exe's signature carries no timestamp, and a timestamp CA was named to check it by"),
    ("a CA named for an unsigned exe", exe(lambda e: e, unsigned_exe),
     "talvenor.exe is unsigned, and a CA was named to check its signature by", ("--ca", "ca.pem")),
    ("a signature that does not parse", part("version", lambda old: b"\x05\x00", signer_of),
     "talvenor.exe's signature does not parse: Error parsing asn1crypto.cms.CMSVersion - tag should"
     " have been 2, but 5 was found"),
    ("a fault of the checker's own as it reads the signature", genuine,
     Cannot("the checker failed (KeyError: 'sid'); report it"), CAS,
     {"fault": ("tooling.release_signature.signer_of", mock.Mock(side_effect=KeyError("sid")))}),
    ("a ValueError of the checker's own, not the parser's", genuine,
     Cannot("the checker failed (ValueError: unsupported hash type sha256); report it"), CAS,
     {"fault": ("hashlib.new", mock.Mock(side_effect=ValueError("unsupported hash type sha256")))}),
    # The container.
    ("two entries of one name", lambda r: rezipped(r, also=[("README.txt", SETUP)]),
     f"the zip's entries are not {', '.join(pack_zip.ENTRIES)}, each once, in that order, but"
     f" {', '.join(pack_zip.ENTRIES)}, README.txt"),
    ("a record the directory does not list", with_unlisted_record, REPACKED),
    ("a local name that disagrees", lambda r: genuine(r).replace(b"README.txt", b"README.TXT", 1),
     "README.txt cannot be read: File name in directory 'README.txt' and header b'README.TXT'"
     " differ."),
    ("a comment", lambda r: genuine(r)[:-2] + b"\x05\x00hello", REPACKED),
    ("an extra field", lambda r: rezipped(r, extra=struct.pack("<HHBI", 0x5455, 5, 1, 0)),
     REPACKED),
    # Bad input.
    ("not a zip", lambda r: b"this is no zip\n", NO_ZIP),
    ("a zip of a version zipfile lacks", lambda r: edited(genuine(r), 4, 6, lambda old: b"\x40\x00"
     + old[2:]), "not a zip: zip file version 6.4"),
    ("a name flagged UTF-8 that is not", lambda r: edited(edited(
        genuine(r), 6, 8, lambda old: bytes([old[0], old[1] | 8]) + old[2:]), 30, 46,
        lambda old: b"\xff" + old[1:]), "not a zip: 'utf-8' codec can't decode byte 0xff in"
     " position 0: invalid start byte"),
    ("empty", lambda r: b"", NO_ZIP),
    ("truncated", lambda r: genuine(r)[:-100], NO_ZIP),
    ("an unsupported compression method", lambda r: rezipped(r, compress_type=zipfile.ZIP_BZIP2),
     "README.txt is stored with compression method 12, not deflate"),
    ("an encrypted entry", lambda r: edited(genuine(r), 6, 8, lambda old: bytes([old[0] | 1])
                                            + old[1:]), "README.txt is encrypted"),
    ("a bad CRC", lambda r: edited(genuine(r), 14, 16, lambda c: bytes(b ^ 1 for b in c)), BAD_CRC),
    ("a bomb declaring 3 GiB", lambda r: bomb(r, declared=True),
     "README.txt declares 3221225472 bytes, more than the {readme} it may hold"),
    ("a bomb declaring the genuine size", lambda r: bomb(r, declared=False), BAD_CRC),
    ("larger than any release", lambda r: b"PK" * (1 << 19) + genuine(r),
     "the zip is larger than any release (1048576 bytes)"),
    # The name, the caller and the machine.
    ("a newline in a name", lambda r: repacked(r, README_txt=SETUP), README, CAS, {"named": (
        f"{NAME}\ncheck-release: ACCEPTED: {NAME}",
        f"{NAME}\\x0acheck-release: ACCEPTED: {NAME}")}),
    ("line ends of other kinds in a name", genuine, [SIGNED], CAS,
     {"named": ("talvenor\r\x85\u2028.zip", "talvenor\\x0d\\xc2\\x85\\xe2\\x80\\xa8.zip")}),
    ("a name starting with -", genuine, [SIGNED], (*CAS, "--"), {"named": ("-t.zip", "-t.zip")}),
    ("the caller's build flags and git variables, built anew", genuine, [SIGNED],
     ("--build-dir", "build", *CAS), {"env": dict(LDFLAGS="-Wl,--image-base=0x500000",
                                                  CXXFLAGS="-O0", GIT_DIR="/nonexistent",
                                                  GIT_WORK_TREE="/")}),
    ("two first checks at once", genuine, [SIGNED], ("--build-dir", "build", *CAS), {"at_once": 2}),
    ("a build folder that cannot be made", genuine, Cannot(
        "cannot make a build folder in /proc/talvenor: No such file or directory; name another"
        " with --build-dir"), ("--build-dir", "/proc/talvenor", *CAS)),
    ("help asked for", genuine, Cannot("unrecognized arguments: --help (usage: check-release"
     " [--ca CA] [--tsa-ca TSA_CA] [--build-dir BUILD_DIR] zip)"), (*CAS, "--help"),
     {"named": (NAME, None)}),
    ("no zip", None, Cannot("there is no zip missing.zip"), CAS, {"named": ("missing.zip",) * 2}),
    ("a zip that cannot be read", None, Cannot("cannot read mem: Input/output error"), CAS,
     {"named": ("/proc/self/mem", "mem")}),
    ("no CA file", genuine, Cannot("there is no CA file missing.pem"), ("--ca", "missing.pem")),
    ("a CA file in DER", genuine,
     Cannot("the CA file ca.der" + NO_CERTIFICATE), ("--ca", "ca.der")),
    ("a CA file with a broken block", genuine,
     Cannot("the CA file broken.pem" + NO_CERTIFICATE), ("--ca", "broken.pem")),
    ("a CA file that holds no certificate", genuine,
     Cannot("the CA file plain.key" + NO_CERTIFICATE), ("--ca", "plain.key")),
    ("a timestamp CA file that holds no certificate", genuine,
     Cannot("the timestamp CA file plain.key" + NO_CERTIFICATE), CAS[:3] + ("plain.key",)),
]


@pytest.mark.parametrize("check", [pytest.param(Check(*row[1:4], **(row[4] if row[4:] else {})),
                                                id=row[0]) for row in CHECKS])
def test_check_release(release, tmp_path, monkeypatch, capsys, check):
    """Each tampered zip keeps a checksum that fits its exe, where it has
    one: only the check behind it may find the change."""
    zip_path = tmp_path / check.named[0]  # or the absolute name given
    if check.make:
        zip_path.write_bytes(check.make(release))
    for name in ("ca.pem", "tsa-ca.pem", "plain.key"):
        shutil.copy(release.file(name), tmp_path)
    (tmp_path / "ca.der").write_bytes(pem.unarmor(read(release.file("ca.pem")))[2])
    (tmp_path / "broken.pem").write_bytes(read(release.file("ca.pem")) + b"-----BEGIN CERTIFICATE"
                                          b"-----\nAAAA\n-----END CERTIFICATE-----\n")
    argv = [CHECK_RELEASE, *check.options, os.path.relpath(zip_path, tmp_path)]
    try:
        if check.fault:  # put into the checker, which runs in this process
            monkeypatch.setattr(*check.fault)
            monkeypatch.setattr("sys.argv", argv)
            monkeypatch.chdir(tmp_path)
            status = check_release.main()
            outputs = [(capsys.readouterr().out, "", status)]
        else:
            outputs = [(*run.communicate(timeout=300), run.returncode) for run in [
                subprocess.Popen(argv, cwd=tmp_path, env=dict(release.env, **check.env), text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(check.at_once)]]
    finally:
        if check.make and zip_path.parent != tmp_path:
            zip_path.unlink()
    # The release was made on this machine: its record names the versions here.
    facts = {"head": HEAD.decode(), "readme": len(entries(release)["README.txt"]),
             "name": check.named[1], "common": pack_zip.toolchain()["mingw-w64-common"]}
    status = 2 if isinstance(check.expected, Cannot) else int(isinstance(check.expected, str))
    printed = [line.format(**facts) for line in check.expected] if isinstance(
        check.expected, list) else [f"check-release: {ANSWERS[status]}: " + (
            f"{check.named[1]}: " if check.named[1] else "") + check.expected.format(**facts)]
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
        zips = list(pathlib.Path(release.checkout, "build", "win32", "dist").glob("*.zip"))
    assert (failed.returncode, failed.stderr.splitlines()[-1], zips) == (
        status, last_line.format(time=COMMIT_TIME), [])
    assert signing.PIN not in failed.stdout + failed.stderr


def test_an_unsigned_zip_of_changes_not_committed_says_so(release):
    with release.lock(), changed(release, "notes.txt"):
        subprocess.run([release.dist[0]], env=release.env, capture_output=True, check=True)
        [made] = pathlib.Path(release.checkout, "build", "win32", "dist").glob("*.zip")
        with zipfile.ZipFile(made) as archive:
            record = archive.read("BUILDINFO.txt")
    assert b" with changes not committed\r\n" in record


def test_pin_appears_in_no_output_command_line_or_build_file(release):
    seen = [read(release.file("command-lines")), read(release.file("signing-output"))]
    for folder, _, names in os.walk(os.path.join(release.checkout, "build", "win32", "dist")):
        seen += [read(os.path.join(folder, name)) for name in names]
    assert [text for text in seen if signing.PIN.encode() in text] == []


def test_an_answer_that_cannot_be_written_is_trouble(release):
    with open("/dev/full", "w") as full:
        done = subprocess.run([CHECK_RELEASE, "--ca", release.file("ca.pem"), "--tsa-ca",
                               release.file("tsa-ca.pem"), release.zip], stdout=full,
                              stderr=subprocess.PIPE, env=release.env, timeout=300)
    assert (done.returncode, done.stderr) == (2, b"")
