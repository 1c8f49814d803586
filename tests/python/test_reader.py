#!/usr/bin/env python3
"""Checks the obj2mesh Python reader against the converter and meshinfo.

ReaderTest converts small OBJ files, builds one with every optional field
with flatc, checks the exact values, and damages the files: the reader must
reject what meshinfo rejects and accept what it accepts. ModelsTest converts every shared model, with obj2mesh and with
obj2mesh-batch --with all, and compares what the reader gives with
meshinfo's report on the same file (skipped when the shared folder has no
models).

Usage: test_reader.py <obj2mesh> <meshinfo> <python package dir> <shared dir> <obj2mesh-batch>
"""

import glob
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from mesh_layout import (POSITIONS, TEXTURED, SmallFiles, content_faults, field, meshes, u32, vector,  # noqa: E402
                         vtable)

OBJ2MESH = MESHINFO = SHARED = BATCH = None
np = obj2mesh = None  # imported by main() from the package folder it is given

QUAD = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]
TRIANGLE = [[0.5, -2, 3.25], [1, 0, 0], [0, 0, 0]]
UP = [[0, 0, 1]] * 4

LIMIT = 2**31 - 1  # a FlatBuffers buffer must be smaller


def convert(obj, out, mode, cwd):
    return subprocess.run([OBJ2MESH, obj, "-o", out, "-c", mode], cwd=cwd, capture_output=True, text=True)


def meshinfo(paths):
    """meshinfo's JSON report on the files, one entry per path."""
    result = subprocess.run([MESHINFO, "--json", "--", *paths], capture_output=True, text=True)
    return json.loads(result.stdout)


def load_or_reason(path):
    try:
        return obj2mesh.load(path)
    except ValueError as error:
        return str(error)


class Case(unittest.TestCase):
    def assertMatchesReport(self, meshes, report, name):
        """The loaded meshes agree with meshinfo's report on the same file:
        counts, parts, shapes, materials, and bounding boxes to the bit
        (meshinfo prints floats with enough digits; NaN takes no part, and a
        non-finite bound is null)."""
        self.assertTrue(report["valid"], name)
        self.assertEqual(len(meshes), report["meshCount"], name)
        for number, (mesh, summary) in enumerate(zip(meshes, report["meshes"])):
            which = "%s mesh %d" % (name, number)
            self.assertEqual([len(mesh.positions), len(mesh.normals), len(mesh.indices)],
                             [summary["positions"], summary["normals"], summary["triangles"]], which)
            self.assertEqual([len(mesh.texcoords), mesh.parts.tolist()], [summary.get("texcoords", 0), [
                tuple(part.values()) for part in summary.get("parts", [])]], which)
            if not len(mesh.positions):
                self.assertIsNone(summary["bounds"], which)
                continue
            found = [np.fmin.reduce(mesh.positions), np.fmax.reduce(mesh.positions)]
            reported = [summary["bounds"]["min"], summary["bounds"]["max"]]
            self.assertEqual([[float(v) if np.isfinite(v) else None for v in axes] for axes in found],
                             [[None if v is None else float(np.float32(v)) for v in axes] for axes in reported],
                             which)
        self.assertEqual(meshes.shapes, report.get("shapes", []), name)

        def value(v):  # float32 values, None where not finite (null in JSON), colors as tuples
            return (v if isinstance(v, str) else tuple(map(value, v)) if isinstance(v, (list, tuple)) else
                    float(np.float32(v)) if v is not None and np.isfinite(v) else None)
        self.assertEqual([{re.sub("_(.)", lambda c: c[1].upper(), k): value(getattr(m, k)) for k in m.__slots__
                           if getattr(m, k) is not None} for m in meshes.materials],
                         [{k: value(v) for k, v in m.items()} for m in report.get("materials", [])], name)


