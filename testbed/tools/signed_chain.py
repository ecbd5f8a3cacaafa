#!/usr/bin/env python3
"""Lays out the boot disks of the Secure Boot boots: Debian's signed boot
chain (shim signed by Microsoft's UEFI CA, GRUB and the cloud kernel signed
by Debian) on a FAT ESP, as a board with Microsoft's keys boots Debian.

The two packages are downloaded with `apt-get download` into a cache and
unpacked with `dpkg-deb -x`; nothing is installed on the host, and the
system's boot files stay as they are. A rerun downloads nothing.

  signed_chain.py --out DIR --guest GUEST_DIR --unsigned EFI

writes DIR/esp-signed.img:
  /EFI/BOOT/BOOTX64.EFI    shimx64.efi.signed       (shim-signed)
  /EFI/BOOT/grubx64.efi    grubx64.efi.signed       (grub-efi-amd64-signed)
  /EFI/BOOT/grub.cfg, /EFI/debian/grub.cfg   start /vmlinuz with /initrd.img
  /vmlinuz, /initrd.img    the prepared Linux guest (../linux/prepare)
and DIR/esp-unsigned.img, the same but for BOOTX64.EFI, which is EFI (an
image nobody signed): a firmware that enforces Secure Boot must refuse it.
DIR/chain.txt names the packages and versions used."""

import argparse
import glob
import os
import shutil
import subprocess
import sys

import linux_guest

# Package: the file in it that goes on the ESP.
PACKAGES = {
    "shim-signed": "usr/lib/shim/shimx64.efi.signed",
    "grub-efi-amd64-signed": "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed",
}
# Debian's signed GRUB reads grub.cfg from its prefix (/EFI/debian) or,
# without one there, beside itself.
GRUB_CONFIG = """set timeout=0
linux /vmlinuz console=ttyS0 rdinit=/init panic=-1
initrd /initrd.img
boot
"""
ESP_MEGABYTES = 64


class ChainError(Exception):
    pass


def run(command, what, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, errors="replace")
    if result.returncode != 0:
        raise ChainError("%s failed (status %d): %s" % (what, result.returncode,
                                                        (result.stderr or result.stdout).strip()[-800:]))
    return result.stdout


def fetch(package, cache):
    """The unpacked tree of `package`, downloaded and unpacked once."""
    debs = os.path.join(cache, "debs")
    os.makedirs(debs, exist_ok=True)
    found = sorted(glob.glob(os.path.join(debs, package + "_*.deb")))
    if not found:
        # As root without apt's sandbox user, who cannot write into our tree.
        run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root", package],
            "apt-get download %s (apt-get update may be needed)" % package, cwd=debs)
        found = sorted(glob.glob(os.path.join(debs, package + "_*.deb")))
        if not found:
            raise ChainError("apt-get download %s gave no .deb" % package)
    deb = found[-1]
    tree = os.path.join(cache, "extract", os.path.basename(deb)[:-4])
    if not os.path.exists(os.path.join(tree, ".unpacked")):
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(tree)
        run(["dpkg-deb", "-x", deb, tree], "dpkg-deb -x %s" % deb)
        open(os.path.join(tree, ".unpacked"), "w").close()
    return tree, os.path.basename(deb)


def make_esp(path, files):
    """A FAT image holding `files` ({path on the ESP: host path}), written
    whole under a temporary name first."""
    partial = path + ".partial"
    if os.path.exists(partial):
        os.remove(partial)
    run(["mformat", "-C", "-i", partial, "-T", str(ESP_MEGABYTES * 2048), "-h", "16", "-s", "32",
         "-v", "ESP", "::"], "mformat")
    for folder in ("::EFI", "::EFI/BOOT", "::EFI/debian"):
        run(["mmd", "-i", partial, folder], "mmd " + folder)
    for target, source in sorted(files.items()):
        run(["mcopy", "-i", partial, source, "::" + target], "mcopy " + target)
    os.replace(partial, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="folder for the ESP images and the download cache")
    parser.add_argument("--guest", required=True, help="folder of the prepared Linux guest")
    parser.add_argument("--unsigned", required=True, help="an unsigned EFI application for the refused ESP")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    try:
        os.makedirs(out, exist_ok=True)
        chain, names = {}, []
        for package, member in PACKAGES.items():
            tree, deb = fetch(package, os.path.join(out, "cache"))
            chain[package] = os.path.join(tree, member)
            if not os.path.isfile(chain[package]):
                raise ChainError("%s holds no %s" % (deb, member))
            names.append(deb)
        guest = linux_guest.guest_files(args.guest)
        if not os.path.isfile(args.unsigned):
            raise ChainError("missing %s" % args.unsigned)
        config = os.path.join(out, "grub.cfg")
        with open(config, "w") as handle:
            handle.write(GRUB_CONFIG)
        common = {"EFI/BOOT/grubx64.efi": chain["grub-efi-amd64-signed"], "EFI/BOOT/grub.cfg": config,
                  "EFI/debian/grub.cfg": config, "vmlinuz": guest["vmlinuz"], "initrd.img": guest["initrd.img"]}
        make_esp(os.path.join(out, "esp-signed.img"), dict(common, **{"EFI/BOOT/BOOTX64.EFI": chain["shim-signed"]}))
        make_esp(os.path.join(out, "esp-unsigned.img"), dict(common, **{"EFI/BOOT/BOOTX64.EFI": args.unsigned}))
        with open(os.path.join(out, "chain.txt"), "w") as handle:
            handle.write("".join(name + "\n" for name in names))
    except (ChainError, OSError) as error:
        print("signed_chain: %s" % error, file=sys.stderr)
        return 1
    print("signed_chain: %s and esp-unsigned.img from %s" % (os.path.join(out, "esp-signed.img"), ", ".join(names)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
