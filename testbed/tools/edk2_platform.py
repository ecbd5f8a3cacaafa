#!/usr/bin/env python3
"""Builds OVMF from Debian's edk2 source the way a board vendor builds a
platform: DEBUG, with the DXE core's memory guards (heap guard on boot-service
data pages and pools, NX, NULL-pointer detection, stack guard), and the driver
as a prebuilt module listed in a copy of OVMF's own platform description.

The source is the edk2 source package of the installed ovmf package's
version, fetched through an apt configuration of our own (the system's apt
sources stay as they are) and unpacked with Debian's patches. OVMF's DSC and
FDF are copied and lines are added at named anchors; their tree is never
edited. The platform is built once, by EDK II's `build`; each variant's flash
is then laid out from it by GenFds, from an FDF of its own:

  driver        the driver as a binary module (INF), with the stand-ins
  driver-file   the driver as a FILE statement, with the stand-ins
  no-driver     the stand-ins alone, the "before"
  planted       a testbed-only driver build with a pool overrun (FILE statement)

  edk2_platform.py --out DIR --modules DIR [--modules DIR ...] --planted GUID=X.efi

writes DIR/<variant>.fd (the code flash) and DIR/vars.fd. Everything is cached
under DIR: an unchanged rerun builds nothing, and a changed module only reruns
GenFds. A failure leaves no image behind and says why (with the log's last
lines)."""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flash_image  # noqa: E402
from pi.layout import LayoutError, write_whole  # noqa: E402
from pi.sections import PE32  # noqa: E402

DRIVER = "SmbiosBoardName"
PLANTED = "TestbedPlantedOverrun"
# The shipped service and trigger, with the testbed's strap mark between them.
STAND_INS = ("SmbiosByHandleService", "TestbedStrapMarkDriver", "SmbiosBoardNameTrigger")

PLATFORM = "OvmfPkg/OvmfPkgX64"
PLATFORM_COPY = "Testbed/OvmfBoardName"
OUTPUT = "Build/OvmfX64/DEBUG_GCC5"
# Debian's patches make OVMF's Shell need the Secure Boot libraries.
BUILD_DEFINES = ["-D", "SECURE_BOOT_ENABLE=TRUE"]
BUILD_OPTIONS = ["-a", "X64", "-t", "GCC5", "-b", "DEBUG", "-n", "2", *BUILD_DEFINES]
# The DXE core's guards, as a board vendor turns them on for bring-up: every
# boot-service data page and pool gets guard pages, data is not executable,
# page 0 is not mapped, and the stack has a guard page.
GUARD_PCDS = [
    "gEfiMdeModulePkgTokenSpaceGuid.PcdHeapGuardPropertyMask=0x03",
    "gEfiMdeModulePkgTokenSpaceGuid.PcdHeapGuardPageType=0x10",
    "gEfiMdeModulePkgTokenSpaceGuid.PcdHeapGuardPoolType=0x10",
    "gEfiMdeModulePkgTokenSpaceGuid.PcdNullPointerDetectionPropertyMask=0x01",
    "gEfiMdeModulePkgTokenSpaceGuid.PcdDxeNxMemoryProtectionPolicy=0xC000000000007FD1",
    "gEfiMdeModulePkgTokenSpaceGuid.PcdCpuStackGuard=TRUE",
]
GUARD_OPTIONS = [word for pcd in GUARD_PCDS for word in ("--pcd", pcd)]

# (anchor line, lines added after it) for the DSC: our modules are listed
# after the SMBIOS producer, outside its <LibraryClasses> block.
DSC_ADDITIONS = [
    ("  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf", [
        "",
        "  # The board's SMBIOS service and trigger (testbed stand-ins), and the driver, prebuilt.",
        *["  %s/%s.inf" % (name, name) for name in STAND_INS],
        "  %s/%s.inf" % (DRIVER, DRIVER),
    ]),
]
FDF_ANCHOR = "INF  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf"
# OVMF's FDF has rules for binary UEFI drivers only.
FDF_RULE_ANCHOR = "[Rule.Common.DXE_RUNTIME_DRIVER]"
BINARY_DXE_RULE = [
    "[Rule.Common.DXE_DRIVER.BINARY]",
    "  FILE DRIVER = $(NAMED_GUID) {",
    "    DXE_DEPEX DXE_DEPEX Optional      |.depex",
    "    PE32      PE32                    |.efi",
    "    UI        STRING=\"$(MODULE_NAME)\" Optional",
    "  }",
    "",
]


