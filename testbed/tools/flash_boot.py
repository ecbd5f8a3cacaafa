"""One boot of a flash image the way the target boards boot: no Shell and no
disk. The DXE core dispatches the firmware files of the image's volume, and
OVMF's own boot manager starts the Linux guest given to QEMU with -kernel
and -initrd through the kernel's EFI stub. The guest reports what it reads
and hands the table back on the serial console (see ../linux/init)."""

import os
import time

import boot
import linux_guest


def run(plan, flash, guest_dir, folder):
    """Boots `flash` with the board of `plan` (straps, entry point, trace)
    until the guest powers the machine off."""
    boot.fresh_folder(folder)
    guest = linux_guest.guest_files(guest_dir)
    serial_log = os.path.join(folder, "serial.log")
    command = boot.machine_options(plan, os.path.abspath(flash), folder) + [
        "-serial", "file:" + serial_log,
        "-kernel", guest["vmlinuz"], "-initrd", guest["initrd.img"],
        "-append", linux_guest.KERNEL_ARGUMENTS,
    ] + boot.board_options(plan, folder)
    started = time.monotonic()
    process, accesses = boot.run_traced(plan, command, folder)
    seconds = time.monotonic() - started
    return boot.BootResult(folder=folder, serial_log=serial_log, trace_log=os.path.join(folder, "trace.log"),
                           files={}, seconds=seconds, exit_code=process.returncode,
                           timed_out=process.returncode in boot.TIMED_OUT_STATUSES, accesses=accesses)


def save_dump(result, name="after.bin"):
    """Writes the table the guest handed back into the boot's folder and
    returns its path; ReportError if the log holds no whole dump."""
    path = os.path.join(result.folder, name)
    with open(path, "wb") as handle:
        handle.write(linux_guest.read_dump(result.serial_log))
    result.files[name] = path
    return path
