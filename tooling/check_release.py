"""python3 -m tooling.check_release [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--build-dir DIR] [--] ZIP:
the checks behind scripts/check-release, which installs what they need first.

A release zip is accepted when its bytes are exactly what this checkout's HEAD
makes of them: HEAD's tree, built alone in a folder of its own, with the
shipped signature block put back into the exe, packed with HEAD's README and
the zip's own build record at the commit's time. The record may differ from a
build here only in its package versions, which are noted. A signed exe must
carry one SHA-256 Authenticode signature in DER's one form, whose only
unauthenticated attribute is its timestamp and whose certificates are exactly
the paths, proven by signature, from its signer and from the timestamp's to
their CAs: CA.pem for the signer, TSA-CA.pem for the timestamp, either by
default the machine's trusted roots.
Every verdict rests on the bytes and their parsed structures, never on text
that the zip can choose. Everything that needs no build is checked first;
where the zip records another Debian release than this machine's, the build
is checked in a bare root of that release. The last line gives one of three
answers (release_steps.py).
zipfile finds the zip's entries and reads each within bounds; that they lie
as the packer lays them out, byte for byte, packing them again proves.
"""
import argparse
import io
import os
import re
import sys
import zipfile
import zlib

from tooling import pack_zip, release_signature
from tooling.release_steps import (ACCEPTED, CANNOT_CHECK, REFUSED, ROOT, CannotCheck, Refused,
                                   clean_build, git, in_root_of, quick, refuse_if, verdict)

# Far above any release (about 14 KB), far below anything that strains memory.
LARGEST_ZIP = 1 << 20
# The exe, known before the build: four times the program's 17 KB, and 64 KiB
# for its signature, room for a real chain and timestamp. A signature's
# structure costs memory for each of its parts.
LARGEST_EXE = (64 << 10) + (64 << 10)
# What each value of the record must be, in its order, so that it carries nothing else.
VALUES = {"talvenor": (r"[0-9]+(\.[0-9]+)*", "a version"),
          "commit": ("[0-9a-f]{40}", "one commit's hash"),
          "debian": ("[0-9]{1,3} [a-z]{1,20}", "a Debian release"),
          **{name: (r"([0-9]+:)?[0-9][A-Za-z0-9.+~-]{0,62}", "a Debian version")
             for name in pack_zip.TOOLCHAIN}}


def read_entries(data):
    """The zip's four entries, in the packer's order, each once, stored with
    deflate and unencrypted, as zipfile's ZipFile. Nothing is inflated yet."""
    try:  # zipfile's own refusals: a name not in UTF-8 as flagged, a version it lacks
        archive = zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, NotImplementedError, UnicodeDecodeError) as error:
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
        # But deflate's own bits, which say how hard the packer tried, whatever
        # else a flag asks of the reader (a data descriptor, patched data) no
        # release has.
        refuse_if(entry.flag_bits & ~0x6,
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
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError,
            UnicodeDecodeError) as error:
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


