"""The board check and the readers it shares with the preview and the
testbed: SMBIOS dumps (dumpfile), EDK II's SMBIOS measurement (measurement),
the TPM's event log (event_log), our board variants (boards). Python 3's
standard library only, so that it runs on a board's own Linux."""
