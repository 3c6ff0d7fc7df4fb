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
answers (release_verdict.py).
"""
import argparse
import os
import sys

from tooling import pack_zip
from tooling.release_build import (ROOT, clean_build, git, head_file, in_root_of,
                                   supported_releases, this_release)
from tooling.release_container import LARGEST_RECORD, inflate, read_entries, read_record
from tooling.release_signature import (SIGNATURE_ROOM, check_against_build, check_signature,
                                       holds_certificate, signature_in)
from tooling.release_verdict import (ACCEPTED, CANNOT_CHECK, REFUSED, CannotCheck,
                                     Refused, refuse_if, say, verdict)

# Far above any release (about 14 KB), far below anything that strains memory.
LARGEST_ZIP = 1 << 20
# The exe, known before the build: four times the program's 17 KB, and room for
# its signature. A signature's structure costs memory for each of its parts.
LARGEST_EXE = (64 << 10) + SIGNATURE_ROOM
BUILDS = os.path.join(ROOT, "build", "check")


def check(zip_path, ca, tsa_ca, builds):
    """The verdict's words on an accepted zip. The checks that need no build
    come first, the costly ones last."""
    refuse_if(os.path.getsize(zip_path) > LARGEST_ZIP,
              f"the zip is larger than any release ({LARGEST_ZIP} bytes)")
    with open(zip_path, "rb") as file:
        data = file.read(LARGEST_ZIP + 1)
    archive = read_entries(data)
    record = read_record(inflate(archive, "BUILDINFO.txt", LARGEST_RECORD), supported_releases())
    commit = git("rev-parse", "HEAD")
    refuse_if(record["commit"] != commit,
              f"the zip records commit {record['commit']}; this checkout's HEAD is {commit}")
    version = record["talvenor"]  # until the build says which version HEAD is
    exe = inflate(archive, "talvenor.exe", LARGEST_EXE)
    wanted = pack_zip.contents(exe, version, record, head_file)
    for name, of in (("README.txt", ""), ("talvenor.exe.sha256", " of the exe")):
        refuse_if(inflate(archive, name, len(wanted[name])) != wanted[name],
                  f"{name} is not what this checkout makes{of}")
    refuse_if(pack_zip.pack(wanted, int(git("log", "-1", "--format=%ct", commit))) != data,
              "the zip's bytes are not what the packer makes of its entries at the commit's time")
    signature = signature_in(exe)
    refuse_if(signature is None and (ca or tsa_ca),
              "talvenor.exe is unsigned, and a CA was named to check its signature by")
    words = "unsigned" if signature is None else check_signature(exe, signature, ca, tsa_ca)
    accepted = f"matches this checkout byte for byte (commit {commit}), {words}"

    release = record["debian"].partition(" ")[2]
    if release != this_release():
        in_root_of(release, zip_path, ca, tsa_ca)
        return accepted
    built, built_version = clean_build(commit, builds)
    refuse_if(version != built_version,
              f"the zip records version {version}; HEAD builds {built_version}")
    refuse_if(record["debian"] != pack_zip.debian_release(), f"the zip records Debian"
              f" {record['debian']}; this machine is {pack_zip.debian_release()}")
    for name, here in pack_zip.toolchain().items():
        if record[name] != here:
            say(f"note: {name}: the zip records {record[name]}, this machine has {here};"
                " the bytes decide")
    check_against_build(exe, signature, built)
    return accepted


class Arguments(argparse.ArgumentParser):
    def error(self, message):
        raise CannotCheck(f"{message} ({self.format_usage().strip()})")


def main():
    # Without --help, argparse prints no help; its usage line is in every error.
    parser = Arguments(prog="check-release", allow_abbrev=False, add_help=False)
    for argument in ("zip", "--ca", "--tsa-ca"):
        parser.add_argument(argument)
    parser.add_argument("--build-dir", default=BUILDS)
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
            if path is not None and what != "zip" and not holds_certificate(path):
                raise CannotCheck(f"the {what} {path} holds no certificate; name the CA's"
                                  " certificates in PEM")
        # The build folder, which git is told from the checkout; the rest are
        # read where the caller names them.
        accepted = check(options.zip, options.ca, options.tsa_ca,
                         os.path.abspath(options.build_dir))
    except Refused as refused:
        return verdict(REFUSED, name, str(refused))
    except CannotCheck as cannot:
        return verdict(CANNOT_CHECK, name, str(cannot))
    except OSError as error:
        return verdict(CANNOT_CHECK, name, f"cannot read {error.filename}: {error.strerror}")
    except Exception as error:  # a fault of the checker's own, never an answer on the zip
        return verdict(CANNOT_CHECK, name, f"the checker failed ({type(error).__name__}:"
                       f" {error}); report it")
    return verdict(ACCEPTED, name, accepted)


if __name__ == "__main__":
    sys.exit(main())
