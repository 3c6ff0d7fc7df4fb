#!/usr/bin/env python3
"""pack_zip.py STAGE EPOCH: writes STAGE/README.txt and packs STAGE.zip.

STAGE already holds talvenor.exe and talvenor.exe.sha256. README.txt is
scripts/README.txt.in with the README's table of outputs and exit statuses
put in, in plain text with Windows line ends. The zip's entries go in a fixed
order, all with the time EPOCH (seconds since 1970, UTC) and no attributes
of the machine that packed them, so that the same inputs always give the
same bytes.
"""
import os
import re
import sys
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTRIES = ("talvenor.exe", "README.txt", "talvenor.exe.sha256")
TABLE_HEADING = "## What it prints, and its exit status"


def outputs_table(readme):
    """The rows of the README's table of outputs, as (run, prints, status)."""
    lines = readme[readme.index(TABLE_HEADING):].splitlines()
    rows = []
    for line in lines[1:]:
        if rows and not line.startswith("|"):
            break
        if line.startswith("|") and not line.startswith("|---"):
            cells = [re.sub(r"`([^`]*)`", r"\1", c.strip()) for c in line.strip("|").split("|")]
            run, out, err, status = cells
            rows.append((run, out or err or "nothing", status))
    return rows[1:]  # the heading row aside


def plain_table(rows):
    rows = [("Run", "Status", "Prints")] + [(run, status, prints) for run, prints, status in rows]
    widths = [max(len(row[i]) for row in rows) for i in range(2)]
    return "\n".join(f"{run:<{widths[0]}}  {status:<{widths[1]}}  {prints}".rstrip()
                     for run, status, prints in rows)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    stage, epoch = argv[1], int(argv[2])
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as file:
        table = plain_table(outputs_table(file.read()))
    with open(os.path.join(ROOT, "scripts", "README.txt.in"), encoding="utf-8") as file:
        text = file.read().replace("@TABLE@", table)
    with open(os.path.join(stage, "README.txt"), "wb") as file:
        file.write(text.replace("\n", "\r\n").encode("ascii"))

    stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
    with zipfile.ZipFile(stage + ".zip", "w") as archive:
        for name in ENTRIES:
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 0  # MS-DOS: no Unix owner or mode
            entry.external_attr = 0
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(stage, name), "rb") as file:
                archive.writestr(entry, file.read(), compresslevel=9)


if __name__ == "__main__":
    main(sys.argv)
