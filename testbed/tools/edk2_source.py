#!/usr/bin/env python3
"""Fetches Debian's edk2 source of the installed ovmf package's version, with
EDK II's BaseTools built, into a cache folder; a rerun finds it there. The
EDK II builds that share the folder (the guarded platform, the measurement
module) wait for this one fetch rather than race to fetch it twice.

  edk2_source.py CACHE [--source-version V]"""

import argparse
import sys

import edk2_platform


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cache", help="the folder fetched sources are kept in")
    parser.add_argument("--source-version", help="the edk2 source version (default: the installed ovmf's)")
    args = parser.parse_args()
    try:
        version = args.source_version or edk2_platform.installed_ovmf_version()
        print("edk2_source: %s" % edk2_platform.fetch_source(version, args.cache))
    except (edk2_platform.BuildError, OSError) as error:
        print("edk2_source: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
