"""OBJ files converted in process by the converter library, through the
extension obj2mesh._native: load_obj() and convert(). Both release the GIL
while the library loads, converts and writes, so that threads convert
files in parallel."""

from __future__ import annotations

import importlib
import operator
import os
import numpy as np

try:
    _native = importlib.import_module("._native", __package__)
except ImportError as error:  # a reader-only install, or an extension built for another Python
    _native, _native_error = None, error

from . import Model, from_buffer

# The kinds of failure, as ConversionError.kind names them.
FAILURE_KINDS = ("CannotRead", "Rejected", "TooLarge", "CannotWrite", "OutOfMemory", "Internal")


def _printable(text):
    """`text` with the bytes that are not UTF-8 (surrogate escapes) written
    as \\xNN, so that it prints."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


class ConversionError(Exception):
    """An OBJ file that could not be converted, or its .mesh file written.

    path: the file concerned (str; bytes that are not UTF-8 come as
        surrogate escapes, which os.fsencode turns back into the bytes)
    line: the 1-based line of the content that was rejected, 0 when none
        applies
    reason: why (str)
    kind: one of FAILURE_KINDS: "CannotRead" (the input cannot be opened or
        read), "Rejected" (its content cannot be converted; line says
        where), "TooLarge" (the .mesh file would be larger than one can
        be), "CannotWrite" (the output cannot be written, or would replace
        an input), "Internal"

    str(error) is "path:line: reason", or "path: reason" when line is 0.
    Running out of memory raises MemoryError instead."""

    def __init__(self, path: str, line: int, reason: str, kind: str):
        super().__init__(path, line, reason, kind)
        self.path, self.line, self.reason, self.kind = path, line, reason, kind

    def __str__(self):
        where = "%s:%d" % (self.path, self.line) if self.line else self.path
        return "%s: %s" % (_printable(where), _printable(self.reason))


def _native_call(function, path, *arguments):
    """Calls the extension's `function`; raises its failure as
    ConversionError or MemoryError."""
    if _native is None:
        raise ImportError("obj2mesh.load_obj and obj2mesh.convert need the extension obj2mesh._native, which this "
                          "installation of obj2mesh lacks or cannot load into this Python (%s): see the obj2mesh "
                          "Python guide, docs/python.md" % _native_error) from _native_error
    try:
        return getattr(_native, function)(path, *arguments)
    except _native.Failure as failure:
        path, line, reason, kind = failure.args
        path, reason = os.fsdecode(path), reason.decode("utf-8", "surrogateescape")
        if kind == "OutOfMemory":
            raise MemoryError("%s: %s" % (_printable(path), _printable(reason))) from None
        raise ConversionError(path, line, reason, kind) from None


def _path(path):
    """`path` as bytes: TypeError for what is no path, ValueError for one
    with a zero byte, which would end it early."""
    path = os.fsencode(path)
    if b"\0" in path:
        raise ValueError("embedded null byte in path %r" % path)
    return path


def _options(combine, threads, texcoords, aligned_normals, parts):
    """The options in the extension's order, checked: TypeError for a
    wrong type, ValueError for a thread count out of range."""
    flags = dict(combine=combine, texcoords=texcoords, aligned_normals=aligned_normals, parts=parts)
    for name, value in flags.items():
        if not isinstance(value, (bool, np.bool_)):
            raise TypeError("%s must be True or False, not %s" % (name, type(value).__name__))
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError("threads must be an int, not bool")
    threads = operator.index(threads)  # TypeError for what is not an integer
    if not 0 <= threads < 2**32:
        raise ValueError("threads must be 0 (as many as the CPUs) or a positive number, not %d" % threads)
    return bool(combine), bool(texcoords), bool(aligned_normals), bool(parts), threads


def load_obj(path: str | bytes | os.PathLike, *, combine: bool = True, threads: int = 0, texcoords: bool = False,
             aligned_normals: bool = False, parts: bool = False) -> Model:
    """Converts the OBJ file at `path` in memory and returns its meshes as a
    Model, as obj2mesh.load() returns those of a .mesh file: its arrays are
    read-only views, without a copy, of the converted buffer, which they
    keep alive. The material libraries that "mtllib" lines name are read
    from the OBJ file's folder.

    combine: all shapes in one mesh (True), or one mesh per shape
    threads: the most threads that parse the text, 0 for as many as the
        CPUs this process may run on (the library uses one per 4 MB of
        text at most, so smaller files are read on the calling thread)
    texcoords: each mesh's texcoords, one (u, v) per position
    aligned_normals: normals one per position
    parts: each mesh's parts, and the model's shapes and materials

    The options are the converter library's (Options.combineMeshes,
    LoadOptions.threads, Options.texcoords, Options.alignNormals,
    Options.parts), and the same as obj2mesh-batch's -c and --with. Raises
    ConversionError when the file cannot be read or converted, MemoryError
    when memory runs out, TypeError for an argument of the wrong type, and
    ValueError for a negative thread count or a path with a zero byte.
    The GIL is released while the library works."""
    options = _options(combine, threads, texcoords, aligned_normals, parts)
    path = _path(path)
    return from_buffer(_native_call("load", path, *options), os.fsdecode(path))


def convert(obj_path: str | bytes | os.PathLike, mesh_path: str | bytes | os.PathLike | None = None, *,
            combine: bool = True, threads: int = 0, texcoords: bool = False, aligned_normals: bool = False,
            parts: bool = False) -> str:
    """Converts the OBJ file at `obj_path` and writes the .mesh file at
    `mesh_path`; returns the output's path (str). The file has the bytes
    that obj2mesh-batch writes with the same options (and, with the default
    options, those of obj2mesh run from the OBJ file's folder).

    Without `mesh_path`, the output goes beside the OBJ file, its extension
    replaced by .mesh (or added), as obj2mesh-batch names it: scene.obj
    gives scene.mesh. Missing folders on the way to the output are created.
    The output is written through a temporary file that takes its name only
    once complete, so a failure leaves the old file, or none; an input
    (the OBJ file or a material library) is never overwritten.

    The options, the material libraries and the exceptions are those of
    load_obj(); a file that cannot be written raises ConversionError of
    kind "CannotWrite". The GIL is released while the library works."""
    options = _options(combine, threads, texcoords, aligned_normals, parts)
    obj_path = _path(obj_path)
    mesh_path = None if mesh_path is None else _path(mesh_path)
    return os.fsdecode(_native_call("convert", obj_path, mesh_path, *options))