def file_statement(guid, name, image):
    return ["FILE DRIVER = %s {" % guid,
            "  SECTION DXE_DEPEX_EXP = {TRUE}",
            "  SECTION PE32 = %s" % image,
            "  SECTION UI = \"%s\"" % name,
            "}"]


STAND_IN_LINES = ["INF  %s/%s.inf" % (name, name) for name in STAND_INS]


def variants(driver_guid, planted_guid):
    """Each variant's lines in the DXE volume, and the file GUID (if any)
    whose image it must hold."""
    return {
        "driver": (STAND_IN_LINES + ["INF  %s/%s.inf" % (DRIVER, DRIVER)], driver_guid),
        "driver-file": (STAND_IN_LINES + file_statement(driver_guid, DRIVER, "%s/%s.efi" % (DRIVER, DRIVER)),
                        driver_guid),
        "no-driver": (STAND_IN_LINES, None),
        "planted": (STAND_IN_LINES + file_statement(planted_guid, PLANTED, "Testbed/%s.efi" % PLANTED),
                    planted_guid),
    }


SYSTEM_SOURCES = ("/etc/apt/sources.list", "/etc/apt/sources.list.d")


def source_entries():
    """The system's own apt sources as deb-src entries, file name -> text:
    the source package comes from where the machine's binary packages do."""
    paths = [SYSTEM_SOURCES[0]] if os.path.isfile(SYSTEM_SOURCES[0]) else []
    if os.path.isdir(SYSTEM_SOURCES[1]):
        paths += [os.path.join(SYSTEM_SOURCES[1], name) for name in sorted(os.listdir(SYSTEM_SOURCES[1]))
                  if name.endswith((".list", ".sources"))]
    entries = {}
    for path in paths:
        with open(path) as handle:
            lines = handle.read().split("\n")
        if path.endswith(".sources"):
            lines = [("Types: deb-src" if line.split() == ["Types:", "deb"] else line) for line in lines]
        else:
            lines = ["deb-src " + line[4:] for line in lines if line.startswith("deb ")]
        entries[os.path.basename(path)] = "\n".join(lines) + "\n"
    return entries


class BuildError(Exception):
    pass


def log_tail(path, lines=25):
    with open(path, errors="replace") as handle:
        return "".join(handle.readlines()[-lines:])


def run_logged(command, log, what, **options):
    """Runs `command` with its output in `log` and prints how long it took;
    BuildError with the log's last lines if it fails."""
    started = time.monotonic()
    with open(log, "w") as handle:
        handle.write("$ %s\n" % " ".join(command))
        handle.flush()
        done = subprocess.run(command, stdout=handle, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              **options)
    if done.returncode != 0:
        raise BuildError("%s failed (status %d); the last lines of %s:\n%s"
                         % (what, done.returncode, log, log_tail(log)))
    print("edk2_platform: %s: %.1f s" % (what, time.monotonic() - started), flush=True)


def installed_ovmf_version():
    done = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "ovmf"], capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout:
        raise BuildError("the ovmf package is not installed, so there is no source version to build "
                         "(give --source-version)")
    return done.stdout


