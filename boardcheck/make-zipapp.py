"""Packs the board check as one file for a board: a zip application of the
boardcheck package whose __main__ runs the check (python3 board-check.pyz).
Usage: make-zipapp.py OUT.pyz SOURCE.py..."""

import os
import sys
import zipfile

MAIN = b"import sys\nfrom boardcheck import check\nsys.exit(check.main())\n"


def main():
    out, sources = sys.argv[1], sys.argv[2:]
    partial = out + ".partial"
    with open(partial, "wb") as handle:
        handle.write(b"#!/usr/bin/env python3\n")
        with zipfile.ZipFile(handle, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(zipfile.ZipInfo("__main__.py", (1980, 1, 1, 0, 0, 0)), MAIN)
            for source in sorted(sources):
                with open(source, "rb") as code:
                    # A fixed time stamp: the same sources give the same bytes.
                    info = zipfile.ZipInfo("boardcheck/" + os.path.basename(source), (1980, 1, 1, 0, 0, 0))
                    archive.writestr(info, code.read())
    os.chmod(partial, 0o755)
    os.replace(partial, out)


if __name__ == "__main__":
    main()
