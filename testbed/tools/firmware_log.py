"""What a DEBUG firmware says about a boot: the DXE core's DEBUG text (port
0x402) and the CPU exception handler's dump (serial port)."""

import dataclasses
import re

ASSERT = re.compile(r"\bASSERT\b.*")
LOADING_FILE = re.compile(r"^Loading driver ([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})\s*$")
LOADED_AT = re.compile(r"^Loading driver at 0x([0-9A-F]+) EntryPoint=0x([0-9A-F]+)")
# The allocation at the image's preferred base that the loader tries first.
PREFERRED_BASE_REFUSED = re.compile(r"ConvertPages: failed to find range")
EXCEPTION = re.compile(r"!!!! (?:X64|IA32) Exception Type - ([0-9A-F]+)\(([^)]*)\)")
# The exception handler's last line before it stops for good.
FAULTING_IMAGE_MARK = "!!!! Find image based on IP"
FAULTING_IMAGE = re.compile(re.escape(FAULTING_IMAGE_MARK) + r"\(0x([0-9A-F]+)\).*ImageBase=([0-9A-F]+), "
                            r"EntryPoint=([0-9A-F]+)", re.IGNORECASE)


@dataclasses.dataclass
class LoadedImage:
    base: int
    entry_point: int
    preferred_base_refused: bool   # the loader had to relocate it elsewhere


def read(path):
    with open(path, errors="replace") as handle:
        return handle.read().replace("\r", "")


def asserts(debug_text):
    return [match.group(0) for match in ASSERT.finditer(debug_text)]


def loaded_files(debug_text):
    """File GUID -> LoadedImage for every driver file the DXE core loaded."""
    loaded, pending, refused = {}, None, False
    for line in debug_text.split("\n"):
        match = LOADING_FILE.match(line)
        if match:
            pending, refused = match.group(1), False
            continue
        refused = refused or bool(pending and PREFERRED_BASE_REFUSED.search(line))
        match = LOADED_AT.match(line)
        if match and pending:
            loaded[pending] = LoadedImage(int(match.group(1), 16), int(match.group(2), 16), refused)
            pending = None
    return loaded


def exceptions(serial_text):
    """(type, name) of every CPU exception the firmware dumped."""
    return [(int(number, 16), name) for number, name in EXCEPTION.findall(serial_text)]


def faulting_image(serial_text):
    """(base, entry point) of the image the dump blames, or None."""
    match = FAULTING_IMAGE.search(serial_text)
    return (int(match.group(2), 16), int(match.group(3), 16)) if match else None