def fetch_source(version, cache):
    """The unpacked edk2 source of `version` with BaseTools built, under
    `cache`; fetched and built once, then reused."""
    source = os.path.join(cache, "edk2-" + version)
    if os.path.exists(os.path.join(source, ".complete")):
        return source
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="fetch-", dir=cache) as scratch:
        apt = os.path.join(scratch, "apt")
        os.makedirs(os.path.join(apt, "lists", "partial"))
        for name, text in source_entries().items():
            with open(os.path.join(apt, name), "w") as handle:
                handle.write(text)
        options = ["-o", "Dir::Etc::SourceList=/dev/null", "-o", "Dir::Etc::SourceParts=" + apt,
                   "-o", "Dir::State::Lists=" + os.path.join(apt, "lists"), "-o", "APT::Sandbox::User=root"]
        log = os.path.join(cache, "fetch.log")
        try:
            run_logged(["apt-get", *options, "update"], log, "apt-get update (the system's sources as deb-src)")
            run_logged(["apt-get", *options, "source", "--download-only", "edk2=" + version], log,
                       "fetching the edk2 source %s" % version, cwd=scratch)
        except BuildError as error:
            raise BuildError("cannot fetch the edk2 source version %s: %s" % (version, error))
        unpacked = os.path.join(scratch, "src")
        dsc = [name for name in os.listdir(scratch) if name.endswith(".dsc")]
        # apt has checked the files against the archive's signed index; the
        # .dsc's own signature would need a keyring this machine lacks.
        run_logged(["dpkg-source", "--no-check", "-x", os.path.join(scratch, dsc[0]), unpacked], log,
                   "unpacking the edk2 source")
        run_logged(["make", "-C", "BaseTools", "-j2"], os.path.join(cache, "basetools.log"),
                   "building EDK II's BaseTools", cwd=unpacked)
        open(os.path.join(unpacked, ".complete"), "w").close()
        shutil.rmtree(source, ignore_errors=True)
        os.rename(unpacked, source)
    return source


def add_after(text, anchor, lines, where):
    """`text` with `lines` added after the line `anchor` (before it when the
    anchor opens a section); BuildError when the anchor is missing."""
    rows = text.split("\n")
    if anchor not in rows:
        raise BuildError("%s has no line %r to add our lines at; this edk2 version's platform "
                         "description differs from the one the testbed knows" % (where, anchor.strip()))
    index = rows.index(anchor) + (0 if anchor.startswith("[") else 1)
    return "\n".join(rows[:index] + lines + rows[index:])


def platform_files(source, variant_lines):
    """The DSC and each variant's FDF, as text: OVMF's own, with our lines."""
    with open(os.path.join(source, PLATFORM + ".dsc")) as handle:
        dsc = handle.read()
    for anchor, lines in DSC_ADDITIONS:
        dsc = add_after(dsc, anchor, lines, PLATFORM + ".dsc")
    with open(os.path.join(source, PLATFORM + ".fdf")) as handle:
        fdf = add_after(handle.read(), FDF_RULE_ANCHOR, BINARY_DXE_RULE, PLATFORM + ".fdf")
    fdfs = {name: add_after(fdf, FDF_ANCHOR, lines, PLATFORM + ".fdf") for name, lines in variant_lines.items()}
    return dsc, fdfs


def digest(*parts):
    hasher = hashlib.sha256()
    for part in parts:
        hasher.update(part if isinstance(part, bytes) else str(part).encode())
        hasher.update(b"\0")
    return hasher.hexdigest()


def folder_digest(folder):
    names = sorted(os.listdir(folder))
    return digest(*[name.encode() + b"=" + open(os.path.join(folder, name), "rb").read() for name in names])


def environment(source, workspace, module_folders):
    env = dict(os.environ)
    env.update(WORKSPACE=workspace, EDK_TOOLS_PATH=os.path.join(source, "BaseTools"),
               CONF_PATH=os.path.join(workspace, "Conf"), PYTHON_COMMAND="/usr/bin/python3",
               PACKAGES_PATH=":".join([source, workspace, *module_folders]))
    env["PATH"] = os.path.join(source, "BaseTools", "BinWrappers", "PosixLike") + ":" + env["PATH"]
    return env


