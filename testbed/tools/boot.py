"""One scripted QEMU + OVMF boot of the testbed.

A boot is planned as a list of UEFI Shell steps, written into startup.nsh on a
FAT image made with mtools; QEMU runs q35 under TCG with OVMF, the board strap
ports stood in for by two isa-debugcon devices whose readback bytes encode the
strap code, the serial console going to a log. After the Shell's `reset -s`
(or a guest's power-off) the files the guest wrote are copied back out of
the image with mcopy.
"""

import dataclasses
import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import register_watch
import smbios_dump

STRAP_PORT_LOW = 0x1C0E   # carries code bits 0 and 1
STRAP_PORT_HIGH = 0x1C38  # carries code bits 2 and 3
STRAP_BITS_LOW = 0x22     # bits 1 and 5
STRAP_BITS_HIGH = 0x05    # bits 0 and 2

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# Distinct strings for every field QEMU sets, so that a rewrite of the wrong
# string, or of the right string in the wrong structure, shows.
SMBIOS_OPTIONS = [
    "type=1,manufacturer=Testbed Systems,product=TB-SYS-PRODUCT,version=SYS-V1.0,"
    "serial=SYS-SERIAL-0001,sku=SYS-SKU-7,family=SYS-FAMILY",
    "type=2,manufacturer=Testbed Boards,product=TB-BOARD-PRODUCT,version=BRD-V2.0,"
    "serial=BRD-SERIAL-0002,asset=BRD-ASSET-3,location=BRD-SLOT-A",
    "type=11,value=OEM string one,value=OEM string two",
]

IMAGES = {
    "adapter": "SmbiosByHandleService.efi",
    "trigger": "TestbedTrigger.efi",
    "dump": "TestbedDumpTable.efi",
    "straps": "TestbedStrapMark.efi",
    "probe": "TestbedAdapterProbe.efi",
    "driver": "SmbiosBoardName.efi",
    "trigger-withdrawn": "TestbedTriggerWithdrawn.efi",
}


def strap_bytes(code, noise):
    """The two port bytes that present `code`; with `noise` every bit that
    carries no strap is set, so that a reader of the wrong bits fails."""
    low = (0x02 if code & 1 else 0) | (0x20 if code & 2 else 0)
    high = (0x01 if code & 4 else 0) | (0x04 if code & 8 else 0)
    if noise:
        low |= 0xFF & ~STRAP_BITS_LOW
        high |= 0xFF & ~STRAP_BITS_HIGH
    return low, high


def standard_steps(extra_steps=()):
    """The usual run: dump and smbiosview before, adapter, driver, trigger,
    dump and smbiosview after. `extra_steps` run after that and before the
    reset (e.g. starting a kernel)."""
    return [
        "straps",
        "dump before.bin",
        "smbiosview -t 1",
        "smbiosview -t 2",
        "load adapter",
        "load driver",
        "trigger",
        "dump after.bin",
        "smbiosview -t 1",
        "smbiosview -t 2",
        *extra_steps,
    ]


@dataclasses.dataclass
class BootPlan:
    code: int = 4
    noise: bool = False
    entry_point: int = 64          # 32: 2.x entry point; 64: 3.0 entry point
    steps: list = dataclasses.field(default_factory=standard_steps)
    trace_straps: bool = True      # log every strap port read
    trace_mmio: bool = False       # also log every access (large)
    timeout: int = 240             # seconds for the whole boot
    extra_files: dict = dataclasses.field(default_factory=dict)  # name on disk -> host path
    results: tuple = ("before.bin", "after.bin")
    # (step, monitor command): once the serial log shows that step started,
    # the command's output is saved as monitor.txt (the step should stall).
    monitor_query: tuple = None
    disk_megabytes: int = 8        # FAT image size; a Linux kernel needs more
    # Send one key when the Shell counts down before startup.nsh, which
    # otherwise waits its full 5 s.
    skip_countdown: bool = True
    # Single-byte guest addresses whose every access is recorded through
    # QEMU's GDB stub (the boot then starts halted until the watch is armed),
    # each with the byte its reads are to return (None: the machine's).
    watch: dict = dataclasses.field(default_factory=dict)
    memory: int = 256              # MiB; the heap guard of a DEBUG firmware needs more
    vars_template: str = OVMF_VARS  # the variable store each boot starts from
    # A dump whose structures QEMU is given instead of the testbed's strings,
    # one `-smbios file=` each; QEMU then builds none of those types itself.
    # Its End-of-Table is left out: OVMF appends its own when it publishes.
    smbios_table: str = None


