#!/usr/bin/env python3
"""Builds OVMF from Debian's edk2 source the way a board vendor builds a
platform: DEBUG, with the DXE core's memory guards (heap guard on boot-service
data pages and pools, NX, NULL-pointer detection, stack guard), and our
modules listed in a copy of OVMF's own platform description only through the
include files the default build writes (build/edk2/SmbiosBoardName.*.inc).

The source is the edk2 source package of the installed ovmf package's
version, fetched through an apt configuration of our own (the system's apt
sources stay as they are) and unpacked with Debian's patches. OVMF's DSC and
FDF are copied and lines are added at named anchors; their tree is never
edited. The platform is built once, by EDK II's `build`, from the DSC that
includes SmbiosBoardName.dsc.inc; each variant's flash is then laid out from
it by GenFds, from an FDF of its own:

  driver        the modules as INF statements (SmbiosBoardNameInf.fdf.inc,
                last in the DXE volume, with SmbiosBoardName.dsc.inc)
  driver-file   the modules as FILE statements (SmbiosBoardName.fdf.inc),
                laid out with OVMF's own DSC: no DSC line, no rule
  no-driver     none of our modules, the "before"
  planted       the FILE statements and a testbed-only driver build with a
                pool overrun (a FILE statement of its own)

Every variant also holds the testbed's strap mark (a FILE statement), which
reads each strap port once at dispatch so the port trace shows it works.

  edk2_platform.py --out DIR --modules DIR --strap-mark GUID=X.efi --planted GUID=X.efi

writes DIR/<variant>.fd (the code flash) and DIR/vars.fd. Everything is cached
under DIR: an unchanged rerun builds nothing, and a changed module only reruns
GenFds. A failure leaves no image behind and says why (with the log's last
lines)."""

import argparse
import dataclasses
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import apt_sources  # noqa: E402
import flash_image  # noqa: E402
import logged_run  # noqa: E402
from pi.layout import LayoutError, write_whole  # noqa: E402
from pi.sections import DXE_DEPEX, PE32, dependency_expression  # noqa: E402

INCLUDES = "SmbiosBoardName"
FDF_FILES = INCLUDES + ".fdf.inc"
FDF_INFS = INCLUDES + "Inf.fdf.inc"
DSC_COMPONENTS = INCLUDES + ".dsc.inc"
STRAP_MARK = "TestbedStrapMarkDriver"
PLANTED = "TestbedPlantedOverrun"

PLATFORM = "OvmfPkg/OvmfPkgX64"
PLATFORM_COPY = "Testbed/OvmfBoardName"   # OVMF's DSC with our include, and each variant's FDF
STOCK_DSC = "Testbed/OvmfStock.dsc"       # OVMF's DSC as it is
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

# The DSC's one line, after the SMBIOS producer and outside its
# <LibraryClasses> block.
DSC_ANCHOR = "  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf"
DSC_LINES = ["", "  # The board-name driver and its companions, prebuilt.", "  !include " + DSC_COMPONENTS]
# The FDF's lines: FILE statements after the SMBIOS producer; the INF listing,
# which ends with its own rule, as the DXE volume's last line.
FDF_ANCHOR = "INF  OvmfPkg/SmbiosPlatformDxe/SmbiosPlatformDxe.inf"
FDF_VOLUME_END = "[FV.FVMAIN_COMPACT]"


def file_statement(guid, name):
    """A testbed-only driver, copied into the workspace's Testbed folder."""
    return ["FILE DRIVER = %s {" % guid,
            "  SECTION DXE_DEPEX_EXP = {TRUE}",
            "  SECTION PE32 = Testbed/%s.efi" % name,
            "  SECTION UI = \"%s\"" % name,
            "}"]


@dataclasses.dataclass
class Variant:
    after_producer: list   # lines after the SMBIOS producer in the DXE volume
    volume_end: list       # lines that close the DXE volume
    our_dsc: bool          # laid out with the DSC that includes ours (else OVMF's own)
    holds_ours: bool       # our modules must be in the volume (else none of them)
    testbed_files: tuple   # names of the testbed-only files it holds


def variants(strap_mark_guid, planted_guid):
    mark = file_statement(strap_mark_guid, STRAP_MARK)
    return {
        "driver": Variant(mark, ["!include " + FDF_INFS, ""], True, True, (STRAP_MARK,)),
        "driver-file": Variant(mark + ["!include " + FDF_FILES], [], False, True, (STRAP_MARK,)),
        "no-driver": Variant(mark, [], False, False, (STRAP_MARK,)),
        "planted": Variant(mark + file_statement(planted_guid, PLANTED) + ["!include " + FDF_FILES], [],
                           False, True, (STRAP_MARK, PLANTED)),
    }


def source_entries():
    """The system's own apt sources as deb-src entries, file name -> text:
    the source package comes from where the machine's binary packages do."""
    entries = {}
    for path in apt_sources.source_files():
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


def run_logged(command, log, what, **options):
    """Runs `command` with its output in `log`; BuildError with the log's
    last lines if it fails."""
    logged_run.run_logged(command, log, what, "edk2_platform", BuildError, **options)


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


