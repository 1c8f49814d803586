"""Reads the .mesh files that obj2mesh writes, and converts OBJ files in
process.

A .mesh file is a FlatBuffers buffer holding a list of meshes, each with
positions and normals (float32 x, y, z) and triangle indices (uint32), and,
when the conversion asked for them, texture coordinates (float32 u, v),
parts (runs of triangles of one shape and one material), the names of the
shapes and the materials. load() checks the whole file first, then returns
its meshes as read-only numpy views of the memory-mapped file, with no copy:

    import obj2mesh

    model = obj2mesh.load("model.mesh")
    for mesh in model:
        print(mesh.positions.shape, mesh.normals.shape, mesh.indices.shape)
        corners = mesh.positions[mesh.indices]  # triangles x 3 corners x xyz
        for first, count, material, shape in mesh.parts.tolist():
            triangles = mesh.indices[first // 3:(first + count) // 3]
            texture = model.materials[material].diffuse_texture if material >= 0 else None
            print(model.shapes[shape], texture, len(triangles))

The arrays keep the file mapped for as long as any of them is alive; the
file must not shrink meanwhile. from_buffer() reads a buffer already in
memory the same way.

With the extension obj2mesh._native (built with the package), the
converter library runs in process, releasing the GIL while it works:

    model = obj2mesh.load_obj("model.obj")   # a Model, converted in memory
    obj2mesh.convert("model.obj")            # writes model.mesh beside it

Failures raise ConversionError (path, line, reason, kind).
"""

import mmap
import os
import stat
import struct

import numpy as np

__version__ = "0.1.0"
__all__ = ["Mesh", "Model", "Material", "PART_DTYPE", "load", "from_buffer", "MAX_SIZE",
           "load_obj", "convert", "ConversionError", "FAILURE_KINDS"]

# A FlatBuffers buffer must be smaller than 2^31 - 1 bytes: its offsets are
# signed 32-bit.
MAX_SIZE = 2**31 - 2
# A root offset, a table's vtable offset and a vtable's two sizes: the least
# a buffer holds.
_MIN_SIZE = 12
# Mesh vectors in vtable order: name, scalar type (4 bytes; None for
# parts), element size, and values per row of the array.
_MESH_FIELDS = (("positions", "<f4", 12, 3), ("normals", "<f4", 12, 3), ("indices", "<u4", 4, 3),
                ("texcoords", "<f4", 8, 2), ("parts", None, 16, 1))
# One element of Mesh.parts, as the file stores it.
PART_DTYPE = np.dtype([("first_index", "<u4"), ("index_count", "<u4"), ("material", "<i4"), ("shape", "<u4")])
# Material fields in vtable order: attribute, and "color", a struct format
# or "text".
_MATERIAL_FIELDS = (("name", "text"), ("ambient", "color"), ("diffuse", "color"), ("specular", "color"),
                    ("emissive", "color"), ("shininess", "<f"), ("opacity", "<f"), ("illum", "<i"),
                    ("ambient_texture", "text"), ("diffuse_texture", "text"), ("specular_texture", "text"),
                    ("emissive_texture", "text"), ("opacity_texture", "text"), ("normal_texture", "text"))


class Mesh:
    """One mesh: positions (N x 3 float32), normals (M x 3 float32), indices
    (K x 3 uint32, a row per triangle, every index below N), texcoords (N x 2
    float32, u and v of each position; 0 x 2 when the mesh has none) and
    parts (a structured array of PART_DTYPE, empty when the mesh has none).

    Normals and texcoords belong to the positions only when there are as
    many as positions. The parts split the triangles end to end: part p
    covers indices[first_index // 3 : (first_index + index_count) // 3] (its
    fields count entries of the flat index list, three per triangle), all
    of shape Model.shapes[shape] and of material Model.materials[material],
    or of none when material is -1."""

    __slots__ = ("positions", "normals", "indices", "texcoords", "parts")

    def __init__(self, positions, normals, indices, texcoords, parts):
        self.positions, self.normals, self.indices = positions, normals, indices
        self.texcoords, self.parts = texcoords, parts

    def __repr__(self):
        return "Mesh(%d positions, %d normals, %d triangles, %d texcoords, %d parts)" % (
            len(self.positions), len(self.normals), len(self.indices), len(self.texcoords), len(self.parts))


class Material:
    """A material of the libraries the OBJ file named, as they set it: name;
    ambient, diffuse, specular and emissive colors (tuples of three floats:
    Ka, Kd, Ks, Ke); shininess (Ns); opacity (d, or 1 - Tr); illum; and the
    texture file names ambient_texture, diffuse_texture, specular_texture,
    emissive_texture, opacity_texture and normal_texture, as the library
    writes them. A property the library does not set is None: an unset
    opacity means opaque (1.0), the rest have no value."""

    __slots__ = tuple(name for name, _ in _MATERIAL_FIELDS)

    def __init__(self, **properties):
        for name in self.__slots__:
            setattr(self, name, properties.get(name))

    def __repr__(self):
        return "Material(%s)" % ", ".join("%s=%r" % (name, getattr(self, name))
                                          for name in self.__slots__ if getattr(self, name) is not None)


