"""The signed release: scripts/dist signing with a key on a token, and
scripts/check-release accepting the genuine zip wherever it lies and refusing
each kind of tampered one, with its reason on one line."""
import glob
import os
import re
import shutil
import struct
import subprocess
import zipfile
import zlib

import pefile
import pytest
import signing
from asn1crypto import cms, core, parser, pem
from conftest import ROOT, built
from test_outcomes_end_to_end import CASES, run
from tooling import pack_zip, release_signature

pytestmark = pytest.mark.platforms("wine32")

CHECK_RELEASE = os.path.join(ROOT, "scripts", "check-release")
NAME = "talvenor-1.0-win32.zip"
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def osslsigncode(release, *args):
    return subprocess.run(["osslsigncode", *args], env=release.env, capture_output=True,
                          text=True, timeout=300)


def test_signed_exe_verifies_with_its_timestamp_and_is_the_build_without_its_signature(
        release, pytestconfig, tmp_path):
    verified = osslsigncode(release, "verify", *release_signature.offline(),
                            "-CAfile", release.file("ca.pem"),
                            "-TSA-CAfile", release.file("tsa-ca.pem"), "-in", release.exe)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    for line in ("Text description: Talvenor", "Timestamp Server Signature verification: ok",
                 "Signature verification: ok", "Message digest algorithm  : SHA256"):
        assert line in verified.stdout
    unsigned = str(tmp_path / "unsigned.exe")
    osslsigncode(release, "remove-signature", "-in", release.exe, "-out", unsigned)
    with open(unsigned, "rb") as got, open(built(pytestconfig, "talvenor.exe"), "rb") as build:
        assert got.read() == build.read()


@pytest.mark.parametrize("name", ["usage", "show, enabled"])
def test_signed_exe_runs(runner, release, tmp_path, name):
    [case] = [case for case in CASES if case.name == name]
    result = run(runner, str(tmp_path), case.args, before=case.before, program=release.exe)
    assert (result.stdout.decode(), result.stderr, result.returncode) == (
        case.out.replace("\n", "\r\n"), b"", 0)


# How each zip of the table is made from the genuine one ---------------------

def entries(release):
    with zipfile.ZipFile(release.zip) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def genuine(release):
    with open(release.zip, "rb") as file:
        return file.read()


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
    path = release.file("unsigned.exe")
    if not os.path.exists(path):
        osslsigncode(release, "remove-signature", "-in", release.exe, "-out", path)
    with open(path, "rb") as exe:
        return exe.read()


def signed(release, exe, *how):
    """EXE signed again, with the genuine key on the token unless HOW names
    another (by_key), its certificate sets put in DER's order as scripts/dist
    puts them (osslsigncode 2.5 leaves them in file order)."""
    if "-key" not in how:
        how = ("-certs", release.file("chain.pem"), "-key", signing.TOKEN_KEY,
               "-pkcs11module", signing.SOFTHSM_MODULE, "-readpass", release.file("pin"), *how)
    with open(release.file("in.exe"), "wb") as file:
        file.write(exe)
    if os.path.exists(release.file("out.exe")):
        os.remove(release.file("out.exe"))
    done = osslsigncode(release, "sign", *how, "-n", "Talvenor", "-in", release.file("in.exe"),
                        "-out", release.file("out.exe"))
    assert done.returncode == 0, done.stderr
    with open(release.file("out.exe"), "rb") as file:
        return release_signature.in_der_form(file.read())


def by_key(release, name, *how):
    return ("-certs", release.file(f"{name}.pem"), "-key", release.file(f"{name}.key"), *how)


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


def with_certificates(release, signed, change):
    """The genuine exe with the certificate set of SIGNED(signature) made
    CHANGE(its certificates' encodings)."""
    return with_part(entries(release)["talvenor.exe"],
                     lambda info: (signed(info), signed(info)["certificates"]),
                     lambda old: parser.emit(2, 1, 0, b"".join(change(members(old)))))


def der_of(release, name):
    with open(release.file(name), "rb") as file:
        return pem.unarmor(file.read())[2]


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


def edited(release, local_at, central_at, change, name="README.txt"):
    """The genuine zip with a field of NAME's local and central records,
    at those offsets in each, changed by CHANGE(its bytes)."""
    data = bytearray(genuine(release))
    for record, at in zip(records(data, name), (local_at, central_at)):
        data[record + at:record + at + 4] = change(data[record + at:record + at + 4])
    return bytes(data)


def little(value):
    return lambda old: struct.pack("<I", value)[:len(old)]


