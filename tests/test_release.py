"""The signed release: scripts/dist signing with a key on a token, and
scripts/check-release accepting the genuine zip and refusing altered ones."""
import glob
import hashlib
import os
import re
import subprocess
import zipfile

import pefile
import pytest
import signing
from conftest import ROOT, built
from test_end_to_end import CASES, run

pytestmark = pytest.mark.platforms("wine32")

CHECK_RELEASE = os.path.join(ROOT, "scripts", "check-release")


def osslsigncode(release, *args):
    return subprocess.run(["osslsigncode", *args], env=release.env, capture_output=True,
                          text=True)


def test_signed_exe_verifies_with_its_timestamp_and_is_the_build_without_its_signature(
        release, pytestconfig, tmp_path):
    ca = os.path.join(release.folder, "ca.pem")
    verified = osslsigncode(release, "verify", "-CAfile", ca, "-TSA-CAfile", ca,
                            "-in", release.exe)
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


def unsigned(entries, release, folder):
    path = os.path.join(folder, "unsigned.exe")
    osslsigncode(release, "remove-signature", "-in", release.exe, "-out", path)
    with open(path, "rb") as exe:
        entries["talvenor.exe"] = exe.read()


def built_from_another_commit(entries, release, folder):
    entries["BUILDINFO.txt"] = re.sub(rb"commit: [^\r]*", b"commit: " + b"0" * 40,
                                      entries["BUILDINFO.txt"])


def changed_readme(entries, release, folder):
    entries["README.txt"] = entries["README.txt"].replace(b"Commands\r\n", b"Commandos\r\n", 1)


def code_changed_and_signed_again(entries, release, folder):
    unsigned(entries, release, folder)
    code = bytearray(entries["talvenor.exe"])
    [text] = [s for s in pefile.PE(data=bytes(code)).sections if s.Name.startswith(b".text")]
    code[text.PointerToRawData + 16] ^= 0xFF
    changed, signed = os.path.join(folder, "changed.exe"), os.path.join(folder, "signed.exe")
    with open(changed, "wb") as exe:
        exe.write(code)
    signed_again = osslsigncode(
        release, "sign", "-certs", os.path.join(release.folder, "chain.pem"),
        "-key", signing.TOKEN_KEY, "-pkcs11module", signing.SOFTHSM_MODULE,
        "-readpass", os.path.join(release.folder, "pin"), "-h", "sha256", "-n", "Talvenor",
        "-in", changed, "-out", signed)
    assert signed_again.returncode == 0, signed_again.stderr
    with open(signed, "rb") as exe:
        entries["talvenor.exe"] = exe.read()


def damaged_signature(entries, release, folder):
    exe = bytearray(entries["talvenor.exe"])
    security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    signature = pefile.PE(data=bytes(exe)).OPTIONAL_HEADER.DATA_DIRECTORY[security]
    # The signer's RSA-2048 value: the signature's first 256-byte OCTET STRING.
    value = exe.index(bytes.fromhex("04820100"), signature.VirtualAddress) + 4
    exe[value + 128] ^= 0x01
    entries["talvenor.exe"] = bytes(exe)


@pytest.mark.parametrize("alter, status, verdict", [
    pytest.param(None, 0, "signed by /CN=Talvenor Test signer, timestamped ", id="genuine"),
    pytest.param(unsigned, 0, "), unsigned\n", id="genuine unsigned"),
    pytest.param(built_from_another_commit, 1, "differs: commit: the zip records "
                 "0000000000000000000000000000000000000000, this checkout", id="another commit"),
    pytest.param(changed_readme, 1, "FAIL: README.txt is not what this checkout builds",
                 id="readme line changed"),
    pytest.param(code_changed_and_signed_again, 1,
                 "FAIL: talvenor.exe is not what this checkout builds",
                 id="code changed and signed again"),
    pytest.param(damaged_signature, 1, "FAIL: signature does not verify",
                 id="damaged signature"),
])
def test_check_release(release, tmp_path, alter, status, verdict):
    """Each altered zip keeps a checksum that fits its exe: only the check
    behind it may find the change."""
    with zipfile.ZipFile(release.zip) as archive:
        entries = {name: archive.read(name) for name in archive.namelist()}
    zip_path = str(tmp_path / "talvenor-1.0-win32.zip")
    if alter:
        alter(entries, release, str(tmp_path))
        entries["talvenor.exe.sha256"] = (
            hashlib.sha256(entries["talvenor.exe"]).hexdigest() + "  talvenor.exe\n").encode()
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name, data in entries.items():
            archive.writestr(name, data)
    checked = subprocess.run([CHECK_RELEASE, zip_path, "--ca",
                              os.path.join(release.folder, "ca.pem")],
                             env=release.env, capture_output=True, text=True)
    release.outputs.append(checked.stdout + checked.stderr)
    assert (checked.returncode, verdict in checked.stdout) == (status, True), checked.stdout
    assert checked.stdout.splitlines()[-1].startswith(
        "check-release: ACCEPTED: " if status == 0 else "check-release: REFUSED: ")


def test_a_signing_that_fails_leaves_no_zip(release, tmp_path):
    wrong_pin = tmp_path / "wrong-pin"
    wrong_pin.write_text("000000\n")
    failed = subprocess.run([*release.dist, "--pin-file", str(wrong_pin)], env=release.env,
                            capture_output=True, text=True)
    release.outputs.append(failed.stdout + failed.stderr)
    assert failed.returncode != 0
    assert glob.glob(os.path.join(ROOT, "build", "win32", "dist", "*.zip")) == []


def test_pin_appears_in_no_output_command_line_or_build_file(release):
    with open(os.path.join(release.folder, "command-lines")) as file:
        seen = release.outputs + [file.read()]
    for folder, _, names in os.walk(os.path.join(ROOT, "build", "win32", "dist")):
        for name in names:
            with open(os.path.join(folder, name), "rb") as file:
                seen.append(file.read().decode("latin-1"))
    assert [text for text in seen if signing.PIN in text] == []
