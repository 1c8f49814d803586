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


def content_faults(buf):
    """Faults of the two-mesh file `buf` that leave a valid FlatBuffers
    buffer, which meshinfo and the Python reader refuse with the same
    reason: (name, offset, struct format, value, reason pattern). Then the
    highest index that still names a position: (mesh number, offset, value)."""
    mesh0, mesh1 = meshes(buf)
    model = u32(buf, 0)
    faults = [("2 indices", vector(buf, mesh1, INDICES), "<I", 2, r"^mesh 1: 2 indices, not a multiple of 3$")]
    # A zero vtable entry marks a field absent; both meshes share the
    # vtable, so mesh 0 lacks it first.
    for slot, name in ((POSITIONS, "positions"), (NORMALS, "normals"), (INDICES, "indices")):
        faults.append(("no " + name, vtable(buf, mesh1) + 4 + 2 * slot, "<H", 0, r"^mesh 0: no %s vector$" % name))
    faults.append(("no meshes", vtable(buf, model) + 4, "<H", 0, r"^no meshes vector$"))
    highest = []
    # The last index of each mesh: the highest that names a position
    # passes, one more does not.
    for number, mesh in enumerate((mesh0, mesh1)):
        count = u32(buf, vector(buf, mesh, POSITIONS))
        last = vector(buf, mesh, INDICES) + 4 + 4 * 2
        faults += [("mesh %d index %d" % (number, bad), last, "<I", bad,
                    r"^mesh %d: index 2 is %d, but the mesh has only %d positions$" % (number, bad, count))
                   for bad in (count, 0xFFFFFFFF)]
        highest.append((number, last, count - 1))
    return faults, highest
