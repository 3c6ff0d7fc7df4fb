"""pack_zip.py STAGE VERSION: writes STAGE/README.txt, STAGE/talvenor.exe.sha256
and STAGE/BUILDINFO.txt beside STAGE/talvenor.exe, and packs the four into STAGE.zip.
pack_zip.py --epoch: prints the time the zip's entries carry.

README.txt is tooling/README.txt.in with the version, and README.md's table of
outputs and its deliberate behaviours, put in as plain text with Windows line
ends. BUILDINFO.txt records what the exe was built from: the commit, the Debian
release and the versions of the packages that make the exe's bytes, so that
anyone can build it again and compare (scripts/check-release). The entries go
in a fixed order, all with one time and no attributes of the machine that
packed them, so that the same entries and time always give the same bytes
(pack(), which check-release uses too). That time is SOURCE_DATE_EPOCH
(seconds since 1970, UTC), else the commit's, else 1980-01-01, where zip
times start.
"""
import hashlib
import io
import os
import pathlib
import platform
import re
import sys
import textwrap
import time
import zipfile

from tooling.release_steps import ROOT, CannotCheck, quick

ENTRIES = ("talvenor.exe", "README.txt", "talvenor.exe.sha256", "BUILDINFO.txt")
# The packages whose versions decide the exe's bytes: the compiler, binutils
# and the mingw-w64 runtime and headers.
TOOLCHAIN = ("g++-mingw-w64-i686-win32", "gcc-mingw-w64-i686-win32", "binutils-mingw-w64-i686",
             "mingw-w64-i686-dev", "mingw-w64-common")
ZIP_EPOCH = 315532800  # 1980-01-01


def run(*argv):
    """What the command prints, run as the check runs its steps
    (release_steps.quick), so that both ask alike; or "" where it fails, is
    missing or runs out of time, for a record that then says "unknown" or
    "not installed" rather than a packing that stops."""
    try:
        return quick(argv, argv[0]).strip()
    except CannotCheck:
        return ""


def source_date_epoch():
    return int(os.environ.get("SOURCE_DATE_EPOCH") or run("git", "log", "-1", "--format=%ct")
               or ZIP_EPOCH)


def outputs_table(readme):
    """README.md's table of outputs as plain text: run, status, what it prints."""
    section = readme[readme.index("## What it prints, and its exit status"):].split("\n\n")[1]
    rows = [("Run", "Status", "Prints")]
    for line in section.splitlines()[2:]:  # the heading row and the rule aside
        run, out, err, status = (re.sub(r"`([^`]*)`", r"\1", cell.strip())
                                 for cell in line.strip("|").split("|"))
        rows.append((run, status, out or err or "nothing"))
    widths = [max(len(row[i]) for row in rows) for i in range(2)]
    return "\n".join(f"{run:<{widths[0]}}  {status:<{widths[1]}}  {prints}".rstrip()
                     for run, status, prints in rows)


def deliberate_behaviours(readme):
    """README.md's paragraph on the deliberate behaviours and its numbered list,
    as plain text."""
    block = readme[readme.index("Three behaviours are deliberate"):].split("\n\n")
    paragraphs = [block[0]] + re.split(r"\n(?=\d\. )", block[1])
    text = []
    for paragraph in paragraphs:
        words = re.sub(r"`([^`]*)`", r'"\1"', " ".join(paragraph.split()))  # as plain text
        indent = "   " if re.match(r"\d\. ", words) else ""
        text.append(textwrap.fill(words, 76, subsequent_indent=indent, break_on_hyphens=False))
    return "\n".join(text[:1] + [""] + text[1:])


def build_record(version):
    """BUILDINFO.txt's lines, "name: value", as a dict: this checkout's and
    this machine's."""
    commit = run("git", "rev-parse", "HEAD") or "unknown"
    if commit != "unknown" and run("git", "status", "--porcelain"):
        commit += " with changes not committed"
    return {"talvenor": version, "commit": commit, "debian": debian_release(), **toolchain()}


def debian_release():
    """This machine's Debian release as the record names it: "12 bookworm"."""
    try:
        release = platform.freedesktop_os_release()
    except OSError:
        return "unknown"
    found = [release[key] for key in ("VERSION_ID", "VERSION_CODENAME") if release.get(key)]
    return " ".join(found) or "unknown"


def toolchain():
    """The version of each package of TOOLCHAIN on this machine: the record's,
    and the check's to compare with it."""
    return {package: run("dpkg-query", "-W", "-f=${Version}", package) or "not installed"
            for package in TOOLCHAIN}


def checksum_text(exe):
    return f"{hashlib.sha256(exe).hexdigest()}  talvenor.exe\n".encode()


def contents(exe, version, record,
             source=lambda path: pathlib.Path(ROOT, path).read_text(encoding="utf-8")):
    """Every entry of the zip, by name, for the exe's bytes and the record:
    README.txt from README.md and its template as SOURCE(path) gives them (by
    default this checkout's files), and BUILDINFO.txt's "name: value" lines,
    both with Windows line ends."""
    readme, template = source("README.md"), source("tooling/README.txt.in")
    title = f"Talvenor {version}"
    texts = {"README.txt": template.replace("@TITLE@", title + "\n" + "=" * len(title))
             .replace("@TABLE@", outputs_table(readme))
             .replace("@DELIBERATE@", deliberate_behaviours(readme)),
             "BUILDINFO.txt": "".join(f"{name}: {value}\n" for name, value in record.items())}
    return {"talvenor.exe": exe, "talvenor.exe.sha256": checksum_text(exe),
            **{name: text.replace("\n", "\r\n").encode("ascii") for name, text in texts.items()}}


def pack(entries, epoch):
    """The zip's bytes: ENTRIES, by name, in their fixed order, at EPOCH."""
    stamp = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w") as archive:
        for name in ENTRIES:
            entry = zipfile.ZipInfo(name, stamp)
            # MS-DOS, with the archive attribute alone: no Unix owner or mode.
            # (Left at 0, zipfile would put in a Unix mode of its own choosing.)
            entry.create_system, entry.external_attr = 0, 0x20
            archive.writestr(entry, entries[name], zipfile.ZIP_DEFLATED, compresslevel=9)
    return packed.getvalue()


if __name__ == "__main__":
    if sys.argv[1:] == ["--epoch"]:
        print(source_date_epoch())
    elif len(sys.argv) != 3:
        sys.exit(__doc__)
    else:
        stage, version = sys.argv[1:]
        entries = contents(pathlib.Path(stage, "talvenor.exe").read_bytes(), version,
                           build_record(version))
        for name, data in entries.items():
            pathlib.Path(stage, name).write_bytes(data)
        pathlib.Path(stage + ".zip").write_bytes(pack(entries, source_date_epoch()))
