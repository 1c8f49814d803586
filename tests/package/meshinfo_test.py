#!/usr/bin/env python3
"""Checks meshinfo against files it must accept and files it must reject.

CheckTest builds its own files with obj2mesh and damages them; ModelsTest
converts every shared model and compares meshinfo's report with the OBJ
input and with flatc's independent decoding of the same file.

Usage: meshinfo_test.py CheckTest|ModelsTest <meshinfo> <obj2mesh> <schema> [<shared dir>]
Exits 77 (skipped) when ModelsTest finds no shared models folder.
"""

import glob
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

MESHINFO = OBJ2MESH = SCHEMA = SHARED = None

# Two groups: a quad with a normal on every corner, a triangle without.
TWO_GROUPS = """v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
v 0.5 -2 3.25
vn 0 0 1
g quad
f 1//1 2//1 3//1 4//1
g tri
f 5 2 1
"""

LIMIT = 2**31 - 1  # a FlatBuffers buffer must be smaller


def meshinfo(*args, cwd=None):
    return subprocess.run([MESHINFO, *args], capture_output=True, text=True, cwd=cwd)


def reasons(stderr, paths):
    """Maps each of `paths` named on stderr to its reason."""
    found = {}
    for line in stderr.splitlines():
        named = [p for p in paths if line.startswith("meshinfo: %s: " % p)]
        assert len(named) == 1, "unexpected stderr line: " + line
        found[named[0]] = line[len("meshinfo: %s: " % named[0]):]
    return found


# --- just enough of the FlatBuffers layout to find the bytes to damage ---

def u32(buf, at):
    return struct.unpack_from("<I", buf, at)[0]


def field(buf, table, slot):
    """Position of the field's value in the table, or None when absent."""
    vtable = table - struct.unpack_from("<i", buf, table)[0]
    entry = vtable + 4 + 2 * slot
    if entry >= vtable + struct.unpack_from("<H", buf, vtable)[0]:
        return None
    offset = struct.unpack_from("<H", buf, entry)[0]
    return table + offset if offset else None


def target(buf, at):
    """Follows the 32-bit offset stored at `at`."""
    return at + u32(buf, at)


def meshes(buf):
    vector = target(buf, field(buf, u32(buf, 0), 0))
    return [target(buf, vector + 4 + 4 * i) for i in range(u32(buf, vector))]


POSITIONS, NORMALS, INDICES = 0, 1, 2