class ReaderTest(Case, SmallFiles):
    def test_values_are_exact_read_only_views(self):
        cases = {  # file: (positions, normals, indices) per mesh
            "split": [(QUAD, UP, [[0, 1, 2], [0, 2, 3]]), (TRIANGLE, [], [[0, 1, 2]])],
            "joined": [(QUAD + TRIANGLE, UP, [[0, 1, 2], [0, 2, 3], [4, 5, 6]])],
            "none_split": [],
            "none_joined": [([], [], [])],
        }
        for name, want in cases.items():
            with self.subTest(name):
                # Only the arrays are kept: they alone must keep the file mapped.
                got = [(m.positions, m.normals, m.indices) for m in obj2mesh.load(self.path(name + ".mesh"))]
                self.assertEqual(len(got), len(want))
                for arrays, values in zip(got, want):
                    for array, value, dtype in zip(arrays, values, (np.float32, np.float32, np.uint32)):
                        self.assertEqual((array.dtype, array.shape), (np.dtype(dtype), (len(value), 3)))
                        self.assertTrue(np.array_equal(array, np.array(value, dtype).reshape(-1, 3)))
                        self.assertEqual((array.flags.writeable, array.flags.owndata), (False, False))

    def test_optional_fields(self):
        """Values of the optional fields, read-only views; absent ones read as
        empty; from_buffer reads any buffer alike, named as given."""
        with open(self.path("textured.mesh"), "rb") as f:
            data = f.read()
        for source in (self.path("textured.mesh"), data, bytearray(data), np.frombuffer(data, np.uint8)):
            model = obj2mesh.load(source) if isinstance(source, str) else obj2mesh.from_buffer(source)
            mesh, = model
            self.assertEqual(mesh.texcoords.tolist(), [[0, 0], [1, 0], [1, 1], [0, 0.5]])
            self.assertEqual(mesh.parts.tolist(), [(0, 3, 1, 0), (3, 3, -1, 1)])
            self.assertEqual(mesh.parts.dtype.names, ("first_index", "index_count", "material", "shape"))
            self.assertFalse(mesh.texcoords.flags.writeable or mesh.parts.flags.writeable or mesh.parts.flags.owndata)
            self.assertEqual(model.shapes, TEXTURED["shapes"])
            plain, red = model.materials
            self.assertEqual([plain.name, plain.opacity, plain.diffuse, red.diffuse, red.shininess, red.opacity,
                              red.illum, red.normal_texture, red.diffuse_texture],
                             ["plain", None, None, (1, 0, 0.25), 0, 1, 2, "n m.png", None])
        mesh, = old = obj2mesh.load(self.path("joined.mesh"))
        self.assertEqual([mesh.texcoords.shape, mesh.parts.shape, old.shapes, old.materials], [(0, 2), (0,), [], []])
        with self.assertRaisesRegex(ValueError, "^<buffer>: 3 bytes, too short"):
            obj2mesh.from_buffer(b"abc")
        for name, path, pattern in self.textured_faults():
            with self.subTest(name), self.assertRaises(ValueError) as caught:
                obj2mesh.load(path)
            self.assertRegex(str(caught.exception).removeprefix(path + ": "), pattern)

    def test_rejects_every_truncation(self):
        for n in range(len(self.split)):
            with self.subTest(bytes=n):
                path = self.write("cut.mesh", self.split[:n])
                with self.assertRaisesRegex(ValueError, "^%s: %s" % (re.escape(path), "empty file" if n == 0 else "")):
                    obj2mesh.load(path)

    def test_rejects_what_is_no_mesh_file(self):
        with open(self.path("big.mesh"), "wb") as f:
            f.truncate(LIMIT)  # sparse: no disk space, and never read
        os.mkfifo(self.path("fifo.mesh"))  # no writer: refused, not waited for
        for path, pattern in ((self.path("big.mesh"), r"file is %d bytes; .* smaller than %d bytes$" % (LIMIT, LIMIT)),
                              (os.devnull, "not a regular file$"), (self.path("fifo.mesh"), "not a regular file$")):
            with self.subTest(path), self.assertRaisesRegex(ValueError, "^%s: %s" % (re.escape(path), pattern)):
                obj2mesh.load(path)
        self.assertRaises(FileNotFoundError, obj2mesh.load, self.path("missing.mesh"))

    def test_rejects_damaged_files(self):
        buf = self.split
        mesh0 = meshes(buf)[0]
        model = u32(buf, 0)
        outside, misaligned = "lies outside the file$", "not aligned to"
        cases = [  # name, offset, format, value, reason
            ("root past the end", 0, "<I", len(buf) + 8, outside),
            ("root misaligned", 0, "<I", model + 1, misaligned),
            ("root zero", 0, "<I", 0, r"^root offset at byte 0 is 0$"),
            ("root negative", 0, "<I", 0x80000000, r"is 2147483648$"),
            ("mesh offset past the end", field(buf, model, 0), "<I", 0x7FFFFFF0, outside),
            ("positions offset past the end", field(buf, mesh0, POSITIONS), "<I", 0x10000, outside),
            ("positions misaligned", field(buf, mesh0, POSITIONS), "<I", u32(buf, field(buf, mesh0, POSITIONS)) + 2,
             r"^mesh 0 positions length at byte \d+ is " + misaligned),
            ("positions length past the end", vector(buf, mesh0, POSITIONS), "<I", 0x01000000,
             r"^mesh 0 positions vector of 16777216 \(201326596 bytes"),
            ("vtable offset past the start", mesh0, "<I", 0x7FFFFFF0, r"^mesh 0 vtable .*" + outside),
            ("vtable size odd", vtable(buf, mesh0), "<H", 9, r"^mesh 0 vtable at byte \d+ has size 9$"),
            ("vtable size 2", vtable(buf, model), "<H", 2, r"^no meshes vector$"),
            ("vtable past the end", vtable(buf, mesh0), "<H", 0xFFFE, r"^mesh 0 vtable \(65534 bytes .*" + outside),
        ]
        faults, highest = content_faults(buf)
        cases += faults + [("mesh %d index %d" % (number, index), last, "<I", index, None)
                           for number, last, index in highest]
        for name, at, fmt, value, pattern in cases:
            with self.subTest(name):
                data = bytearray(buf)
                struct.pack_into(fmt, data, at, value)
                path = self.write("damaged.mesh", data)
                if pattern is None:
                    self.assertEqual(len(obj2mesh.load(path)), 2)
                    continue
                with self.assertRaises(ValueError) as caught:
                    obj2mesh.load(path)
                self.assertRegex(str(caught.exception).removeprefix(path + ": "), pattern)

    def test_agrees_with_meshinfo_on_every_byte_changed(self):
        """Each byte of both files set to a few values: the reader accepts
        exactly the files that meshinfo accepts, and reads them alike."""
        paths = []
        for name in ("split", "joined", "textured"):
            with open(self.path(name + ".mesh"), "rb") as f:
                buf = f.read()
            for at in range(len(buf)):
                for value in {0, 0xFF, buf[at] ^ 1, buf[at] ^ 0x80} - {buf[at]}:
                    data = bytearray(buf)
                    data[at] = value
                    paths.append(self.write("%s_%d_%d.mesh" % (name, at, value), data))
        accepted = 0
        for path, report in zip(paths, meshinfo(paths)):
            loaded = load_or_reason(path)
            self.assertEqual(isinstance(loaded, list), report["valid"], (path, loaded, report.get("error")))
            if report["valid"]:
                accepted += 1
                self.assertMatchesReport(loaded, report, path)
        self.assertGreater(accepted, 0)