@dataclasses.dataclass
class BootResult:
    folder: str
    serial_log: str
    trace_log: str
    files: dict
    seconds: float
    exit_code: int
    timed_out: bool
    accesses: list = None          # register_watch.Access, in order, when watched


def shell_line(step):
    """Turns one planned step into a Shell command line. A step naming one of
    the testbed's images runs it from the boot volume; `load NAME` loads it as
    a driver; anything else is passed through as a Shell command."""
    words = step.split()
    if words[0] == "load" and len(words) == 2 and words[1] in IMAGES:
        return "load fs0:\\" + IMAGES[words[1]]
    if words[0] in IMAGES:
        return " ".join(["fs0:\\" + IMAGES[words[0]], *words[1:]])
    return step


def startup_script(steps):
    lines = ["@echo -on", "fs0:"]
    for step in steps:
        lines.append("echo \"testbed-step: %s\"" % step.replace('"', "'"))
        lines.append(shell_line(step))
    lines.append("echo \"testbed-step: done\"")
    lines.append("reset -s")
    return "\r\n".join(lines) + "\r\n"


def make_disk(path, efi_dir, steps, extra_files, megabytes=8):
    if os.path.exists(path):
        os.remove(path)
    sectors = megabytes * 2048
    subprocess.run(["mformat", "-C", "-i", path, "-T", str(sectors), "-h", "16", "-s", "32",
                    "-v", "TESTBED", "::"], check=True, capture_output=True)
    used = {word for step in steps for word in step.split() if word in IMAGES}
    for name in sorted(used):
        source = os.path.join(efi_dir, IMAGES[name])
        if not os.path.exists(source):
            raise FileNotFoundError("missing image %s (build it first)" % source)
        subprocess.run(["mcopy", "-i", path, source, "::" + IMAGES[name]], check=True)
    for disk_name, source in extra_files.items():
        subprocess.run(["mcopy", "-i", path, source, "::" + disk_name], check=True)
    script = os.path.join(os.path.dirname(path), "startup.nsh")
    with open(script, "w", newline="") as handle:
        handle.write(startup_script(steps))
    subprocess.run(["mcopy", "-i", path, script, "::startup.nsh"], check=True)


def machine_options(plan, flash, folder):
    """The testbed board: q35 under TCG with `flash` as OVMF's code and a
    fresh copy of its variable store in `folder`."""
    return [
        "qemu-system-x86_64",
        "-machine", "q35,accel=tcg,smbios-entry-point-type=%d" % plan.entry_point,
        "-nodefaults", "-display", "none", "-no-reboot", "-m", str(plan.memory),
        "-drive", "if=pflash,format=raw,readonly=on,file=" + flash,
        "-drive", "if=pflash,format=raw,file=" + os.path.join(folder, "vars.fd"),
    ]


def qemu_command(plan, folder, disk):
    command = machine_options(plan, OVMF_CODE, folder) + [
        "-drive", "file=%s,format=raw,if=ide" % disk,
        # A pipe pair (serial.in, serial.out) rather than a file, so that a
        # key can be sent; serial.out is copied to serial.log as it arrives.
        "-chardev", "pipe,id=serial0,path=" + os.path.join(folder, "serial"),
        "-serial", "chardev:serial0",
    ]
    return command + board_options(plan, folder)


