#!/usr/bin/env python3
"""Fetches another Debian release's ovmf package, by version, and keeps its
release firmware (the code image and its variable store) in a folder of the
build tree; a rerun finds them there and fetches nothing.

apt runs with a configuration of its own: one `deb` entry for that release
on the archive the system's own sources name, checked with the keyring they
name, with its own lists, cache, preferences and an empty package status.
The system's sources, lists and installed packages stay as they are, and
nothing is installed: the package is unpacked with `dpkg-deb -x`.

  ovmf_release.py OUT --suite trixie --version 2025.02-8+deb13u1

writes OUT/OVMF_CODE_4M.fd, OUT/OVMF_VARS_4M.fd and, last, OUT/version.
A failure says why, with apt's last lines, and leaves no version file."""

import argparse
import hashlib
import os
import shutil
import sys
import tempfile

import apt_sources
import logged_run

SYSTEM_SOURCES = apt_sources.SYSTEM_SOURCES
OS_RELEASE = "/etc/os-release"
FIRMWARE = ("OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd")
PACKAGE_FOLDER = "usr/share/OVMF"


class FetchError(Exception):
    pass


def system_codename():
    with open(OS_RELEASE) as handle:
        for line in handle:
            key, _, value = line.strip().partition("=")
            if key == "VERSION_CODENAME" and value:
                return value.strip('"')
    raise FetchError("%s names no VERSION_CODENAME" % OS_RELEASE)


def deb_entries(path):
    """(URIs, suites, signed-by or None) of every `deb` entry of one sources
    file, in either format."""
    with open(path) as handle:
        text = handle.read()
    entries = []
    if path.endswith(".sources"):
        for stanza in text.split("\n\n"):
            fields, key = {}, None
            for line in stanza.split("\n"):
                if line.startswith("#") or not line.strip():
                    continue
                if line[0] in " \t" and key:      # a continued field (an inline key)
                    fields[key] += "\n" + line.strip()
                    continue
                key, _, value = line.partition(":")
                key = key.strip().lower()
                fields[key] = value.strip()
            if "deb" in fields.get("types", "").split() and fields.get("enabled", "yes") != "no":
                entries.append((fields.get("uris", "").split(), fields.get("suites", "").split(),
                                fields.get("signed-by")))
        return entries
    for line in text.split("\n"):
        words = line.split("#")[0].split()
        if not words or words[0] != "deb":
            continue
        options = {}
        if len(words) > 1 and words[1].startswith("["):
            closing = next((i for i, word in enumerate(words) if word.endswith("]")), None)
            if closing is None:
                continue
            option_text = " ".join(words[1:closing + 1])[1:-1]
            options = dict(part.partition("=")[::2] for part in option_text.split())
            words = [words[0]] + words[closing + 1:]
        if len(words) >= 3:
            entries.append(([words[1]], [words[2]], options.get("signed-by")))
    return entries


def archive_entry(suite):
    """A deb822 entry for `suite`'s main component on the archive the
    system's own entry for its own release names, with the same keyring."""
    codename = system_codename()
    paths = apt_sources.source_files(SYSTEM_SOURCES)
    for path in paths:
        for uris, suites, signed_by in deb_entries(path):
            if codename in suites and uris:
                lines = ["Types: deb", "URIs: " + uris[0], "Suites: " + suite, "Components: main"]
                # An inline key (several lines) stays where apt finds it: the
                # system's trusted keys, which apt reads in any case.
                if signed_by and "\n" not in signed_by:
                    lines.append("Signed-By: " + signed_by)
                return "\n".join(lines) + "\n"
    raise FetchError("no `deb` entry for %s in the system's apt sources (%s) to take the archive from"
                     % (codename, ", ".join(paths) or "none"))


def run_logged(command, log, what, **options):
    """Runs one fetch step with its output added to `log`; FetchError with the
    log's last lines if it fails."""
    logged_run.run_logged(command, log, what, "ovmf_release", FetchError, mode="a", **options)


def apt_options(folder):
    """apt confined to `folder`: nothing of the system's but its keyrings."""
    for name in ("sources", "preferences", "lists/partial", "cache/archives/partial", "state"):
        os.makedirs(os.path.join(folder, name), exist_ok=True)
    status = os.path.join(folder, "state", "status")
    open(status, "w").close()
    settings = {
        "Dir::Etc::SourceList": "/dev/null", "Dir::Etc::SourceParts": os.path.join(folder, "sources"),
        "Dir::Etc::Preferences": "/dev/null", "Dir::Etc::PreferencesParts": os.path.join(folder, "preferences"),
        "Dir::State": os.path.join(folder, "state"), "Dir::State::Lists": os.path.join(folder, "lists"),
        "Dir::State::status": status, "Dir::Cache": os.path.join(folder, "cache"),
        "APT::Sandbox::User": "root", "Acquire::Languages": "none",
    }
    return [word for key, value in settings.items() for word in ("-o", "%s=%s" % (key, value))]


def fetched(out, version):
    try:
        with open(os.path.join(out, "version")) as handle:
            held = handle.read().strip()
    except FileNotFoundError:
        return False
    return held == version and all(os.path.isfile(os.path.join(out, name)) for name in FIRMWARE)


def fetch(out, suite, version):
    """OUT's firmware files of ovmf `version` from `suite`, fetched unless
    OUT already holds them."""
    if fetched(out, version):
        print("ovmf_release: ovmf %s already in %s" % (version, out))
        return
    os.makedirs(out, exist_ok=True)
    for name in ("version",) + FIRMWARE:
        if os.path.exists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    log = os.path.join(out, "fetch.log")
    open(log, "w").close()
    with tempfile.TemporaryDirectory(prefix="fetch-", dir=out) as scratch:
        apt = os.path.join(scratch, "apt")
        options = apt_options(apt)
        with open(os.path.join(apt, "sources", suite + ".sources"), "w") as handle:
            handle.write(archive_entry(suite))
        run_logged(["apt-get", *options, "update"], log, "apt-get update (%s, an apt configuration of our own)"
                   % suite)
        run_logged(["apt-get", *options, "download", "ovmf=" + version], log, "downloading ovmf %s" % version,
                   cwd=scratch)
        package = [name for name in os.listdir(scratch) if name.endswith(".deb")]
        if len(package) != 1:
            raise FetchError("apt-get download left %d packages, expected 1" % len(package))
        unpacked = os.path.join(scratch, "unpacked")
        run_logged(["dpkg-deb", "-x", os.path.join(scratch, package[0]), unpacked], log, "unpacking " + package[0])
        for name in FIRMWARE:
            source = os.path.join(unpacked, PACKAGE_FOLDER, name)
            if not os.path.isfile(source):
                raise FetchError("ovmf %s holds no %s/%s" % (version, PACKAGE_FOLDER, name))
            shutil.copyfile(source, os.path.join(out, name))
    for name in FIRMWARE:
        with open(os.path.join(out, name), "rb") as handle:
            print("ovmf_release: %s SHA-256 %s" % (name, hashlib.sha256(handle.read()).hexdigest()))
    with open(os.path.join(out, "version"), "w") as handle:
        handle.write(version + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", help="the folder the firmware files are kept in")
    parser.add_argument("--suite", required=True, help="the Debian release to fetch from (e.g. trixie)")
    parser.add_argument("--version", required=True, help="the ovmf package's version")
    args = parser.parse_args()
    try:
        fetch(os.path.abspath(args.out), args.suite, args.version)
    except (FetchError, OSError) as error:
        print("ovmf_release: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