class ModelsTest(Case):
    def test_every_converted_model_matches_meshinfo(self):
        folders = sorted(glob.glob(os.path.join(SHARED or "", "models", "*", "")))
        if not folders:
            self.skipTest("no shared models folder")
        with tempfile.TemporaryDirectory() as out:
            files = []
            for folder in folders:
                model = os.path.basename(os.path.dirname(folder))
                obj = os.path.basename(sorted(glob.glob(os.path.join(folder, "*.obj")))[0])
                # Material libraries are found relative to the working directory.
                for mode in ("true", "false"):
                    path = os.path.join(out, "%s_%s.mesh" % (model, mode))
                    result = convert(obj, path, mode, folder)
                    if result.returncode != 1:  # 1: rejected by design, models_test pins which
                        self.assertEqual(result.returncode, 0, (model, mode, result.stderr))
                        files.append(path)
            for mode in ("true", "false"):  # the model rejected by design makes it exit 1
                subprocess.run([BATCH, "-q", "-c", mode, "--with", "all", "-o", os.path.join(out, mode), folders[0] + ".."])
            files += glob.glob(os.path.join(out, "*", "*", "*.mesh"))
            self.assertTrue(files)
            for path, report in zip(files, meshinfo(files)):
                with self.subTest(os.path.basename(path)):
                    self.assertMatchesReport(obj2mesh.load(path), report, path)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    global OBJ2MESH, MESHINFO, SHARED, BATCH, np, obj2mesh
    OBJ2MESH, MESHINFO, package, SHARED, BATCH = (os.path.abspath(p) for p in sys.argv[1:])
    SmallFiles.obj2mesh = OBJ2MESH
    sys.path.insert(0, package)
    import numpy as np
    import obj2mesh
    program = unittest.main(argv=[sys.argv[0], "-v"], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
