"""Decodes, backwards from where it ended, the x86-64 instruction that made
a watched memory access: a MOV or MOVZX between memory and a register or an
immediate, which gives the access's width and the register holding the value.

Registers are numbered as the instruction encoding numbers them (0 rax,
1 rcx, 2 rdx, 3 rbx, 4 rsp, 5 rbp, 6 rsi, 7 rdi, 8..15 r8..r15).
"""

import dataclasses

# Legacy prefixes (operand size, address size, segments), then REX.
PREFIXES = (0x66, 0x67, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65) + tuple(range(0x40, 0x50))


@dataclasses.dataclass
class Move:
    length: int
    kind: str
    width: int
    register: int = None   # the value's register, by its encoding number
    high_byte: bool = False  # AH, CH, DH, BH
    immediate: int = None
    base: int = None
    index: int = None
    scale: int = 1
    displacement: int = 0
    rip_relative: bool = False


def _signed(data, size):
    return int.from_bytes(data[:size], "little", signed=True)


def decode_move(code):
    """Decodes `code` as one x86-64 MOV/MOVZX between a register or immediate
    and memory; returns a Move when it is exactly one such instruction."""
    at, operand16, rex = 0, False, 0
    while at < len(code) and code[at] in PREFIXES[:8]:
        operand16 |= code[at] == 0x66
        at += 1
    if at < len(code) and 0x40 <= code[at] <= 0x4F:
        rex, at = code[at], at + 1
    wide = 8 if rex & 8 else 2 if operand16 else 4
    opcode = code[at:at + 2]
    if opcode[:1] in (b"\x88", b"\x8a", b"\xc6"):
        kind, width, at = ("read" if opcode[0] == 0x8A else "write"), 1, at + 1
    elif opcode[:1] in (b"\x89", b"\x8b", b"\xc7"):
        kind, width, at = ("read" if opcode[0] == 0x8B else "write"), wide, at + 1
    elif opcode in (b"\x0f\xb6", b"\x0f\xb7"):
        kind, width, at = "read", 1 if opcode[1] == 0xB6 else 2, at + 2
    else:
        return None
    if at >= len(code):
        return None
    modrm = code[at]
    mod, reg, rm = modrm >> 6, (modrm >> 3) & 7, modrm & 7
    at += 1
    if mod == 3:
        return None
    move = Move(length=0, kind=kind, width=width)
    if rm == 4:
        if at >= len(code):
            return None
        sib = code[at]
        at += 1
        move.scale = 1 << (sib >> 6)
        index = ((sib >> 3) & 7) | (8 if rex & 2 else 0)
        move.index = None if index == 4 else index
        move.base = (sib & 7) | (8 if rex & 1 else 0)
        if sib & 7 == 5 and mod == 0:
            move.base, mod = None, 2  # disp32, no base
    elif rm == 5 and mod == 0:
        move.rip_relative, mod = True, 2
    else:
        move.base = rm | (8 if rex & 1 else 0)
    size = {0: 0, 1: 1, 2: 4}[mod]
    if at + size > len(code):
        return None
    move.displacement = _signed(code[at:], size) if size else 0
    at += size
    if opcode[0] in (0xC6, 0xC7):
        if reg != 0:
            return None
        size = 1 if opcode[0] == 0xC6 else min(width, 4)
        if at + size > len(code):
            return None
        move.immediate = int.from_bytes(code[at:at + size], "little")
        at += size
    else:
        move.register = reg | (8 if rex & 4 else 0)
        move.high_byte = width == 1 and not rex and 4 <= reg <= 7
        if move.high_byte:
            move.register = reg - 4
    if at != len(code):
        return None
    move.length = at
    return move


def effective_address(move, registers, end):
    if move.rip_relative:
        return (end + move.displacement) & (2 ** 64 - 1)
    total = move.displacement
    if move.base is not None:
        total += registers[move.base]
    if move.index is not None:
        total += registers[move.index] * move.scale
    return total & (2 ** 64 - 1)


def _matching_move(code, length, end, registers, address, kind):
    move = decode_move(code[len(code) - length:])
    if move is None or move.kind != kind:
        return None
    clobbered = kind == "read" and move.register in (move.base, move.index)
    if not clobbered and effective_address(move, registers, end) != address:
        return None
    return move


def explain_stop(code, end, registers, address, kind):
    """The instruction that ended at `end` and accessed `address`: the
    shortest move in the 15 bytes before it whose operand is that address (or
    whose address registers the load overwrote), grown by the prefix bytes
    before it (a byte that may be a prefix is taken as one).
    Returns (its address, the Move or None, the value it moved or None)."""
    for length in range(1, min(15, len(code)) + 1):
        move = _matching_move(code, length, end, registers, address, kind)
        if move is None:
            continue
        while length < len(code) and code[len(code) - length - 1] in PREFIXES:
            longer = _matching_move(code, length + 1, end, registers, address, kind)
            if longer is None:
                break
            move, length = longer, length + 1
        if move.immediate is not None:
            value = move.immediate
        elif move.high_byte:
            value = (registers[move.register] >> 8) & 0xFF
        else:
            value = registers[move.register] & ((1 << (8 * move.width)) - 1)
        return end - length, move, value
    return end, None, None


def with_byte(register_value, move, byte):
    """The loading register's value with the loaded byte replaced."""
    shift = 8 if move.high_byte else 0
    return (register_value & ~(0xFF << shift)) | (byte << shift)
