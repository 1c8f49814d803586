"""Reads the .mesh files that obj2mesh writes.

A .mesh file is a FlatBuffers buffer holding a list of meshes, each with
positions and normals (float32 x, y, z) and triangle indices (uint32).
load() checks the whole file first, then returns its meshes as read-only
numpy views of the memory-mapped file, with no copy:

    import obj2mesh

    for mesh in obj2mesh.load("model.mesh"):
        print(mesh.positions.shape, mesh.normals.shape, mesh.indices.shape)
        corners = mesh.positions[mesh.indices]  # triangles x 3 corners x xyz

The arrays keep the file mapped for as long as any of them is alive; the
file must not shrink meanwhile.
"""

import mmap
import os
import stat
import struct

import numpy as np

__version__ = "0.1.0"
__all__ = ["Mesh", "load", "MAX_SIZE"]

# A FlatBuffers buffer must be smaller than 2^31 - 1 bytes: its offsets are
# signed 32-bit.
MAX_SIZE = 2**31 - 2
# A root offset, a table's vtable offset and a vtable's two sizes: the least
# a buffer holds.
_MIN_SIZE = 12
# Mesh fields in vtable order: name, scalar type (4 bytes), element size.
_MESH_FIELDS = (("positions", "<f4", 12), ("normals", "<f4", 12), ("indices", "<u4", 4))


class Mesh:
    """One mesh: positions (N x 3 float32), normals (M x 3 float32) and
    indices (K x 3 uint32, a row per triangle, every index below N)."""

    __slots__ = ("positions", "normals", "indices")

    def __init__(self, positions, normals, indices):
        self.positions, self.normals, self.indices = positions, normals, indices

    def __repr__(self):
        return "Mesh(%d positions, %d normals, %d triangles)" % (
            len(self.positions), len(self.normals), len(self.indices))


class _Buffer:
    """Bounds- and alignment-checked reads from the mapped file; every
    failure raises ValueError naming the file."""

    def __init__(self, data, path):
        self.data, self.size, self.path = data, len(data), path

    def fail(self, reason):
        raise ValueError("%s: %s" % (os.fsdecode(self.path), reason))

    def need(self, at, length, align, what):
        """`length` bytes at `at` lie in the file, `at` a multiple of `align`
        (no object may span the whole file, as FlatBuffers has it)."""
        if not (0 <= at and length < self.size and at <= self.size - length):
            self.fail("%s (%d bytes at byte %d) lies outside the file" % (what, length, at))
        if at % align:
            self.fail("%s at byte %d is not aligned to %d bytes" % (what, at, align))

    def read(self, fmt, at, what):
        self.need(at, struct.calcsize(fmt), struct.calcsize(fmt), what)
        return struct.unpack_from(fmt, self.data, at)[0]

    def offset(self, at, what):
        """Position of the object that the uint32 offset at `at` refers to."""
        value = self.read("<I", at, what + " offset")
        if not 0 < value < 2**31:
            self.fail("%s offset at byte %d is %d" % (what, at, value))
        return at + value

    def fields(self, table, count, what):
        """Positions of the first `count` fields of the table at `table`,
        None for an absent one."""
        vtable = table - self.read("<i", table, what + " table")
        size = self.read("<H", vtable, what + " vtable")
        if size < 4 or size % 2:
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
    """Returns the meshes of the .mesh file at `path`, in file order, as a
    list of Mesh. Raises ValueError when the file is not a valid mesh file
    (the message names the file and the fault), OSError when it cannot be
    read."""
    data = _map(path)
    buf = _Buffer(data, path)
    if buf.size < _MIN_SIZE:
        buf.fail("%d bytes, too short for a mesh buffer" % buf.size)
    (meshes,) = buf.fields(buf.offset(0, "root"), 1, "model")
    if meshes is None:
        buf.fail("no meshes vector")
    first, count = buf.vector(meshes, 4, "meshes")
    result = []
    for number in range(count):
        which = "mesh %d" % number
        fields = buf.fields(buf.offset(first + 4 * number, which), len(_MESH_FIELDS), which)
        arrays = []
        for (name, dtype, size), field in zip(_MESH_FIELDS, fields):
            # The converter always writes all three vectors, even empty ones.
            if field is None:
                buf.fail("%s: no %s vector" % (which, name))
            at, n = buf.vector(field, size, "%s %s" % (which, name))
            if name == "indices" and n % 3:
                buf.fail("%s: %d indices, not a multiple of 3" % (which, n))
            arrays.append(np.frombuffer(data, dtype, n * size // 4, at).reshape(-1, 3))
        positions, normals, indices = arrays
        if indices.size and indices.max() >= len(positions):
            bad = int(np.argmax(indices.ravel() >= len(positions)))
            buf.fail("%s: index %d is %d, but the mesh has only %d positions"
                     % (which, bad, indices.flat[bad], len(positions)))
        result.append(Mesh(positions, normals, indices))
    return result