def platform_files(source, layout):
    """OVMF's DSC as it is and with our include, and each variant's FDF, as text."""
    with open(os.path.join(source, PLATFORM + ".dsc")) as handle:
        stock_dsc = handle.read()
    dsc = add_after(stock_dsc, DSC_ANCHOR, DSC_LINES, PLATFORM + ".dsc")
    with open(os.path.join(source, PLATFORM + ".fdf")) as handle:
        fdf = handle.read()
    fdfs = {}
    for name, variant in layout.items():
        text = add_after(fdf, FDF_ANCHOR, variant.after_producer, PLATFORM + ".fdf")
        fdfs[name] = add_after(text, FDF_VOLUME_END, variant.volume_end, PLATFORM + ".fdf")
    return stock_dsc, dsc, fdfs


def digest(*parts):
    hasher = hashlib.sha256()
    for part in parts:
        hasher.update(part if isinstance(part, bytes) else str(part).encode())
        hasher.update(b"\0")
    return hasher.hexdigest()


def folder_digest(folder):
    names = sorted(os.listdir(folder))
    return digest(*[name.encode() + b"=" + open(os.path.join(folder, name), "rb").read() for name in names])


def environment(source, workspace, modules=None):
    """EDK II's build environment; `modules`, a folder of prebuilt modules
    and their include files, goes on PACKAGES_PATH."""
    env = dict(os.environ)
    env.update(WORKSPACE=workspace, EDK_TOOLS_PATH=os.path.join(source, "BaseTools"),
               CONF_PATH=os.path.join(workspace, "Conf"), PYTHON_COMMAND="/usr/bin/python3",
               PACKAGES_PATH=":".join([source, workspace] + ([modules] if modules else [])))
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


def prepare_workspace(source, workspace, texts, testbed_images, platform_key):
    """Writes the platform copies (`texts`: path in the workspace -> text)
    and the testbed's own images; another platform than the last one built
    here starts from an empty workspace."""
    inputs = os.path.join(workspace, "platform.inputs")
    if os.path.exists(inputs) and open(inputs).read() != platform_key:
        shutil.rmtree(workspace)
    write_conf(source, workspace)
    testbed = os.path.join(workspace, "Testbed")
    os.makedirs(testbed, exist_ok=True)
    for path, text in texts.items():
        write_whole(os.path.join(workspace, path), text.encode())
    # OVMF's FDF includes some files from its own folder; they come along.
    with open(os.path.join(source, PLATFORM + ".fdf")) as handle:
        for line in handle:
            words = line.split()
            if len(words) == 2 and words[0] == "!include" and "/" not in words[1]:
                shutil.copyfile(os.path.join(source, os.path.dirname(PLATFORM), words[1]),
                                os.path.join(testbed, words[1]))
    for name, image in testbed_images.items():
        write_whole(os.path.join(testbed, name + ".efi"), image)
    write_whole(inputs, platform_key.encode())


def build_platform(workspace, env, out, platform_key):
    """EDK II's build of the whole platform, as the vendor runs it (with our
    modules listed as INF); skipped when this platform was built here."""
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


@dataclasses.dataclass
class Placed:
    guid: str
    image: bytes
    depex: bytes


def check_volume(code, held, absent):
    """The variant's DXE volume must hold each file of `held` once, with
    exactly that image and dependency expression, and none of the GUIDs
    `absent`, so a stale build cannot pass for this one."""
    try:
        dxe = flash_image.open_flash(code).dxe
    except LayoutError as error:
        raise BuildError("the built image does not parse as OVMF's layout: %s" % error)
    for placed in held:
        files = [f for f in dxe.files if f.name == placed.guid]
        if len(files) != 1:
            raise BuildError("the built DXE volume holds %d files %s, expected one" % (len(files), placed.guid))
        sections = files[0].sections()
        if [s.body for s in sections if s.type == PE32] != [placed.image]:
            raise BuildError("the built DXE volume's file %s does not hold the image given" % placed.guid)
        if [s.body for s in sections if s.type == DXE_DEPEX] != [placed.depex]:
            raise BuildError("the built DXE volume's file %s does not carry the dependency expression given"
                             % placed.guid)
    present = sorted({f.name for f in dxe.files} & set(absent))
    if present:
        raise BuildError("the built DXE volume holds %s, which this variant must not" % ", ".join(present))


