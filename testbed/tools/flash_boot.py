"""One boot of a flash image the way the target boards boot: no Shell and no
disk. The DXE core dispatches the firmware files of the image's volume, and
OVMF's own boot manager starts the Linux guest given to QEMU with -kernel
and -initrd through the kernel's EFI stub. The guest reports what it reads
and hands the table back on the serial console (see ../linux/init)."""

import os
import shutil
import tempfile
import threading
import time

import boot
import linux_guest


# Where a DEBUG firmware writes its DEBUG and ASSERT text.
DEBUG_PORT = 0x402


# What the serial log shows once OVMF has handed over to the Linux guest's
# EFI stub: the firmware's part of the boot, the driver's walk with it, is over.
LINUX_STUB = "EFI stub:"


def run(plan, flash, guest_dir, folder, debug_log=False, stop_after=None, devices=(), trace_firmware_only=False,
        medium=None):
    """Boots `flash` with the board of `plan` (straps, entry point, trace)
    until the guest powers the machine off. With `debug_log` the firmware's
    DEBUG port is kept in debug.log; `stop_after` ends the boot as soon as
    the serial log holds that text (a firmware that has stopped for good).
    `devices` are more QEMU options (a TPM, say); `medium`, the QEMU options of
    a boot disk the firmware starts the OS from, in place of the guest in
    `guest_dir` (the Secure Boot boots' ESP). `trace_firmware_only` stops
    the port trace once Linux's EFI stub runs (QEMU's monitor turns the event
    off), sparing its cost in Linux's part of the boot, for the demo; the
    tests keep the whole boot's trace, to show nothing reads the straps later."""
    boot.fresh_folder(folder, plan.vars_template)
    serial_log = os.path.join(folder, "serial.log")
    command = boot.machine_options(plan, os.path.abspath(flash), folder) + ["-serial", "file:" + serial_log] + \
        (medium if medium is not None else guest_options(guest_dir)) + boot.board_options(plan, folder) + \
        list(devices)
    if debug_log:
        command += ["-chardev", "file,id=firmware-debug,path=" + os.path.join(folder, "debug.log"),
                    "-device", "isa-debugcon,iobase=%#x,chardev=firmware-debug" % DEBUG_PORT]
    starts = []
    if stop_after:
        starts.append(lambda process: threading.Thread(
            target=_stop_after, args=(process, serial_log, stop_after.encode()), daemon=True).start())
    socket_dir = None
    if trace_firmware_only and plan.trace_straps:
        socket_dir = tempfile.mkdtemp(prefix="testbed-qmp-")
        socket_path = os.path.join(socket_dir, "qmp")
        command += ["-qmp", "unix:%s,server=on,wait=off" % socket_path]
        starts.append(lambda process: threading.Thread(target=boot._query_when, args=(
            serial_log, LINUX_STUB, socket_path, "trace-event memory_region_ops_read off",
            os.path.join(folder, "trace-off.txt"), time.monotonic() + plan.timeout), daemon=True).start())
    started = time.monotonic()
    try:
        process, accesses = boot.run_traced(plan, command, folder, lambda p: [start(p) for start in starts])
    finally:
        if socket_dir:
            shutil.rmtree(socket_dir, ignore_errors=True)
    seconds = time.monotonic() - started
    return boot.BootResult(folder=folder, serial_log=serial_log, trace_log=os.path.join(folder, "trace.log"),
                           files={}, seconds=seconds, exit_code=process.returncode,
                           timed_out=process.returncode in boot.TIMED_OUT_STATUSES, accesses=accesses)


def guest_options(guest_dir):
    """QEMU's options that start the Linux guest prepared in `guest_dir`."""
    guest = linux_guest.guest_files(guest_dir)
    return ["-kernel", guest["vmlinuz"], "-initrd", guest["initrd.img"], "-append", linux_guest.KERNEL_ARGUMENTS]


def _stop_after(process, serial_log, text):
    while process.poll() is None:
        try:
            with open(serial_log, "rb") as handle:
                if text in handle.read():
                    time.sleep(1)  # the rest of the line
                    process.terminate()
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.2)


def save_dump(result, name="after.bin"):
    """Writes the table the guest handed back into the boot's folder and
    returns its path; ReportError if the log holds no whole dump."""
    path = os.path.join(result.folder, name)
    with open(path, "wb") as handle:
        handle.write(linux_guest.read_dump(result.serial_log))
    result.files[name] = path
    return path
