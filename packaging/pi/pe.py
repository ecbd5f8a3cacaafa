"""The few PE32+ header fields checked before an image goes into a file."""

from pi.layout import LayoutError, read

MACHINE_X64 = 0x8664
SUBSYSTEMS = {10: "EFI application", 11: "EFI boot service driver", 12: "EFI runtime driver"}


def image_subsystem(image):
    """The subsystem of an x64 PE32+ image; refuses anything else."""
    if image[:2] != b"MZ":
        raise LayoutError("image: no MZ header")
    (pe_offset,) = read(image, 0x3C, "<I", "image DOS header")
    signature, machine = read(image, pe_offset, "<4sH", "image PE header")
    (magic,) = read(image, pe_offset + 24, "<H", "image optional header")
    (subsystem,) = read(image, pe_offset + 24 + 68, "<H", "image subsystem")
    if signature != b"PE\0\0" or machine != MACHINE_X64 or magic != 0x20B:
        raise LayoutError("image: not a PE32+ image for x64")
    if subsystem not in SUBSYSTEMS:
        raise LayoutError("image: subsystem %d is not a UEFI subsystem" % subsystem)
    return subsystem