def smbios_options(plan, folder):
    """QEMU's SMBIOS options: the testbed's strings, or one file per structure
    of plan.smbios_table, written into `folder`."""
    if plan.smbios_table is None:
        return [word for option in SMBIOS_OPTIONS for word in ("-smbios", option)]
    options = []
    for structure in smbios_dump.read(plan.smbios_table).structures:
        if structure.type == smbios_dump.END_OF_TABLE:
            continue
        path = os.path.join(folder, "smbios-%04x.bin" % structure.handle)
        with open(path, "wb") as handle:
            handle.write(structure.raw)
        options += ["-smbios", "file=" + path]
    return options


def board_options(plan, folder):
    """The straps, the SMBIOS structures QEMU is asked for and the port trace."""
    low, high = strap_bytes(plan.code, plan.noise)
    command = [
        "-chardev", "null,id=strap-low", "-chardev", "null,id=strap-high",
        "-device", "isa-debugcon,iobase=0x%x,readback=0x%02x,chardev=strap-low" % (STRAP_PORT_LOW, low),
        "-device", "isa-debugcon,iobase=0x%x,readback=0x%02x,chardev=strap-high" % (STRAP_PORT_HIGH, high),
    ]
    command += smbios_options(plan, folder)
    if plan.trace_straps or plan.trace_mmio:
        command += ["-trace", "memory_region_ops_read"]
    if plan.trace_mmio:
        command += ["-trace", "memory_region_ops_write"]
    return command


