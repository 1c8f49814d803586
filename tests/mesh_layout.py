"""What the tests of meshinfo and of the Python reader share: small files
converted by the program, and just enough of the FlatBuffers layout of a
.mesh file to find the bytes to damage."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

# Two groups: a quad with a normal on every corner, a triangle without.
TWO_GROUPS = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.5 -2 3.25\nvn 0 0 1\n" \
             "g quad\nf 1//1 2//1 3//1 4//1\ng tri\nf 5 2 1\n"


class SmallFiles(unittest.TestCase):
    """A fresh folder with TWO_GROUPS and a file without faces, converted in
    both modes (split, joined, none_split, none_joined); `split` holds the
    bytes of split.mesh. The test script sets `obj2mesh` to the program."""

    obj2mesh = None

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.write("two.obj", TWO_GROUPS.encode())
        self.write("none.obj", b"v 1 2 3\n")
        for obj, out, mode in (("two", "split", "false"), ("two", "joined", "true"),
                               ("none", "none_split", "false"), ("none", "none_joined", "true")):
            subprocess.run([self.obj2mesh, obj + ".obj", "-o", out + ".mesh", "-c", mode], cwd=self.dir, check=True,
                           capture_output=True)
        with open(self.path("split.mesh"), "rb") as f:
            self.split = f.read()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

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