class Model(list):
    """The meshes of a file, in file order, as a list of Mesh, with the
    names of all its shapes in file order (`shapes`, a list of str) and its
    materials in id order (`materials`, a list of Material); both are empty
    when the file has none. Names are decoded from UTF-8; bytes that are
    not UTF-8 come back as surrogate escapes, which os.fsencode turns back
    into the bytes."""

    def __init__(self, meshes=(), shapes=(), materials=()):
        super().__init__(meshes)
        self.shapes, self.materials = list(shapes), list(materials)


class _Buffer:
    """Bounds- and alignment-checked reads from the buffer; every failure
    raises ValueError naming it."""

    def __init__(self, data, name):
        self.data, self.size, self.name = data, len(data), name

    def fail(self, reason):
        raise ValueError("%s: %s" % (self.name, reason))

    def need(self, at, length, align, what):
        """`length` bytes at `at` lie in the buffer, `at` a multiple of
        `align` (no object may span the whole buffer, as FlatBuffers has
        it)."""
        if not (0 <= at and length < self.size and at <= self.size - length):
            self.fail("%s (%d bytes at byte %d) lies outside the file" % (what, length, at))
        if at % align:
            self.fail("%s at byte %d is not aligned to %d bytes" % (what, at, align))

    def read(self, fmt, at, what, align=None):
        """The values of the struct format `fmt` at `at`, aligned to `align`
        (by default, the format's size): one value alone, or a tuple."""
        self.need(at, struct.calcsize(fmt), align or struct.calcsize(fmt), what)
        values = struct.unpack_from(fmt, self.data, at)
        return values[0] if len(values) == 1 else values

    def offset(self, at, what, element=False):
        """Position of the object that the uint32 offset at `at` refers to.
        Only a vector's element may be 0, referring to itself, as the
        FlatBuffers verifier has it."""
        value = self.read("<I", at, what + " offset")
        if not (0 if element else 1) <= value < 2**31:
            self.fail("%s offset at byte %d is %d" % (what, at, value))
        return at + value

    def fields(self, table, count, what):
        """Positions of the first `count` fields of the table at `table`,
        None for an absent one (a field past the vtable's end is absent)."""
        vtable = table - self.read("<i", table, what + " table")
        size = self.read("<H", vtable, what + " vtable")
        if size % 2:
            self.fail("%s vtable at byte %d has size %d" % (what, vtable, size))
        self.need(vtable, size, 2, what + " vtable")
        slots = [struct.unpack_from("<H", self.data, vtable + 4 + 2 * i)[0] if 4 + 2 * i < size else 0
                 for i in range(count)]
        return [table + slot if slot else None for slot in slots]

    def vector(self, field, item_size, what):
        """Position of the first element and the element count of the vector
        that the offset field at `field` refers to."""
        at = self.offset(field, what)
        count = self.read("<I", at, what + " length")
        self.need(at, 4 + count * item_size, 4, "%s vector of %d" % (what, count))
        return at + 4, count

    def string(self, field, what, element=False):
        """The string that the offset at `field` refers to (`element`: an
        element of a vector), which must end in a zero byte."""
        at = self.offset(field, what, element)
        count = self.read("<I", at, what + " length")
        self.need(at, 4 + count, 4, "%s of %d bytes" % (what, count))
        at += 4
        if self.read("<B", at + count, what + " end") != 0:
            self.fail("%s at byte %d does not end in a zero byte" % (what, at - 4))
        return bytes(self.data[at:at + count]).decode("utf-8", "surrogateescape")

    def tables(self, field, what):
        """Positions of the tables in the vector that the offset field at
        `field` refers to."""
        first, count = self.vector(field, 4, what)
        return [self.offset(first + 4 * i, "%s %d" % (what, i), True) for i in range(count)]


def _map(path):
    """The file mapped read-only, after checking its size."""
    # Opened without blocking, so that a FIFO with no writer is refused, not
    # waited for.
    with open(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC), "rb") as f:
        info = os.fstat(f.fileno())
        reason = ("not a regular file" if not stat.S_ISREG(info.st_mode) else
                  "empty file" if info.st_size == 0 else
                  "file is %d bytes; a FlatBuffers buffer must be smaller than %d bytes" % (info.st_size, MAX_SIZE + 1)
                  if info.st_size > MAX_SIZE else None)
        if reason:
            raise ValueError("%s: %s" % (os.fsdecode(path), reason))
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def load(path):
    """Returns the meshes of the .mesh file at `path` as a Model. Raises
    ValueError when the file is not a valid mesh file (the message names
    the file and the fault), OSError when it cannot be read."""
    return from_buffer(_map(path), os.fsdecode(path))


def _material(buf, table, what):
    properties = {}
    for (name, kind), field in zip(_MATERIAL_FIELDS, buf.fields(table, len(_MATERIAL_FIELDS), what)):
        if field is None:
            continue
        described = "%s %s" % (what, name)
        properties[name] = (buf.string(field, described) if kind == "text" else
                            buf.read("<3f", field, described, 4) if kind == "color" else buf.read(kind, field, described))
    return Material(**properties)


