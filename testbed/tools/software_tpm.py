"""A TPM 2.0 of its own for one boot: swtpm with a fresh state folder,
served on a UNIX socket that QEMU's TPM TIS device talks to.

    with software_tpm.started(folder) as options:
        flash_boot.run(..., devices=options)

swtpm runs as our child and is ended by its process id when the block
leaves, however it leaves; swtpm also ends by itself when QEMU closes the
connection (--terminate), should this process be killed first."""

import contextlib
import os
import shutil
import subprocess
import tempfile
import time

SOCKET_WAIT = 10  # seconds for swtpm to open its socket


class TpmError(Exception):
    pass


@contextlib.contextmanager
def started(folder):
    """Starts swtpm with its state in `folder` (emptied first); yields the
    QEMU options that attach it."""
    state = os.path.abspath(folder)
    shutil.rmtree(state, ignore_errors=True)
    os.makedirs(state)
    # UNIX socket paths are limited to about 100 bytes: a short folder of its own.
    socket_dir = tempfile.mkdtemp(prefix="testbed-swtpm-")
    socket_path = os.path.join(socket_dir, "tpm")
    log = open(os.path.join(state, "swtpm.log"), "w")
    process = subprocess.Popen(["swtpm", "socket", "--tpm2", "--terminate", "--tpmstate", "dir=" + state,
                                "--ctrl", "type=unixio,path=" + socket_path,
                                "--log", "file=" + os.path.join(state, "swtpm-debug.log")],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + SOCKET_WAIT
        while not os.path.exists(socket_path):
            if process.poll() is not None or time.monotonic() > deadline:
                raise TpmError("swtpm did not open %s (status %s; see %s)"
                               % (socket_path, process.poll(), log.name))
            time.sleep(0.05)
        yield ["-chardev", "socket,id=chrtpm,path=" + socket_path,
               "-tpmdev", "emulator,id=tpm0,chardev=chrtpm", "-device", "tpm-tis,tpmdev=tpm0"]
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()
        shutil.rmtree(socket_dir, ignore_errors=True)
