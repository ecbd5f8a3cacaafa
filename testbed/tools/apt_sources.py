"""The machine's own apt sources, which the testbed's fetches take Debian's
archive from (without changing them)."""

import os

SYSTEM_SOURCES = ("/etc/apt/sources.list", "/etc/apt/sources.list.d")


def source_files(sources=SYSTEM_SOURCES):
    """The paths of apt's source files: the one-line-format list, then the
    folder's .list and .sources files in name order."""
    listing, folder = sources
    paths = [listing] if os.path.isfile(listing) else []
    if os.path.isdir(folder):
        paths += [os.path.join(folder, name) for name in sorted(os.listdir(folder))
                  if name.endswith((".list", ".sources"))]
    return paths