def _check_parts(buf, parts, indices, shapes, materials, which):
    """The parts split the mesh's `indices` index entries end to end into
    runs of whole triangles, each naming one of the `shapes` and one of the
    `materials` or -1. The first faulty part fails, for its first fault in
    this order."""
    counts = parts["index_count"].astype(np.int64)
    starts = np.concatenate(([0], np.cumsum(counts)))  # where each part must start, and where the last ends
    faults = [(counts % 3 != 0, "has %(count)d indices, not a multiple of 3"),
              (parts["first_index"] != starts[:-1], "starts at index %(first)d, not at %(start)d"),
              (starts[1:] > indices, "ends at index %(end)d, but the mesh has only %(indices)d indices"),
              (parts["shape"] >= shapes, "names shape %(shape)d, but the model has %(shapes)d shapes"),
              ((parts["material"] < -1) | (parts["material"] >= materials),
               "names material %(material)d, but the model has %(materials)d materials")]
    bad = np.logical_or.reduce([mask for mask, _ in faults])
    if np.any(bad):
        p = int(np.argmax(bad))
        reason = next(reason for mask, reason in faults if mask[p])
        values = dict(count=counts[p], first=parts["first_index"][p], start=starts[p], end=starts[p + 1],
                      indices=indices, shape=parts["shape"][p], shapes=shapes, material=parts["material"][p],
                      materials=materials)
        buf.fail("%spart %d %s" % (which, p, reason % values))
    if starts[-1] != indices:
        buf.fail("%sparts cover %d of the mesh's %d indices" % (which, starts[-1], indices))


def from_buffer(data, name="<buffer>"):
    """Returns the meshes of the .mesh buffer `data`, any bytes-like object
    (bytes, bytearray, mmap, a C-contiguous numpy array, ...), as a Model,
    checked as load() checks a file. The arrays are read-only views of
    `data` and keep it alive; it must not change while they are in use.
    Raises ValueError, its message starting with `name`, when the buffer is
    not a valid mesh buffer."""
    view = memoryview(data).cast("B")  # TypeError for what is not a contiguous buffer
    buf = _Buffer(view, os.fsdecode(name))
    if buf.size < _MIN_SIZE:
        buf.fail("%d bytes, too short for a mesh buffer" % buf.size)
    if buf.size > MAX_SIZE:
        buf.fail("%d bytes; a FlatBuffers buffer must be smaller than %d bytes" % (buf.size, MAX_SIZE + 1))
    meshes, materials, shapes = buf.fields(buf.offset(0, "root"), 3, "model")
    if meshes is None:
        buf.fail("no meshes vector")
    first, count = buf.vector(meshes, 4, "meshes")
    model = Model()
    if materials is not None:
        model.materials = [_material(buf, table, "material %d" % number)
                           for number, table in enumerate(buf.tables(materials, "materials"))]
    if shapes is not None:
        first_shape, shape_count = buf.vector(shapes, 4, "shapes")
        model.shapes = [buf.string(first_shape + 4 * i, "shape %d" % i, True)
                        for i in range(shape_count)]
    for number in range(count):
        which = "mesh %d" % number
        fields = buf.fields(buf.offset(first + 4 * number, which, True), len(_MESH_FIELDS), which)
        arrays = []
        for (field_name, dtype, size, width), field in zip(_MESH_FIELDS, fields):
            if field is None:
                # The converter always writes the first three vectors, even
                # empty ones; the others only when asked for.
                if len(arrays) < 3:
                    buf.fail("%s: no %s vector" % (which, field_name))
                n, at = 0, 0
            else:
                at, n = buf.vector(field, size, "%s %s" % (which, field_name))
            if field_name == "indices" and n % 3:
                buf.fail("%s: %d indices, not a multiple of 3" % (which, n))
            array = (np.frombuffer(view, PART_DTYPE, n, at) if dtype is None else
                     np.frombuffer(view, dtype, n * size // 4, at).reshape(-1, width))
            array.flags.writeable = False
            arrays.append(array)
        positions, normals, indices, texcoords, parts = arrays
        if indices.size and indices.max() >= len(positions):
            bad = int(np.argmax(indices.ravel() >= len(positions)))
            buf.fail("%s: index %d is %d, but the mesh has only %d positions"
                     % (which, bad, indices.flat[bad], len(positions)))
        if fields[3] is not None and len(texcoords) != len(positions):
            buf.fail("%s: %d texcoords, but the mesh has %d positions" % (which, len(texcoords), len(positions)))
        if fields[4] is not None:
            _check_parts(buf, parts, indices.size, len(model.shapes), len(model.materials), which + ": ")
        model.append(Mesh(positions, normals, indices, texcoords, parts))
    return model


# After from_buffer and Model, which it uses.
from ._conversion import FAILURE_KINDS, ConversionError, convert, load_obj  # noqa: E402
