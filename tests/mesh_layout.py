"""Just enough of the FlatBuffers layout of a .mesh file to find the bytes
that the tests of meshinfo and of the Python reader damage."""

import struct

POSITIONS, NORMALS, INDICES = 0, 1, 2


def u32(buf, at):
    return struct.unpack_from("<I", buf, at)[0]


def vtable(buf, table):
    return table - struct.unpack_from("<i", buf, table)[0]


def field(buf, table, slot):
    """Position of the field's value in the table."""
    return table + struct.unpack_from("<H", buf, vtable(buf, table) + 4 + 2 * slot)[0]


def vector(buf, table, slot):
    """Position of the length word of the vector a table's field points at."""
    return field(buf, table, slot) + u32(buf, field(buf, table, slot))


def meshes(buf):
    at = vector(buf, u32(buf, 0), 0)
    return [at + 4 + 4 * i + u32(buf, at + 4 + 4 * i) for i in range(u32(buf, at))]
