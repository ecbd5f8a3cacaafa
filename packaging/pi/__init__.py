"""Records of the PI firmware-volume format (volumes, FFS files, sections):
each parsed from bytes with every size and offset checked against the buffer
that holds it, and built back as new bytes with sizes and checksums computed
in one place."""