def build_variant(name, workspace, env, out, key, dsc, held, absent):
    """Lays out one variant's flash from the built platform with GenFds (the
    flash step of EDK II's build), with the DSC `dsc`, unless its key is
    unchanged; checks it holds `held` and none of `absent`."""
    fd = os.path.join(out, name + ".fd")
    key_path = fd + ".key"
    if os.path.exists(fd) and os.path.exists(key_path) and open(key_path).read() == key:
        return False
    for stale in (fd, key_path):
        if os.path.exists(stale):
            os.remove(stale)
    run_logged(["GenFds", "-f", "%s-%s.fdf" % (PLATFORM_COPY, name), "-p", dsc,
                "-a", "X64", "-b", "DEBUG", "-t", "GCC5", "-o", OUTPUT, "--conf", "Conf",
                "-D", "WORKSPACE=" + workspace, *BUILD_DEFINES, *GUARD_OPTIONS],
               os.path.join(out, "flash-%s.log" % name), "GenFds for %s" % name, cwd=workspace, env=env)
    fv = os.path.join(workspace, OUTPUT, "FV")
    code = read_bytes(os.path.join(fv, "OVMF_CODE.fd"))
    check_volume(code, held, absent)
    write_whole(fd, code)
    write_whole(os.path.join(out, "vars.fd"), read_bytes(os.path.join(fv, "OVMF_VARS.fd")))
    write_whole(key_path, key.encode())
    return True


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def inf_file_guid(path):
    with open(path) as handle:
        for line in handle:
            words = line.split("=")
            if len(words) == 2 and words[0].strip() == "FILE_GUID":
                return words[1].strip().upper()
    raise BuildError("%s has no FILE_GUID" % path)


def listed_modules(folder):
    """Our modules as the DSC include lists them, read from their folders."""
    for name in (FDF_FILES, FDF_INFS, DSC_COMPONENTS):
        if not os.path.isfile(os.path.join(folder, name)):
            raise BuildError("%s has no %s (the default build writes it)" % (folder, name))
    modules = []
    with open(os.path.join(folder, DSC_COMPONENTS)) as handle:
        for line in handle:
            inf = line.split("#", 1)[0].strip()
            if inf:
                base = os.path.join(folder, os.path.splitext(inf)[0])
                modules.append(Placed(inf_file_guid(base + ".inf"), read_bytes(base + ".efi"),
                                      read_bytes(base + ".depex")))
    return modules


def build(out, modules, testbed_files, version, source_cache=None):
    """Builds what is out of date in `out`; `modules` is the folder holding
    our include files and module folders, `testbed_files` maps the strap
    mark's and the planted driver's names to (file GUID, image path).
    Returns the names of the steps run."""
    out = os.path.abspath(out)
    os.makedirs(out, exist_ok=True)
    modules = os.path.abspath(modules)
    ours = listed_modules(modules)
    includes = [read_bytes(os.path.join(modules, name)) for name in (DSC_COMPONENTS, FDF_FILES, FDF_INFS)]
    testbed = {name: Placed(guid.upper(), read_bytes(path), dependency_expression([]))
               for name, (guid, path) in testbed_files.items()}
    source = fetch_source(version, os.path.abspath(source_cache or os.path.join(out, "source")))
    layout = variants(testbed[STRAP_MARK].guid, testbed[PLANTED].guid)
    stock_dsc, dsc, fdfs = platform_files(source, layout)
    platform_key = digest(version, dsc, includes[0], BUILD_OPTIONS, GUARD_PCDS)
    workspace = os.path.join(out, "workspace")
    texts = {PLATFORM_COPY + ".dsc": dsc, STOCK_DSC: stock_dsc}
    texts.update({"%s-%s.fdf" % (PLATFORM_COPY, name): text for name, text in fdfs.items()})
    prepare_workspace(source, workspace, texts, {name: placed.image for name, placed in testbed.items()},
                      platform_key)
    env = environment(source, workspace, modules)
    built = ["platform"] if build_platform(workspace, env, out, platform_key) else []
    for name, variant in layout.items():
        held = (ours if variant.holds_ours else []) + [testbed[file] for file in variant.testbed_files]
        absent = [] if variant.holds_ours else [module.guid for module in ours]
        dsc_path = PLATFORM_COPY + ".dsc" if variant.our_dsc else STOCK_DSC
        # A variant is laid out again only when what it holds has changed.
        key = digest(platform_key, fdfs[name], texts[dsc_path], *includes,
                     *[part for placed in held for part in (placed.guid, placed.image, placed.depex)])
        if build_variant(name, workspace, env, out, key, dsc_path, held, absent):
            built.append(name)
    return built


def guid_and_path(text):
    guid, _, path = text.partition("=")
    return guid, os.path.abspath(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="the folder for the images, the cache and the logs")
    parser.add_argument("--modules", required=True,
                        help="the folder holding our include files and module folders (build/edk2)")
    parser.add_argument("--strap-mark", required=True, type=guid_and_path, metavar="GUID=IMAGE",
                        help="the testbed's strap mark driver image, and its file GUID")
    parser.add_argument("--planted", required=True, type=guid_and_path, metavar="GUID=IMAGE",
                        help="the testbed-only driver image with the overrun, and its file GUID")
    parser.add_argument("--source-version", help="the edk2 source version (default: the installed ovmf's)")
    parser.add_argument("--source-cache", help="where fetched sources are kept (default: OUT/source)")
    args = parser.parse_args()
    try:
        version = args.source_version or installed_ovmf_version()
        built = build(args.out, args.modules, {STRAP_MARK: args.strap_mark, PLANTED: args.planted}, version,
                      args.source_cache)
    except (BuildError, OSError) as error:
        print("edk2_platform: %s" % error, file=sys.stderr)
        return 1
    print("edk2_platform: edk2 %s, DEBUG with guards, in %s: %s" % (
        version, args.out, "built " + ", ".join(built) if built else "nothing to build, every image is up to date"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