def with_extra_field(release):
    """README.txt with an extended-time field, in both its records."""
    packed = entries(release)
    path = release.file("extra.zip")
    with zipfile.ZipFile(release.zip) as original, zipfile.ZipFile(path, "w") as archive:
        for name in pack_zip.ENTRIES:
            entry = original.getinfo(name)
            if name == "README.txt":
                entry.extra = struct.pack("<HHBI", 0x5455, 5, 1, 0)
            archive.writestr(entry, packed[name], compresslevel=9)
    with open(path, "rb") as file:
        return file.read()


def with_second_readme(release):
    path = shutil.copy(release.zip, release.file("duplicate.zip"))
    with zipfile.ZipFile(path, "a") as archive:
        archive.writestr("README.txt", b"Run setup.exe first.\r\n")
    with open(path, "rb") as file:
        return file.read()


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
    3 GiB or the genuine size."""
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = deflate.compress(b"\0" * (1 << 20)) + deflate.flush(zlib.Z_FULL_FLUSH)
    stream = block * 768 + zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    data = bytearray(genuine(release))
    local, central = records(data, "README.txt")
    size = struct.unpack_from("<I", data, central + 20)[0]
    start, grown = local + 30 + len("README.txt"), len(stream) - size
    data[start:start + size] = stream
    central += grown
    struct.pack_into("<I", data, len(data) - 6, struct.unpack_from("<I", data, len(data) - 6)[0]
                     + grown)
    for name in ("talvenor.exe.sha256", "BUILDINFO.txt"):  # the entries after it
        _, later = records(data, name)
        struct.pack_into("<I", data, later + 42, struct.unpack_from("<I", data, later + 42)[0]
                         + grown)
    for record, at in ((local, 18), (central, 20)):
        struct.pack_into("<I", data, record + at, len(stream))
    if declared:
        for record, at in ((local, 22), (central, 24)):
            struct.pack_into("<I", data, record + at, 3 << 30)
    return bytes(data)


GENUINE = ("check-release: ACCEPTED: {name} matches this checkout byte for byte"
           " (commit {head}), ")
SIGNED = GENUINE + "signed by Common Name: Talvenor Test signer, timestamped"
CAS = ("--ca", "ca.pem", "--tsa-ca", "tsa-ca.pem")
NO_ZIP = ("not a zip: no end-of-directory record at its very end (truncated, or followed by a"
          " comment or other bytes)")

# id, how the zip is made from the genuine release (None: there is none;
# "checkout": the genuine one, inside the checkout), the options, and what it
# prints: the reason for a refusal or a CANNOT CHECK, or the lines of an
# acceptance. Then, each optional: the status (by default 0 for an
# acceptance, 1 for a refusal), the zip's file name and how the output prints
# it, the variables added to the caller's environment, and how many checks of
# it run at once.
CHECKS = [
    ("genuine", genuine, CAS, [SIGNED]),
    ("genuine, inside the checkout", "checkout", CAS, [SIGNED]),
    ("genuine unsigned", lambda r: repacked(r, talvenor_exe=unsigned_exe(r)), (),
     [GENUINE + "unsigned"]),
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
     "BUILDINFO.txt's mingw-w64-common is not a Debian version"),
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
    ("unsigned code changed", lambda r: repacked(r, talvenor_exe=changed_code(unsigned_exe(r))),
     (), "talvenor.exe is not what this checkout builds"),
    ("code changed and signed again",
     lambda r: repacked(r, talvenor_exe=signed(r, changed_code(unsigned_exe(r)), "-h", "sha256")),
     ("--ca", "ca.pem"),  # the signer's CA alone: signed again, it carries no timestamp
     "talvenor.exe is not this checkout's build with its signature block put back"),
    # The signature.
    ("damaged signature",
     lambda r: repacked(r, talvenor_exe=damaged_signature(entries(r)["talvenor.exe"])), CAS,
     "the signature or the signer's chain does not verify"),
    ("bytes hidden in the certificate table",
     lambda r: repacked(r, talvenor_exe=with_hidden_bytes(entries(r)["talvenor.exe"])), CAS,
     "talvenor.exe's certificate table holds bytes beyond its signature"),
    ("an unauthenticated attribute added",
     lambda r: repacked(r, talvenor_exe=with_unauthenticated_payload(entries(r)["talvenor.exe"])),
     CAS, "talvenor.exe's signature carries an unauthenticated attribute other than one timestamp"),
    ("a second, nested signature", lambda r: repacked(r, talvenor_exe=signed(
        r, entries(r)["talvenor.exe"], *by_key(r, "plain", "-nest"))), CAS,
     "talvenor.exe carries a second, nested signature"),
    ("the first of two signatures damaged", lambda r: repacked(r, talvenor_exe=signed(
        r, damaged_signature(entries(r)["talvenor.exe"]), *by_key(r, "plain", "-nest"))), CAS,
     "talvenor.exe carries a second, nested signature"),
    ("a self-signed signer named after the report's success line",
     lambda r: repacked(r, talvenor_exe=signed(r, unsigned_exe(r), *by_key(r, "impostor"))), (),
     "the signature or the signer's chain does not verify"),
    ("a signer not for code signing",
     lambda r: repacked(r, talvenor_exe=signed(r, unsigned_exe(r), *by_key(r, "plain"))), CAS,
     "the signer's certificate is not for code signing"),
    ("signed with SHA-1",
     lambda r: repacked(r, talvenor_exe=signed(r, unsigned_exe(r), "-h", "sha1")), CAS,
     "talvenor.exe is not signed with SHA-256 alone"),
    ("the timestamp checked against the signer's CA", genuine,
     ("--ca", "ca.pem", "--tsa-ca", "ca.pem"), "the timestamp or its chain does not verify"),
    ("the signer checked against the timestamp's CA", genuine,
     ("--ca", "tsa-ca.pem", "--tsa-ca", "tsa-ca.pem"),
     "the signature or the signer's chain does not verify"),
    ("a forged CA beside the signer's chain", lambda r: repacked(r, talvenor_exe=with_certificates(
        r, lambda i: i["content"], lambda found: sorted(found + [der_of(r, "forged-ca.pem")]))),
     CAS, "the signature carries other certificates than its signer's path, proven by signature,"
     " to its CA"),
    ("a forged CA beside the timestamp's chain", lambda r: repacked(
        r, talvenor_exe=with_certificates(r, stamp_of, lambda found: sorted(
            found + [der_of(r, "forged-tsa-ca.pem")]))), CAS,
     "the timestamp carries other certificates than its signer's path, proven by signature,"
     " to its CA"),
    ("the signer's intermediate dropped", lambda r: repacked(r, talvenor_exe=with_certificates(
        r, lambda i: i["content"], lambda found: [c for c in found
                                                  if c != der_of(r, "intermediate.pem")])),
     CAS, "the signature or the signer's chain does not verify"),
    ("certificates out of DER's order", lambda r: repacked(r, talvenor_exe=with_certificates(
        r, lambda i: i["content"], lambda found: found[::-1])), CAS,
     "talvenor.exe's signature is not DER"),
    ("a length in a longer form than it needs", lambda r: repacked(r, talvenor_exe=with_part(
        entries(r)["talvenor.exe"], lambda i: (i, i),
        lambda old: b"\x30\x83\x00" + old[2:])), CAS, "talvenor.exe's signature is not DER"),
    ("an indefinite length", lambda r: repacked(r, talvenor_exe=with_part(
        entries(r)["talvenor.exe"], lambda i: (i, i),
        lambda old: b"\x30\x80" + old[4:] + b"\0\0")), CAS, "talvenor.exe's signature is not DER"),
    ("the signer's value as a constructed OCTET STRING", lambda r: repacked(
        r, talvenor_exe=with_part(entries(r)["talvenor.exe"],
                                  lambda i: (signer_of(i), signer_of(i)["signature"]),
                                  lambda old: parser.emit(0, 1, 4, old))), CAS,
     "talvenor.exe's signature is not DER"),
    ("the signer's digest algorithm without its NULL parameters", lambda r: repacked(
        r, talvenor_exe=with_part(entries(r)["talvenor.exe"],
                                  lambda i: (signer_of(i), signer_of(i)["digest_algorithm"]),
                                  lambda old: parser.emit(0, 1, 16, old[2:-2]))), CAS,
     "talvenor.exe's signature writes an algorithm's parameters otherwise than its signing does"),
    ("an empty set of unauthenticated attributes", lambda r: repacked(
        r, talvenor_exe=with_part(entries(r)["talvenor.exe"],
                                  lambda i: (signer_of(i), signer_of(i)["unsigned_attrs"]),
                                  lambda old: b"\xa1\x00")), (),
     "talvenor.exe's signature carries an empty set of unauthenticated attributes"),
    ("the timestamp's SignedData of version 5", lambda r: repacked(
        r, talvenor_exe=with_part(entries(r)["talvenor.exe"],
                                  lambda i: (stamp_of(i), stamp_of(i)["version"]),
                                  lambda old: b"\x02\x01\x05")), CAS,
     "the timestamp's SignedData is version 5, not 3"),
    ("the signer's issuer named in another case", lambda r: repacked(r, talvenor_exe=with_part(
        entries(r)["talvenor.exe"], lambda i: (signer_of(i), signer_of(i)["sid"]),
        lambda old: old.replace(b"intermediate", b"INTERMEDIATE"))), CAS,
     "the signature does not carry its signer's certificate once"),
    ("a certificate of a name no path has, beside the signer's", lambda r: repacked(
        r, talvenor_exe=with_certificates(r, lambda i: i["content"], lambda found: sorted(
            found + [der_of(r, "plain.pem").replace(b"Talvenor Test plain",
                                                    "\ue000".encode() + b"x" * 16)]))), CAS,
     "the signature carries other certificates than its signer's path, proven by signature,"
     " to its CA"),
    ("the timestamp's signature algorithm named with another digest", lambda r: repacked(
        r, talvenor_exe=with_part(
            entries(r)["talvenor.exe"],
            lambda i: (stamp_of(i)["signer_infos"][0],
                       stamp_of(i)["signer_infos"][0]["signature_algorithm"]["algorithm"]),
            lambda old: old[:-1] + b"\x0d")), CAS,
     "the timestamp's signature algorithm is not its signer's key's with its digest"),
    ("a timestamp CA named for an untimestamped signature",
     lambda r: repacked(r, talvenor_exe=signed(r, unsigned_exe(r))), CAS,
     "talvenor.exe's signature carries no timestamp, and a timestamp CA was named to check it by"),
    ("a CA named for an unsigned exe", lambda r: repacked(r, talvenor_exe=unsigned_exe(r)),
     ("--ca", "ca.pem"), "talvenor.exe is unsigned, and a CA was named to check its signature by"),
    # The container.
    ("two entries of one name", with_second_readme, CAS, "the zip lists 5 entries, not 4"),
    ("a record the directory does not list", with_unlisted_record, CAS,
     "bytes stand between the zip's entries that its central directory does not list"),
    ("a local name that disagrees", renamed_local, CAS,
     "the local record of README.txt disagrees with the central directory"),
    ("a comment", lambda r: genuine(r)[:-2] + b"\x05\x00hello", CAS, NO_ZIP),
    ("an extra field", with_extra_field, CAS, "README.txt carries an extra field or a comment"),
    # Bad input.
    ("not a zip", lambda r: b"this is no zip\n", CAS, NO_ZIP),
    ("empty", lambda r: b"", CAS, NO_ZIP),
    ("truncated", lambda r: genuine(r)[:-100], CAS, NO_ZIP),
    ("an unsupported compression method", lambda r: edited(r, 8, 10, little(12)), CAS,
     "README.txt is stored with compression method 12, not deflate"),
    ("an encrypted entry", lambda r: edited(r, 6, 8, lambda old: bytes([old[0] | 1]) + old[1:]),
     CAS, "README.txt is encrypted"),
    ("a bad CRC", lambda r: edited(r, 14, 16, lambda crc: bytes(b ^ 1 for b in crc)), CAS,
     "README.txt does not match its declared size and CRC"),
    ("a bomb declaring 3 GiB", lambda r: bomb(r, declared=True), CAS,
     "README.txt declares 3221225472 bytes, more than any release holds"),
    ("a bomb declaring the genuine size", lambda r: bomb(r, declared=False), CAS,
     "README.txt inflates to more than the {readme} bytes it may hold"),
    ("larger than any release", lambda r: b"PK" * (1 << 19) + genuine(r), CAS,
     "the zip is larger than any release (1048576 bytes)"),
    # The name, the caller and the machine.
    ("a newline in a name", lambda r: repacked(r, README_txt=b"Run setup.exe first.\r\n"), CAS,
     "README.txt is not what this checkout makes", 1,
     (NAME + "\ncheck-release: ACCEPTED: " + NAME, NAME + "\\x0acheck-release: ACCEPTED: " + NAME)),
    ("line ends of other kinds in a name", genuine, CAS, [SIGNED], 0,
     ("talvenor\r\x85\u2028.zip", "talvenor\\x0d\\xc2\\x85\\xe2\\x80\\xa8.zip")),
    ("a name starting with -", genuine, (*CAS, "--"), [SIGNED], 0, ("-t.zip", "-t.zip")),
    ("the caller's build flags and git variables, built anew", genuine,
     ("--build-dir", "build", *CAS), [SIGNED], 0, (NAME, NAME),
     {"LDFLAGS": "-Wl,--image-base=0x500000", "CXXFLAGS": "-O0", "GIT_DIR": "/nonexistent",
      "GIT_WORK_TREE": "/"}),
    ("two first checks at once", genuine, ("--build-dir", "build", *CAS), [SIGNED], 0,
     (NAME, NAME), (), 2),
    ("a build folder that cannot be made", genuine, ("--build-dir", "/proc/talvenor", *CAS),
     "cannot make a build folder in /proc/talvenor: No such file or directory; name another"
     " with --build-dir", 2),
    ("help asked for", genuine, (*CAS, "--help"),
     ["check-release: CANNOT CHECK: unrecognized arguments: --help (usage: check-release"
      " [--ca CA] [--tsa-ca TSA_CA] [--build-dir BUILD_DIR] zip)"], 2),
    ("no zip", None, CAS, "there is no zip missing.zip", 2, ("missing.zip", "missing.zip")),
    ("no CA file", genuine, ("--ca", "missing-ca.pem"), "there is no CA file missing-ca.pem", 2),
]


ANSWERS = {0: "ACCEPTED", 1: "REFUSED", 2: "CANNOT CHECK"}


def columns(name, make, options, expected, status=None, file_name=(NAME, NAME), env=(),
            at_once=1):
    status = (0 if isinstance(expected, list) else 1) if status is None else status
    return pytest.param(make, options, expected, status, file_name, dict(env), at_once, id=name)


@pytest.mark.parametrize("make, options, expected, status, file_name, env, at_once",
                         [columns(*row) for row in CHECKS])
def test_check_release(release, tmp_path, make, options, expected, status, file_name, env,
                       at_once):
    """Each tampered zip keeps a checksum that fits its exe, where it has
    one: only the check behind it may find the change."""
    zip_path = str(tmp_path / file_name[0])
    if make == "checkout":
        zip_path = shutil.copy(release.zip, os.path.join(ROOT, NAME))
    elif make:
        with open(zip_path, "wb") as file:
            file.write(make(release))
    for name in ("ca.pem", "tsa-ca.pem"):
        shutil.copy(release.file(name), tmp_path)
    try:
        checks = [subprocess.Popen([CHECK_RELEASE, *options, os.path.relpath(zip_path, tmp_path)],
                                   cwd=tmp_path, env=dict(release.env, **env), text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                  for _ in range(at_once)]
        outputs = [(*check.communicate(timeout=300), check.returncode) for check in checks]
    finally:
        if make == "checkout":
            os.remove(zip_path)
    release.outputs.extend(out + err for out, err, _ in outputs)
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True,
                          text=True, check=True).stdout.strip()
    facts = {"head": head, "readme": len(entries(release)["README.txt"]), "name": file_name[1],
             "common": re.search(rb"mingw-w64-common: (\S+)",
                                 entries(release)["BUILDINFO.txt"]).group(1).decode()}
    if isinstance(expected, list):
        printed = [line.format(**facts) for line in expected]
    else:
        printed = [f"check-release: {ANSWERS[status]}: {file_name[1]}: {expected.format(**facts)}"]
    assert [(out.splitlines(), got) for out, _, got in outputs] == [(printed, status)] * at_once
    assert [err for _, err, _ in outputs if "Traceback" in err] == []


@pytest.mark.parametrize("pin, env, status, last_line", [
    pytest.param("000000", {}, 255, "Failed", id="a wrong PIN"),
    pytest.param(signing.PIN, {"SOURCE_DATE_EPOCH": "315532800"}, 2,
                 "error: SOURCE_DATE_EPOCH is 315532800, not the commit's time {time}; a release"
                 " carries the commit's time: unset it", id="another time to pack at")])
def test_a_dist_that_fails_leaves_no_zip(release, tmp_path, pin, env, status, last_line):
    (tmp_path / "pin").write_text(pin + "\n")
    failed = subprocess.run([*release.dist, "--pin-file", str(tmp_path / "pin")],
                            env=dict(release.env, **env), capture_output=True, text=True)
    release.outputs.append(failed.stdout + failed.stderr)
    assert (failed.returncode, failed.stderr.splitlines()[-1]) == (
        status, last_line.format(time=commit_time()))
    assert glob.glob(os.path.join(ROOT, "build", "win32", "dist", "*.zip")) == []


def test_pin_appears_in_no_output_command_line_or_build_file(release):
    with open(release.file("command-lines")) as file:
        seen = release.outputs + [file.read()]
    for folder, _, names in os.walk(os.path.join(ROOT, "build", "win32", "dist")):
        for name in names:
            with open(os.path.join(folder, name), "rb") as file:
                seen.append(file.read().decode("latin-1"))
    assert [text for text in seen if signing.PIN in text] == []
