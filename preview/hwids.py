"""The hardware IDs (CHIDs) fwupd computes for an SMBIOS table: fwupdtool
reads the table from a folder laid out as Linux exports it
(dmi/tables/smbios_entry_point and dmi/tables/DMI) and parses it itself."""

import os
import re
import subprocess
import tempfile

LINE = re.compile(r"^\{([0-9a-f-]{36})\}\s+<-\s+(.+)$")


class HardwareIdError(Exception):
    pass


def hardware_ids(entry_point, table):
    """[(GUID, fields as fwupd names them, e.g. "Manufacturer + ProductName")] in fwupd's order."""
    with tempfile.TemporaryDirectory(prefix="preview-hwids-") as folder:
        tables = os.path.join(folder, "dmi", "tables")
        os.makedirs(tables)
        for name, data in (("smbios_entry_point", entry_point), ("DMI", table)):
            with open(os.path.join(tables, name), "wb") as handle:
                handle.write(data)
        env = dict(os.environ, FWUPD_SYSFSFWDIR=folder, LANG="C.UTF-8")
        try:
            run = subprocess.run(["fwupdtool", "hwids"], env=env, capture_output=True, text=True,
                                 timeout=60)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise HardwareIdError("fwupdtool hwids did not run: %s" % error)
    ids = [match.groups() for match in map(LINE.match, run.stdout.splitlines()) if match]
    if run.returncode != 0 or not ids:
        raise HardwareIdError("fwupdtool hwids gave no hardware IDs (exit %d): %s"
                              % (run.returncode, (run.stderr or run.stdout).strip()[-300:]))
    return ids


def for_dump(dump):
    return hardware_ids(dump.entry_point, dump.table)