def check(zip_path, ca, tsa_ca, builds):
    """The verdict's words on an accepted zip, the costly checks last."""
    with open(zip_path, "rb") as file:
        data = file.read(LARGEST_ZIP + 1)
    refuse_if(len(data) > LARGEST_ZIP, f"the zip is larger than any release ({LARGEST_ZIP} bytes)")
    archive = read_entries(data)
    releases = quick(["bash", "-c", '. tooling/packages.sh && echo "${DEBIAN_RELEASES[@]}"'],
                     "reading tooling/packages.sh").split()
    record = read_record(inflate(archive, "BUILDINFO.txt", 1024), releases)
    commit = git("rev-parse", "HEAD").strip()
    refuse_if(record["commit"] != commit,
              f"the zip records commit {record['commit']}; this checkout's HEAD is {commit}")
    version = record["talvenor"]  # until the build says which version HEAD is
    exe = inflate(archive, "talvenor.exe", LARGEST_EXE)
    # README.txt from HEAD's own files, not the checkout's.
    wanted = pack_zip.contents(exe, version, record, lambda path: git("show", f"HEAD:{path}"))
    for name, of in (("README.txt", ""), ("talvenor.exe.sha256", " of the exe")):
        refuse_if(inflate(archive, name, len(wanted[name])) != wanted[name],
                  f"{name} is not what this checkout makes{of}")
    refuse_if(pack_zip.pack(wanted, int(git("log", "-1", "--format=%ct", commit))) != data,
              "the zip's bytes are not what the packer makes of its entries at the commit's time")
    signature = release_signature.signature_in(exe)
    refuse_if(signature is None and (ca or tsa_ca),
              "talvenor.exe is unsigned, and a CA was named to check its signature by")
    words = "unsigned" if signature is None else release_signature.check_signature(
        exe, signature, ca, tsa_ca)
    accepted = f"matches this checkout byte for byte (commit {commit}), {words}"

    release = record["debian"].partition(" ")[2]
    if release != pack_zip.debian_release().partition(" ")[2]:
        in_root_of(release, zip_path, ca, tsa_ca)
        return accepted
    built, built_version = clean_build(commit, builds)
    refuse_if(version != built_version,
              f"the zip records version {version}; HEAD builds {built_version}")
    refuse_if(record["debian"] != pack_zip.debian_release(), f"the zip records Debian"
              f" {record['debian']}; this machine is {pack_zip.debian_release()}")
    for name, here in pack_zip.toolchain().items():
        if record[name] != here:
            print(f"note: {name}: the zip records {record[name]}, this machine has {here};"
                  " the bytes decide", flush=True)
    # The shipped table put back as a signing tool puts it, and nothing else
    # changed: osslsigncode remove-signature would write the checksum anew,
    # so that a forged one would come back equal to the build.
    refuse_if(signature is None and exe != built, "talvenor.exe is not what this checkout builds")
    refuse_if(signature is not None and release_signature.with_signature(built, signature) != exe,
              "talvenor.exe is not this checkout's build with its signature block put back")
    return accepted


class Arguments(argparse.ArgumentParser):
    def error(self, message):
        raise CannotCheck(f"{message} ({self.format_usage().strip()})")


def main():
    parser = Arguments(prog="check-release", allow_abbrev=False, add_help=False)
    for argument in ("zip", "--ca", "--tsa-ca"):
        parser.add_argument(argument)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "check"))
    name = None
    try:
        options = parser.parse_args()
        name = os.path.basename(os.path.abspath(options.zip))
        for what, path in (("zip", options.zip), ("CA file", options.ca),
                           ("timestamp CA file", options.tsa_ca)):
            if path is not None and not os.path.isfile(path):
                raise CannotCheck(f"there is no {what} {path}")
            # The caller's mistake, not the zip's: found here, by what the
            # file holds, never by osslsigncode's words on it.
            if path is not None and what != "zip" and not release_signature.holds_certificate(path):
                raise CannotCheck(f"the {what} {path} holds no certificate; name the CA's"
                                  " certificates in PEM")
        accepted = check(options.zip, options.ca, options.tsa_ca,
                         os.path.abspath(options.build_dir))
    except (Refused, CannotCheck) as answer:
        return verdict(REFUSED if isinstance(answer, Refused) else CANNOT_CHECK, name, str(answer))
    except OSError as error:
        # A read that fails names no file: the zip's own.
        return verdict(CANNOT_CHECK, name, f"cannot read {error.filename or name}:"
                       f" {error.strerror}")
    except Exception as error:  # a fault of the checker's own, never an answer on the zip
        return verdict(CANNOT_CHECK, name, f"the checker failed ({type(error).__name__}:"
                       f" {error}); report it")
    return verdict(ACCEPTED, name, accepted)


if __name__ == "__main__":
    sys.exit(main())
