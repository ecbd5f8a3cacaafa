#!/usr/bin/env python3
"""Builds EDK II's SMBIOS measurement driver (MdeModulePkg's
SmbiosMeasurementDxe) from the same Debian edk2 source as the guarded
platform, and packs it as a firmware file for Debian's release OVMF, which
has a TPM driver stack but does not list this module.

Only the module is built (`build -m`), RELEASE like the image it joins, in a
workspace of its own with a copy of OVMF's DSC that lists it. TPM2_ENABLE
picks the TPM measurement library: without it the library is the Null
instance and the module would measure nothing, silently. The firmware file
is packed by the product's packaging (packaging/make-ffs), with the
dependency expression the build wrote for the module (the SMBIOS protocol,
and the PCD and device-path protocols its libraries need).

  measurement_module.py --out DIR [--source-cache DIR] [--source-version V]

writes DIR/SmbiosMeasurementDxe.efi and DIR/SmbiosMeasurementDxe.ffs. An
unchanged rerun builds nothing; a failure leaves no file behind and says why."""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import edk2_platform as platform  # noqa: E402
from pi.layout import guid_text, write_whole  # noqa: E402
from pi.sections import DEPEX_AND, DEPEX_END, DEPEX_PUSH  # noqa: E402

NAME = "SmbiosMeasurementDxe"
MODULE = "MdeModulePkg/Universal/SmbiosMeasurementDxe/%s.inf" % NAME
PLATFORM_COPY = "Testbed/OvmfMeasurement"
OUTPUT = "Build/OvmfX64/RELEASE_GCC5/X64/%s/%s/OUTPUT" % (os.path.dirname(MODULE), NAME)
BUILD_OPTIONS = ["-a", "X64", "-t", "GCC5", "-b", "RELEASE", "-n", "2", "-D", "TPM2_ENABLE=TRUE",
                 *platform.BUILD_DEFINES]
COMPONENT_ANCHOR = "  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf"
MAKE_FFS = os.path.join(HERE, "..", "..", "packaging", "make-ffs")
PACKAGING = [MAKE_FFS] + [os.path.join(os.path.dirname(MAKE_FFS), "pi", name)
                          for name in sorted(os.listdir(os.path.join(os.path.dirname(MAKE_FFS), "pi")))
                          if name.endswith(".py")]


def depex_protocols(code):
    """The protocols of a dependency expression that requires all of them,
    in order (EDK II writes the module's and its libraries' as pushes
    followed by ANDs; make-ffs writes the same condition in its own order);
    BuildError for any other form."""
    protocols, depth, offset = [], 0, 0
    while offset < len(code) and code[offset] != DEPEX_END:
        if code[offset] == DEPEX_PUSH and offset + 17 <= len(code):
            protocols.append(guid_text(code[offset + 1:offset + 17]))
            depth, offset = depth + 1, offset + 17
        elif code[offset] == DEPEX_AND and depth >= 2:
            depth, offset = depth - 1, offset + 1
        else:
            break
    if depth != 1 or offset != len(code) - 1 or code[offset] != DEPEX_END:
        raise platform.BuildError("%s's dependency expression %s is not a list of protocols that must all be "
                                  "installed; this source differs from the one the testbed knows"
                                  % (NAME, code.hex()))
    return protocols


def platform_dsc(source):
    """OVMF's DSC with the module in its [Components]."""
    with open(os.path.join(source, platform.PLATFORM + ".dsc")) as handle:
        return platform.add_after(handle.read(), COMPONENT_ANCHOR, ["  " + MODULE],
                                  platform.PLATFORM + ".dsc")


def build(out, version, source_cache=None):
    """Builds what is out of date in `out`; returns True if anything was built."""
    out = os.path.abspath(out)
    os.makedirs(out, exist_ok=True)
    source = platform.fetch_source(version, os.path.abspath(source_cache or os.path.join(out, "source")))
    dsc = platform_dsc(source)
    packaging = [open(path, "rb").read() for path in PACKAGING]
    key = platform.digest(version, dsc, BUILD_OPTIONS, *packaging)
    efi, ffs, key_path = (os.path.join(out, NAME + suffix) for suffix in (".efi", ".ffs", ".key"))
    if all(map(os.path.exists, (efi, ffs, key_path))) and open(key_path).read() == key:
        return False
    for stale in (efi, ffs, key_path):
        if os.path.exists(stale):
            os.remove(stale)
    workspace = os.path.join(out, "workspace")
    platform.write_conf(source, workspace)
    os.makedirs(os.path.join(workspace, os.path.dirname(PLATFORM_COPY)), exist_ok=True)
    write_whole(os.path.join(workspace, PLATFORM_COPY + ".dsc"), dsc.encode())
    env = platform.environment(source, workspace)
    platform.run_logged(["build", "-p", PLATFORM_COPY + ".dsc", "-m", MODULE, *BUILD_OPTIONS],
                        os.path.join(out, "build.log"), "the EDK II build of %s" % NAME, cwd=workspace, env=env)
    built = os.path.join(workspace, OUTPUT)
    with open(os.path.join(built, NAME + ".depex"), "rb") as handle:
        protocols = depex_protocols(handle.read())
    guid = platform.inf_file_guid(os.path.join(source, MODULE))
    packed = os.path.join(out, "packing.ffs")
    platform.run_logged([sys.executable, MAKE_FFS, "--guid", guid, "--name", NAME, "--image",
                         os.path.join(built, NAME + ".efi"), *[word for guid in protocols for word in ("--depends-on", guid)], "-o", packed],
                        os.path.join(out, "make-ffs.log"), "packing %s" % NAME)
    with open(os.path.join(built, NAME + ".efi"), "rb") as handle:
        write_whole(efi, handle.read())
    os.replace(packed, ffs)
    write_whole(key_path, key.encode())
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="the folder for the module, its workspace and the logs")
    parser.add_argument("--source-version", help="the edk2 source version (default: the installed ovmf's)")
    parser.add_argument("--source-cache", help="where fetched sources are kept (default: OUT/source)")
    args = parser.parse_args()
    try:
        version = args.source_version or platform.installed_ovmf_version()
        built = build(args.out, version, args.source_cache)
    except (platform.BuildError, OSError) as error:
        print("measurement_module: %s" % error, file=sys.stderr)
        return 1
    print("measurement_module: edk2 %s, %s RELEASE with TPM2_ENABLE, in %s: %s" % (
        version, NAME, args.out, "built and packed" if built else "nothing to build, the module is up to date"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