def vector(buf, mesh, slot):
    """Position of the vector's length word."""
    return target(buf, field(buf, mesh, slot))


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        with open(self.path("two.obj"), "w") as f:
            f.write(TWO_GROUPS)
        for args in (["-o", "split.mesh", "-c", "false"], ["-o", "joined.mesh"]):
            subprocess.run([OBJ2MESH, "two.obj", *args], cwd=self.dir, check=True, capture_output=True)
        with open(self.path("split.mesh"), "rb") as f:
            self.split = f.read()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def patched(self, name, at, fmt, value):
        data = bytearray(self.split)
        struct.pack_into(fmt, data, at, value)
        return self.write(name, bytes(data))

    def assertRejected(self, files, reason_pattern):
        """Every file is rejected, each with its own reason on stderr."""
        result = meshinfo(*files)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        found = reasons(result.stderr, files)
        self.assertEqual(sorted(found), sorted(files))
        for path, reason in found.items():
            self.assertRegex(reason, reason_pattern, path)

    def test_reports_counts_normals_and_bounds(self):
        result = meshinfo("--json", self.path("split.mesh"), self.path("joined.mesh"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        split, joined = json.loads(result.stdout)
        self.assertEqual(split["meshCount"], 2)
        self.assertEqual(split["meshes"], [
            {"positions": 4, "normals": 4, "normalsPerPosition": True, "triangles": 2,
             "bounds": {"min": [0, 0, 0], "max": [1, 1, 0]}},
            {"positions": 3, "normals": 0, "normalsPerPosition": False, "triangles": 1,
             "bounds": {"min": [0, -2, 0], "max": [1, 0, 3.25]}},
        ])
        self.assertEqual(joined["meshes"], [
            {"positions": 7, "normals": 4, "normalsPerPosition": False, "triangles": 3,
             "bounds": {"min": [0, -2, 0], "max": [1, 1, 3.25]}},
        ])

        text = meshinfo(self.path("split.mesh"))
        self.assertEqual(text.returncode, 0)
        self.assertEqual(text.stdout.splitlines()[1:], [
            "  mesh 0: 4 positions, 4 normals (one per position), 2 triangles, bounds (0, 0, 0) to (1, 1, 0)",
            "  mesh 1: 3 positions, 0 normals (none), 1 triangle, bounds (0, -2, 0) to (1, 0, 3.25)",
        ])
        self.assertRegex(text.stdout.splitlines()[0], r": 2 meshes; 7 positions, 4 normals, 3 triangles in all$")

    def test_empty_model_and_empty_mesh_are_valid(self):
        self.write("none.obj", b"v 1 2 3\n")
        subprocess.run([OBJ2MESH, "none.obj", "-o", "a.mesh", "-c", "false"], cwd=self.dir, check=True,
                       capture_output=True)
        subprocess.run([OBJ2MESH, "none.obj", "-o", "b.mesh"], cwd=self.dir, check=True, capture_output=True)
        result = meshinfo("--json", self.path("a.mesh"), self.path("b.mesh"))
        self.assertEqual(result.returncode, 0, result.stderr)
        a, b = json.loads(result.stdout)
        self.assertEqual(a["meshes"], [])
        self.assertEqual(b["meshes"], [{"positions": 0, "normals": 0, "normalsPerPosition": True,
                                        "triangles": 0, "bounds": None}])

    def test_rejects_every_truncation(self):
        files = [self.write("cut%d.mesh" % n, self.split[:n]) for n in range(1, len(self.split))]
        self.assertRejected(files, r"verification failed")

    def test_rejects_index_beyond_positions(self):
        for number, mesh in enumerate(meshes(self.split)):
            count = u32(self.split, vector(self.split, mesh, POSITIONS))
            last_index = vector(self.split, mesh, INDICES) + 4 + 4 * 2
            # The highest index that names a position still passes.
            ok = self.patched("ok%d.mesh" % number, last_index, "<I", count - 1)
            self.assertEqual(meshinfo(ok).returncode, 0)
            for bad in (count, 0xFFFFFFFF):
                with self.subTest(mesh=number, index=bad):
                    path = self.patched("bad%d.mesh" % number, last_index, "<I", bad)
                    self.assertRejected([path], r"^mesh %d: index 2 is %d, but the mesh has only %d positions$"
                                        % (number, bad, count))

    def test_rejects_index_count_not_multiple_of_3(self):
        mesh = meshes(self.split)[1]
        path = self.patched("short.mesh", vector(self.split, mesh, INDICES), "<I", 2)
        self.assertRejected([path], r"^mesh 1: 2 indices, not a multiple of 3$")

    def test_rejects_bad_offsets(self):
        mesh = meshes(self.split)[0]
        damage = {
            "root offset past the end": (0, len(self.split) + 8),
            "root offset misaligned": (0, u32(self.split, 0) + 1),
            "mesh offset past the end": (field(self.split, u32(self.split, 0), 0), 0x7FFFFFF0),
            "positions offset past the end": (field(self.split, mesh, POSITIONS), 0x10000),
            "positions length past the end": (vector(self.split, mesh, POSITIONS), 0x01000000),
            "vtable offset past the start": (mesh, 0x7FFFFFF0),
        }
        files = []
        for name, (at, value) in damage.items():
            files.append(self.patched(name.replace(" ", "_") + ".mesh", at, "<I", value))
        self.assertRejected(files, r"verification failed")

    def test_rejects_absent_vectors(self):
        mesh = meshes(self.split)[1]
        mesh_vtable = mesh - struct.unpack_from("<i", self.split, mesh)[0]
        model = u32(self.split, 0)
        model_vtable = model - struct.unpack_from("<i", self.split, model)[0]
        # A zero vtable entry marks the field absent; the buffer stays valid.
        # Both meshes share the vtable, so mesh 0 is the first to lack it.
        cases = [("no_normals.mesh", mesh_vtable + 4 + 2 * NORMALS, r"^mesh 0: no normals vector$"),
                 ("no_indices.mesh", mesh_vtable + 4 + 2 * INDICES, r"^mesh 0: no indices vector$"),
                 ("no_meshes.mesh", model_vtable + 4, r"^no meshes vector$")]
        for name, at, pattern in cases:
            with self.subTest(name):
                self.assertRejected([self.patched(name, at, "<H", 0)], pattern)

    def test_rejects_oversized_files_unread(self):
        # Sparse files: no disk space, and meshinfo must not read them.
        for size in (LIMIT, 2**32 + 16):
            with self.subTest(size=size):
                path = self.path("big%d.mesh" % size)
                with open(path, "wb") as f:
                    f.truncate(size)
                self.assertRejected([path], r"^file is %d bytes; .* must be smaller than %d bytes$" % (size, LIMIT))
                os.remove(path)

    def test_rejects_what_is_not_a_file(self):
        empty = self.write("empty.mesh", b"")
        os.mkdir(self.path("dir.mesh"))
        missing = self.path("missing.mesh")
        good = self.path("split.mesh")
        result = meshinfo(empty, self.path("dir.mesh"), missing, good)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(reasons(result.stderr, [empty, self.path("dir.mesh"), missing, good]), {
            empty: "empty file",
            self.path("dir.mesh"): "is a directory",
            missing: "cannot open: No such file or directory",
        })
        # The valid file among them is still reported.
        self.assertIn(good + ": 2 meshes", result.stdout)
        if os.geteuid() != 0:  # root reads anything
            locked = self.write("locked.mesh", self.split)
            os.chmod(locked, 0)
            self.assertRejected([locked], r"^cannot open: Permission denied$")

    def test_json_lists_invalid_files_too(self):
        result = meshinfo("--json", self.path("split.mesh"), self.path("missing.mesh"))
        self.assertEqual(result.returncode, 1)
        report = json.loads(result.stdout)
        self.assertEqual([r["valid"] for r in report], [True, False])
        self.assertEqual(report[1]["error"], "cannot open: No such file or directory")

    def test_command_line(self):
        for args in (["-h"], ["--help"], ["--json", "--help"]):
            result = meshinfo(*args)
            self.assertEqual((result.returncode, result.stderr), (0, ""), args)
            self.assertTrue(result.stdout.startswith("Usage: meshinfo"))
        for args in ([], ["--json"], ["-x", "a.mesh"]):
            result = meshinfo(*args)
            self.assertEqual((result.returncode, result.stdout), (2, ""), args)
            self.assertIn("Usage: meshinfo", result.stderr)
        shutil.copy(self.path("split.mesh"), self.path("-odd.mesh"))
        result = meshinfo("--", "-odd.mesh", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)


def lines(obj_bytes):
    """The lines as the converter reads them: LF or CR LF ends a line, a NUL
    hides the rest of its line, leading blanks are skipped."""
    for line in obj_bytes.split(b"\n"):
        yield line.removesuffix(b"\r").split(b"\0")[0].lstrip(b" \t")


def face_triangles(obj_bytes):
    """Triangles the faces of an OBJ file make when fanned, or None when a
    face corner is not of a plain form whose reading is obvious."""
    corner = re.compile(rb"-?\d+(/-?\d*(/-?\d+)?)?")
    triangles = 0
    for line in lines(obj_bytes):
        if line[:2] not in (b"f ", b"f\t"):
            continue
        corners = [c for c in re.split(rb"[ \t]+", line[2:]) if c]
        if not all(corner.fullmatch(c) for c in corners):
            return None
        triangles += max(0, len(corners) - 2)
    return triangles


def has_normals(obj_bytes):
    return any(line[:3] in (b"vn ", b"vn\t") for line in lines(obj_bytes))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def flatc_decode(mesh_path, out_dir):
    subprocess.run(["flatc", "--json", "--strict-json", "--raw-binary", "-o", out_dir, SCHEMA, "--", mesh_path],
                   check=True, capture_output=True)
    name = os.path.splitext(os.path.basename(mesh_path))[0] + ".json"
    with open(os.path.join(out_dir, name)) as f:
        return json.load(f)


class ModelsTest(unittest.TestCase):
    def test_every_converted_model_is_valid_with_matching_counts(self):
        folders = sorted(glob.glob(os.path.join(SHARED, "models", "*", "")))
        self.assertTrue(folders)
        have_flatc = shutil.which("flatc") is not None
        converted = 0
        for folder in folders:
            name = os.path.basename(os.path.dirname(folder))
            with self.subTest(model=name), tempfile.TemporaryDirectory() as work:
                # The shared copy may be read-only; material libraries are
                # found relative to the working directory.
                shutil.copytree(folder, work, dirs_exist_ok=True)
                obj = sorted(glob.glob(os.path.join(work, "*.obj")))[0]
                runs = [subprocess.run([OBJ2MESH, os.path.basename(obj), "-o", out, *extra], cwd=work,
                                       capture_output=True, text=True)
                        for out, extra in (("joined.mesh", []), ("split.mesh", ["-c", "false"]))]
                if runs[0].returncode == 1:
                    # Rejected by design: one reason line, nothing written.
                    self.assertEqual([r.returncode for r in runs], [1, 1])
                    self.assertRegex(runs[0].stderr, r"^obj2mesh: [^\n]+\n$")
                    self.assertEqual(glob.glob(os.path.join(work, "*.mesh")), [])
                    continue
                self.assertEqual([r.returncode for r in runs], [0, 0], runs[0].stderr + runs[1].stderr)
                converted += 1
                files = [os.path.join(work, "joined.mesh"), os.path.join(work, "split.mesh")]
                result = meshinfo("--json", *files)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                joined, split = json.loads(result.stdout)

                # Splitting into shapes moves data between meshes, never changes the totals.
                def total(report, key):
                    return sum(m[key] for m in report["meshes"])
                self.assertEqual(len(joined["meshes"]), 1)
                for key in ("positions", "normals", "triangles"):
                    self.assertEqual(total(joined, key), total(split, key), key)

                # The converter's input: every face makes corners - 2 triangles,
                # and a file without normals gives none.
                with open(obj, "rb") as f:
                    source = f.read()
                expected = face_triangles(source)
                if expected is not None:
                    self.assertEqual(total(joined, "triangles"), expected)
                if not has_normals(source):
                    self.assertEqual(total(joined, "normals"), 0)

                if have_flatc:
                    for path, report in zip(files, (joined, split)):
                        self.assertMatchesFlatc(flatc_decode(path, work), report)
        self.assertGreater(converted, 0)

    def test_reference_mesh_files_are_valid(self):
        # Mesh files that another implementation of the converter wrote:
        # those in a case's expected tree that its input did not already hold.
        files = []
        for case in sorted(glob.glob(os.path.join(SHARED, "golden", "*", ""))):
            tree = os.path.join(case, "expected", "tree")
            for path in glob.glob(os.path.join(tree, "**", "*.mesh"), recursive=True):
                before = os.path.join(case, "input", os.path.relpath(path, tree))
                if os.path.islink(path) or (os.path.exists(before) and read(before) == read(path)):
                    continue
                files.append(path)
        if not files:
            self.skipTest("no reference mesh files")
        result = meshinfo(*files)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def assertMatchesFlatc(self, decoded, report):
        meshes = decoded.get("meshes", [])
        self.assertEqual(len(meshes), report["meshCount"])
        for mesh, summary in zip(meshes, report["meshes"]):
            positions = mesh.get("positions", [])
            self.assertEqual(len(positions), summary["positions"])
            self.assertEqual(len(mesh.get("normals", [])), summary["normals"])
            self.assertEqual(len(mesh.get("indices", [])), 3 * summary["triangles"])
            if not positions:
                self.assertIsNone(summary["bounds"])
                continue
            for axis, key in enumerate("xyz"):
                values = [p[key] for p in positions if not math.isnan(p[key])]
                # flatc prints fewer digits than a float holds.
                self.assertAlmostEqual(min(values), summary["bounds"]["min"][axis], delta=1e-5 * (1 + abs(min(values))))
                self.assertAlmostEqual(max(values), summary["bounds"]["max"][axis], delta=1e-5 * (1 + abs(max(values))))


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    global MESHINFO, OBJ2MESH, SCHEMA, SHARED
    suite = sys.argv[1]
    MESHINFO, OBJ2MESH, SCHEMA = (os.path.abspath(p) for p in sys.argv[2:5])
    SHARED = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else None
    if suite == "ModelsTest" and not (SHARED and os.path.isdir(os.path.join(SHARED, "models"))):
        print("skipped: no shared models folder")
        sys.exit(77)
    program = unittest.main(argv=[sys.argv[0], "-v", suite], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
