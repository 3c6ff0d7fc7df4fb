"""The checkout's own build of a commit, and the bare roots of the other
Debian releases, where a zip built there is checked."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pack_zip
from release_verdict import Refused, say

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