def write_conf(source, workspace):
    """The build's Conf folder in `workspace`, from BaseTools' templates."""
    conf = os.path.join(workspace, "Conf")
    os.makedirs(conf, exist_ok=True)
    for name in ("target", "tools_def", "build_rule"):
        if not os.path.exists(os.path.join(conf, name + ".txt")):
            shutil.copyfile(os.path.join(source, "BaseTools", "Conf", name + ".template"),
                            os.path.join(conf, name + ".txt"))


def prepare_workspace(source, workspace, dsc, fdfs, planted, platform_key):
    """Writes the platform copies; another platform than the last one built
    here starts from an empty workspace."""
    inputs = os.path.join(workspace, "platform.inputs")
    if os.path.exists(inputs) and open(inputs).read() != platform_key:
        shutil.rmtree(workspace)
    write_conf(source, workspace)
    testbed = os.path.join(workspace, "Testbed")
    os.makedirs(testbed, exist_ok=True)
    write_whole(os.path.join(testbed, "OvmfBoardName.dsc"), dsc.encode())
    for name, text in fdfs.items():
        write_whole(os.path.join(testbed, "OvmfBoardName-%s.fdf" % name), text.encode())
    # The FDF includes some files from its own folder; they come along.
    for line in fdfs["driver"].split("\n"):
        words = line.split()
        if len(words) == 2 and words[0] == "!include" and "/" not in words[1]:
            shutil.copyfile(os.path.join(source, os.path.dirname(PLATFORM), words[1]),
                            os.path.join(testbed, words[1]))
    shutil.copyfile(planted, os.path.join(testbed, PLANTED + ".efi"))
    write_whole(inputs, platform_key.encode())


def build_platform(workspace, env, out, platform_key):
    """EDK II's build of the whole platform, as the vendor runs it (with the
    driver listed as a module); skipped when this platform was built here."""
    built = os.path.join(workspace, "platform.built")
    if os.path.exists(built) and open(built).read() == platform_key:
        return False
    # Images laid out from an earlier platform must not outlive it.
    for name in os.listdir(out):
        if name.endswith((".fd", ".fd.key")):
            os.remove(os.path.join(out, name))
    log = os.path.join(out, "build.log")
    print("edk2_platform: building the platform (log: %s)" % log, flush=True)
    run_logged(["build", "-p", PLATFORM_COPY + ".dsc", "-f", PLATFORM_COPY + "-driver.fdf", *BUILD_OPTIONS,
                *GUARD_OPTIONS], log, "the EDK II build", cwd=workspace, env=env)
    write_whole(built, platform_key.encode())
    return True


def check_image_placed(code, guid, expected):
    """The variant's DXE volume must hold file `guid` with exactly the image
    we gave it, so a stale build cannot pass for this one."""
    try:
        dxe = flash_image.open_flash(code).dxe
    except LayoutError as error:
        raise BuildError("the built image does not parse as OVMF's layout: %s" % error)
    files = [f for f in dxe.files if f.name == guid]
    if len(files) != 1:
        raise BuildError("the built DXE volume holds %d files %s, expected one" % (len(files), guid))
    images = [s.body for s in files[0].sections() if s.type == PE32]
    if images != [expected]:
        raise BuildError("the built DXE volume's file %s does not hold the image given" % guid)


def build_variant(name, workspace, env, out, key, placed):
    """Lays out one variant's flash from the built platform with GenFds (the
    flash step of EDK II's build) unless its key is unchanged; `placed` is
    (file GUID, image bytes) the variant must hold, or None."""
    fd = os.path.join(out, name + ".fd")
    key_path = fd + ".key"
    if os.path.exists(fd) and os.path.exists(key_path) and open(key_path).read() == key:
        return False
    for stale in (fd, key_path):
        if os.path.exists(stale):
            os.remove(stale)
    run_logged(["GenFds", "-f", "%s-%s.fdf" % (PLATFORM_COPY, name), "-p", PLATFORM_COPY + ".dsc",
                "-a", "X64", "-b", "DEBUG", "-t", "GCC5", "-o", OUTPUT, "--conf", "Conf",
                "-D", "WORKSPACE=" + workspace, *BUILD_DEFINES, *GUARD_OPTIONS],
               os.path.join(out, "flash-%s.log" % name), "GenFds for %s" % name, cwd=workspace, env=env)
    fv = os.path.join(workspace, OUTPUT, "FV")
    with open(os.path.join(fv, "OVMF_CODE.fd"), "rb") as handle:
        code = handle.read()
    if placed:
        check_image_placed(code, *placed)
    write_whole(fd, code)
    with open(os.path.join(fv, "OVMF_VARS.fd"), "rb") as handle:
        write_whole(os.path.join(out, "vars.fd"), handle.read())
    write_whole(key_path, key.encode())
    return True


