"""What the tests of meshinfo and of the Python reader share: small files
converted by the program or built by flatc, and just enough of the
FlatBuffers layout of a .mesh file to find the bytes to damage."""

import copy
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

# Two groups: a quad with a normal on every corner, a triangle without.
TWO_GROUPS = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.5 -2 3.25\nvn 0 0 1\n" \
             "g quad\nf 1//1 2//1 3//1 4//1\ng tri\nf 5 2 1\n"

# Every optional field, built by flatc from this JSON, apart from the
# converter: a quad whose triangles are two parts, the second without a
# material; a material that sets nothing, one that sets opacity to its
# default. The flatc program is $FLATC or the one on the PATH.
TEXTURED = {"meshes": [{
    "positions": [{"x": x, "y": y, "z": 0} for x, y in ((0, 0), (1, 0), (1, 1), (0, 1))], "normals": [],
    "indices": [0, 1, 2, 0, 2, 3], "texcoords": [{"x": u, "y": v} for u, v in ((0, 0), (1, 0), (1, 1), (0, 0.5))],
    "parts": [{"firstIndex": 0, "indexCount": 3, "material": 1, "shape": 0},
              {"firstIndex": 3, "indexCount": 3, "material": -1, "shape": 1}]}],
    "shapes": ["quad", "t\"ri\t"],
    "materials": [{"name": "plain"}, {"name": "red", "diffuse": {"x": 1, "y": 0, "z": 0.25}, "shininess": 0,
                                      "opacity": 1, "illum": 2, "normalTexture": "n m.png"}]}
# Changes to TEXTURED that flatc builds into valid buffers, which meshinfo
# and the Python reader refuse with the same reason: (name, path, value or
# None to remove, reason pattern).
TEXTURED_FAULTS = [
    ("3 texcoords", ("meshes", 0, "texcoords", 3), None, r"^mesh 0: 3 texcoords, but the mesh has 4 positions$"),
    ("part of 2", ("meshes", 0, "parts", 0, "indexCount"), 2, r"^mesh 0: part 0 has 2 indices, not a multiple of 3$"),
    ("gap", ("meshes", 0, "parts", 1, "firstIndex"), 6, r"^mesh 0: part 1 starts at index 6, not at 3$"),
    ("overrun", ("meshes", 0, "parts", 1, "indexCount"), 6,
     r"^mesh 0: part 1 ends at index 9, but the mesh has only 6 indices$"),
    ("short", ("meshes", 0, "parts", 1), None, r"^mesh 0: parts cover 3 of the mesh's 6 indices$"),
    ("shape 2", ("meshes", 0, "parts", 1, "shape"), 2, r"^mesh 0: part 1 names shape 2, but the model has 2 shapes$"),
    ("no shapes", ("shapes",), None, r"^mesh 0: part 0 names shape 0, but the model has 0 shapes$"),
    ("material 2", ("meshes", 0, "parts", 0, "material"), 2,
     r"^mesh 0: part 0 names material 2, but the model has 2 materials$"),
    ("material -2", ("meshes", 0, "parts", 1, "material"), -2, r"^mesh 0: part 1 names material -2, but the"),
]


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
        self.build("textured", TEXTURED)

    def build(self, name, model):
        """Writes `model` (JSON as the schema has it) as name.mesh, built by
        flatc alone; returns its path."""
        with open(self.path(name + ".json"), "w") as f:
            json.dump(model, f)
        subprocess.run([os.environ.get("FLATC") or "flatc", "--binary", "--force-defaults", "--no-warnings", "-o",
                        self.dir, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "schema",
                                               "mesh.fbs"), self.path(name + ".json")], check=True)
        os.replace(self.path(name + ".bin"), self.path(name + ".mesh"))
        return self.path(name + ".mesh")

    def textured_faults(self):
        """Builds each of TEXTURED_FAULTS: (name, path, reason pattern)."""
        for name, keys, value, pattern in TEXTURED_FAULTS:
            model = copy.deepcopy(TEXTURED)
            parent = model
            for key in keys[:-1]:
                parent = parent[key]
            if value is None:
                del parent[keys[-1]]
            else:
                parent[keys[-1]] = value
            yield name, self.build(name.replace(" ", "_"), model), pattern

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
