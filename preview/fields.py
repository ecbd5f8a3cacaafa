"""Which fields of a System (type 1) or Baseboard (type 2) Information
structure string 2 feeds. The driver replaces string 2 by its position and
never reads the formatted area, so on a table that numbers its strings in
another order it renames whatever field points at string 2."""

# The string-number fields of the formatted area, by offset.
STRING_FIELDS = {
    1: [(0x04, "Manufacturer"), (0x05, "Product Name"), (0x06, "Version"), (0x07, "Serial Number"),
        (0x19, "SKU Number"), (0x1A, "Family")],
    2: [(0x04, "Manufacturer"), (0x05, "Product"), (0x06, "Version"), (0x07, "Serial Number"),
        (0x08, "Asset Tag"), (0x0A, "Location in Chassis")],
}
PRODUCT_FIELD = {1: (0x05, "Product Name"), 2: (0x05, "Product")}
REWRITTEN_STRING = 2
WORKING_COPY_SIZE = 406  # the pool copy the driver rewrites a structure in


def strings_of(structure):
    area = structure[structure[1]:-2]
    return [] if area in (b"", b"\0") else area.split(b"\0")


def field_string(structure, offset):
    """The string the field at `offset` points at, as text; "(none)" when it points at none."""
    strings = strings_of(structure)
    number = structure[offset] if offset < structure[1] else 0
    return strings[number - 1].decode("latin-1") if 0 < number <= len(strings) else "(none)"


def product_name(structure):
    return field_string(structure, PRODUCT_FIELD[structure[0]][0])


def skip_reason(structure, name):
    """Why the driver leaves the structure as it is when the straps present
    `name` (bytes), or None when it should rewrite it."""
    strings = strings_of(structure)
    if len(structure) > WORKING_COPY_SIZE:
        return "%d bytes, longer than the driver's %d-byte working copy" % (len(structure), WORKING_COPY_SIZE)
    if len(strings) < REWRITTEN_STRING:
        return "only one string" if strings else "no strings"
    if len(structure) - len(strings[1]) + len(name) > WORKING_COPY_SIZE:
        return "with the name it would outgrow the driver's %d-byte working copy" % WORKING_COPY_SIZE
    return None


def fed_by_string_2(structure):
    """The fields, within the header's Length, whose string number is 2."""
    return [name for offset, name in STRING_FIELDS[structure[0]]
            if offset < structure[1] and structure[offset] == REWRITTEN_STRING]


def assessment(structure):
    """(what string 2 feeds, as text; a warning or None)."""
    kind = structure[0]
    if len(strings_of(structure)) < REWRITTEN_STRING:
        return "no string 2", None
    fed = fed_by_string_2(structure)
    offset, product = PRODUCT_FIELD[kind]
    text = " + ".join(fed) if fed else "no field"
    if fed == [product]:
        return text, None
    if product in fed:
        return text, "string 2 also feeds %s: the driver would change them besides the %s" % (
            " + ".join(f for f in fed if f != product), product)
    number = structure[offset] if offset < structure[1] else None
    where = "string %d" % number if number else "not a string" if number == 0 else "outside the Length"
    return text, "the %s is %s: the driver would change %s instead of the %s" % (
        product, where, text if fed else "a string no field shows", product)
