"""The zip that ships: tooling/pack_zip.py over a stage of stand-in files."""
import hashlib
import os
import re
import subprocess
import zipfile

import pytest
from conftest import ROOT

EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC; 2023-11-15 07:13:20 in Tokyo
EXE = b"MZ stand-in for the exe"

TABLE = """\
Run                           Status  Prints\r
no argument                   0       the five usage lines\r
unrecognised first letter     0       nothing\r
s, on                         0       Remote Desktop is enabled. (no line end)\r
s, off                        0       Remote Desktop is disabled. (no line end)\r
e or d, done                  0       Succeeded.\r
COM cannot be initialised     1       Can't initialize COM.\r
the object cannot be created  1       Can't instantiate ShellLocalMachine object.\r
s, the state cannot be read   1       Can't query Remote Desktop state.\r
e, refused                    1       Can't enable Remote Desktop.\r
d, refused                    1       Can't disable Remote Desktop.\r
\r
"""

DELIBERATE = """\
Three behaviours are deliberate, each because the plainer rule would report\r
a failure as something else:\r
\r
1. A run that prints a failure message ends with status 1, not 0, so that a\r
   calling script can tell.\r
2. A state query that fails prints "Can't query Remote Desktop state."\r
   (status 1) instead of reporting Remote Desktop as disabled.\r
3. A failed "d" says "Can't disable Remote Desktop.", not "Can't enable\r
   Remote Desktop.".\r
"""


def pack(folder, timezone):
    """Packs a fresh stage, with one stray file that is not to be shipped."""
    stage = os.path.join(folder, timezone.replace("/", "-"), "talvenor-1.0-win32")
    os.makedirs(stage)
    for name, data in (("talvenor.exe", EXE), ("notes.txt", b"not shipped\n")):
        with open(os.path.join(stage, name), "wb") as file:
            file.write(data)
    subprocess.run(["/usr/bin/python3", "-m", "tooling.pack_zip", stage, "1.0"], cwd=ROOT,
                   env=dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH), TZ=timezone), check=True)
    return stage + ".zip"


@pytest.fixture(scope="module")
def packed(tmp_path_factory):
    return pack(str(tmp_path_factory.mktemp("zip")), "UTC")


def test_entries_in_their_order_with_the_epochs_utc_time_and_no_unix_attributes(packed):
    with zipfile.ZipFile(packed) as archive:
        entries = [(e.filename, e.date_time, e.create_system, e.external_attr)
                   for e in archive.infolist()]
    assert entries == [(name, (2023, 11, 14, 22, 13, 20), 0, 0x20)  # MS-DOS, archive
                       for name in ("talvenor.exe", "README.txt", "talvenor.exe.sha256",
                                    "BUILDINFO.txt")]


def test_the_exe_and_its_checksum(packed):
    with zipfile.ZipFile(packed) as archive:
        assert archive.read("talvenor.exe") == EXE
        assert archive.read("talvenor.exe.sha256").decode() == (
            hashlib.sha256(EXE).hexdigest() + "  talvenor.exe\n")


def test_build_record_names_the_commit_release_and_toolchain(packed):
    with zipfile.ZipFile(packed) as archive:
        record = archive.read("BUILDINFO.txt").decode("ascii")
    assert re.findall(r"\r(?!\n)|(?<!\r)\n", record) == []
    names = [line.split(": ")[0] for line in record.splitlines()]
    assert names == ["talvenor", "commit", "debian", "g++-mingw-w64-i686-win32",
                     "gcc-mingw-w64-i686-win32", "binutils-mingw-w64-i686", "mingw-w64-i686-dev",
                     "mingw-w64-common"]
    assert re.match(r"talvenor: 1\.0\r\n"
                    r"commit: ([0-9a-f]{40}( with changes not committed)?|unknown)\r\n"
                    r"debian: (12 bookworm|13 trixie)\r\n", record)


def test_readme_is_ascii_with_windows_line_ends_and_nothing_left_to_fill_in(packed):
    with zipfile.ZipFile(packed) as archive:
        readme = archive.read("README.txt")
    text = readme.decode("ascii")
    assert re.findall(r"\r(?!\n)|(?<!\r)\n", text) == []
    assert re.findall(r"@\w+@", text) == []
    assert text.startswith("Talvenor 1.0\r\n============\r\n\r\n")


def test_readme_has_the_readmes_table_and_deliberate_behaviours(packed):
    with zipfile.ZipFile(packed) as archive:
        text = archive.read("README.txt").decode("ascii")
    heading = "exit status\r\n" + "-" * 35 + "\r\n\r\n"
    table = text[text.index(heading) + len(heading):]
    assert table[:len(TABLE)] == TABLE
    assert text[text.index("Three behaviours"):][:len(DELIBERATE)] == DELIBERATE


def test_the_same_bytes_in_any_time_zone(packed, tmp_path):
    with open(packed, "rb") as utc, open(pack(str(tmp_path), "JST-9"), "rb") as tokyo:
        assert utc.read() == tokyo.read()