def _qmp_exchange(path, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as channel:
        channel.settimeout(20)
        channel.connect(path)
        reader = channel.makefile("r")
        reader.readline()  # greeting
        for request in ({"execute": "qmp_capabilities"},
                        {"execute": "human-monitor-command", "arguments": {"command-line": command}}):
            channel.sendall((json.dumps(request) + "\n").encode())
            while True:
                reply = json.loads(reader.readline())
                if "return" in reply or "error" in reply:
                    break
        return reply.get("return", json.dumps(reply.get("error")))


def _query_when(serial_log, marker, socket_path, command, output, deadline):
    """Waits for `marker` in the serial log, then asks QEMU's monitor."""
    while time.monotonic() < deadline:
        try:
            with open(serial_log, "rb") as handle:
                if marker.encode() in handle.read():
                    break
        except FileNotFoundError:
            pass
        time.sleep(0.2)
    else:
        return
    try:
        text = _qmp_exchange(socket_path, command)
    except (OSError, ValueError) as error:
        text = "monitor query failed: %s\n" % error
    with open(output, "w") as handle:
        handle.write(text)


# What the Shell prints while it counts down before running startup.nsh;
# any key but ESC ends the wait.
COUNTDOWN_PROMPT = b"seconds to skip"


def _pump_serial(folder, skip_countdown, stop):
    """Copies the console from serial.out to serial.log until `stop` is set
    and the pipe is drained; sends one space when the countdown shows."""
    # Opened read-write, so neither open waits for QEMU's end of the pipe.
    output = os.open(os.path.join(folder, "serial.out"), os.O_RDWR | os.O_NONBLOCK)
    keys = os.open(os.path.join(folder, "serial.in"), os.O_RDWR | os.O_NONBLOCK)
    pending = skip_countdown
    tail = b""
    try:
        with open(os.path.join(folder, "serial.log"), "wb") as log:
            while True:
                ready, _, _ = select.select([output], [], [], 0.1)
                if not ready:
                    if stop.is_set():
                        break
                    continue
                chunk = os.read(output, 65536)
                log.write(chunk)
                log.flush()
                if pending:
                    tail = (tail + chunk)[-256:]
                    if COUNTDOWN_PROMPT in tail:
                        os.write(keys, b" ")
                        pending = False
    finally:
        os.close(output)
        os.close(keys)


# What timeout(1) exits with when it ended QEMU: TERM sent, or KILL after it.
TIMED_OUT_STATUSES = (124, 137)


def run_traced(plan, command, folder, on_start=None):
    """Runs QEMU to its end under the plan's timeout, keeping the strap ports'
    lines of its trace in folder/trace.log. With the plan's watch, QEMU starts
    halted under its GDB stub and the watched accesses are recorded (also in
    accesses.txt). Returns the finished process and the accesses (or None)."""
    if plan.watch:
        port = register_watch.free_port()
        command = command + ["-gdb", "tcp:127.0.0.1:%d" % port, "-S"]
    with open(os.path.join(folder, "qemu-command.txt"), "w") as handle:
        handle.write(" ".join(command) + "\n")
    # timeout(1) ends a hung firmware even when it prints nothing.
    command = ["timeout", "--kill-after=5", str(plan.timeout)] + command
    # The trace logs every device read of the whole boot; awk keeps the strap
    # ports' lines (and QEMU's own messages) as they stream past.
    keep = "1" if plan.trace_mmio else "!/memory_region_ops/ || /name 'isa-debugcon'/"
    accesses = None
    started = time.monotonic()
    with open(os.path.join(folder, "trace.log"), "wb") as trace:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        if on_start:
            on_start(process)
        if plan.watch:
            accesses = _watch(plan, port, process, trace, started, folder)
        else:
            subprocess.run(["awk", keep], stdin=process.stderr, stdout=trace, check=True)
        process.stderr.close()
        process.wait()
    return process, accesses


def _watch(plan, port, process, trace, started, folder):
    """Records the watched accesses (and filters the trace as awk would);
    a watch that cannot be armed ends the boot at once."""
    try:
        accesses = register_watch.follow(port, plan.watch, process.stderr, trace,
                                         started + plan.timeout)
    except OSError as error:
        process.terminate()
        accesses = None
        lines = ["watch failed: %s" % error]
    except BaseException:
        process.terminate()
        raise
    else:
        lines = [access.line() for access in accesses]
    with open(os.path.join(folder, "accesses.txt"), "w") as handle:
        handle.write("".join(line + "\n" for line in lines))
    return accesses


def fresh_folder(folder, vars_template=OVMF_VARS):
    """Empties `folder` and puts a fresh copy of the variable store in it."""
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    shutil.copyfile(vars_template, os.path.join(folder, "vars.fd"))


def run(plan, efi_dir, folder):
    fresh_folder(folder, plan.vars_template)
    disk = os.path.join(folder, "disk.img")
    make_disk(disk, efi_dir, plan.steps, plan.extra_files, plan.disk_megabytes)
    command = qemu_command(plan, folder, disk)
    trace_path = os.path.join(folder, "trace.log")
    for fifo in ("serial.in", "serial.out"):
        os.mkfifo(os.path.join(folder, fifo))
    stop_pump = threading.Event()
    pump = threading.Thread(target=_pump_serial, args=(folder, plan.skip_countdown, stop_pump),
                            daemon=True)
    pump.start()
    started = time.monotonic()
    query = None
    if plan.monitor_query:
        # A short path of its own: socket paths are limited to about 100 bytes.
        socket_dir = tempfile.mkdtemp(prefix="testbed-qmp-")
        socket_path = os.path.join(socket_dir, "qmp")
        command += ["-qmp", "unix:%s,server=on,wait=off" % socket_path]
        step, monitor_command = plan.monitor_query
        query = threading.Thread(target=_query_when, daemon=True, args=(
            os.path.join(folder, "serial.log"), "testbed-step: " + step, socket_path, monitor_command,
            os.path.join(folder, "monitor.txt"), started + plan.timeout))
    process, accesses = run_traced(plan, command, folder, (lambda _: query.start()) if query else None)
    stop_pump.set()
    pump.join()
    for fifo in ("serial.in", "serial.out"):
        os.remove(os.path.join(folder, fifo))
    if query:
        query.join(timeout=5)
        shutil.rmtree(socket_dir, ignore_errors=True)
    timed_out = process.returncode in TIMED_OUT_STATUSES
    seconds = time.monotonic() - started
    files = {}
    for name in plan.results:
        target = os.path.join(folder, name)
        copied = subprocess.run(["mcopy", "-n", "-i", disk, "::" + name, target],
                                capture_output=True)
        if copied.returncode == 0:
            files[name] = target
    return BootResult(folder=folder, serial_log=os.path.join(folder, "serial.log"),
                      trace_log=trace_path, files=files, seconds=seconds,
                      exit_code=process.returncode, timed_out=timed_out, accesses=accesses)
