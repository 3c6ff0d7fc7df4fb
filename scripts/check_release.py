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
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import pack_zip  # noqa: E402
from release_build import (clean_build, git, in_root_of, supported_releases,  # noqa: E402
                           this_release)
from release_container import LARGEST_RECORD, inflate, read_entries, read_record  # noqa: E402
from release_signature import (SIGNATURE_ROOM, check_against_build,  # noqa: E402
                               check_signature, signature_in)
from release_verdict import Refused, say  # noqa: E402

# Far above any release (about 25 KB), far below anything that strains memory.
LARGEST_ZIP = 16 << 20


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
    signature = signature_in(exe)
    check_against_build(exe, built)
    verdict = "unsigned"
    if signature is None and (ca or tsa_ca):
        raise Refused("talvenor.exe is unsigned, and a CA was named to check its signature by")
    if signature is not None:
        verdict = check_signature(exe, signature, ca, tsa_ca)
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