def inf_file_guid(path):
    with open(path) as handle:
        for line in handle:
            words = line.split("=")
            if len(words) == 2 and words[0].strip() == "FILE_GUID":
                return words[1].strip().upper()
    raise BuildError("%s has no FILE_GUID" % path)


def build(out, module_folders, planted_guid, planted, version, source_cache=None):
    """Builds what is out of date in `out`; returns the names of the steps run."""
    out = os.path.abspath(out)
    os.makedirs(out, exist_ok=True)
    module_folders = [os.path.abspath(folder) for folder in module_folders]
    needed = set(STAND_INS) | {DRIVER}
    found = {name: folder for folder in module_folders for name in os.listdir(folder) if name in needed}
    missing = needed - set(found)
    if missing:
        raise BuildError("no module folder for %s in %s" % (", ".join(sorted(missing)), module_folders))
    source = fetch_source(version, os.path.abspath(source_cache or os.path.join(out, "source")))
    driver_folder = os.path.join(found[DRIVER], DRIVER)
    driver_guid = inf_file_guid(os.path.join(driver_folder, DRIVER + ".inf"))
    planted_guid = planted_guid.upper()
    layout = variants(driver_guid, planted_guid)
    dsc, fdfs = platform_files(source, {name: lines for name, (lines, _) in layout.items()})
    platform_key = digest(version, dsc, BUILD_OPTIONS, GUARD_PCDS)
    workspace = os.path.join(out, "workspace")
    prepare_workspace(source, workspace, dsc, fdfs, planted, platform_key)
    env = environment(source, workspace, module_folders)
    images = {}
    for guid, path in ((driver_guid, os.path.join(driver_folder, DRIVER + ".efi")), (planted_guid, planted)):
        with open(path, "rb") as handle:
            images[guid] = handle.read()
    # A variant is laid out again only when what it holds has changed.
    stand_ins = digest(*[folder_digest(os.path.join(found[name], name)) for name in STAND_INS])
    held = {driver_guid: folder_digest(driver_folder), planted_guid: digest(images[planted_guid]), None: ""}
    built = ["platform"] if build_platform(workspace, env, out, platform_key) else []
    return built + [name for name, (_, guid) in layout.items()
                    if build_variant(name, workspace, env, out,
                                     digest(platform_key, stand_ins, held[guid], fdfs[name]),
                                     (guid, images[guid]) if guid else None)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="the folder for the images, the cache and the logs")
    parser.add_argument("--modules", action="append", required=True,
                        help="a folder holding module folders (the driver's, the stand-ins')")
    parser.add_argument("--planted", required=True, metavar="GUID=IMAGE",
                        help="the testbed-only driver image with the overrun, and its file GUID")
    parser.add_argument("--source-version", help="the edk2 source version (default: the installed ovmf's)")
    parser.add_argument("--source-cache", help="where fetched sources are kept (default: OUT/source)")
    args = parser.parse_args()
    try:
        version = args.source_version or installed_ovmf_version()
        planted_guid, _, planted = args.planted.partition("=")
        built = build(args.out, args.modules, planted_guid, os.path.abspath(planted), version, args.source_cache)
    except (BuildError, OSError) as error:
        print("edk2_platform: %s" % error, file=sys.stderr)
        return 1
    print("edk2_platform: edk2 %s, DEBUG with guards, in %s: %s" % (
        version, args.out, "built " + ", ".join(built) if built else "nothing to build, every image is up to date"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
