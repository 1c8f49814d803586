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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from mesh_layout import POSITIONS, TEXTURED, SmallFiles, content_faults, field, meshes, u32, vector  # noqa: E402

MESHINFO = OBJ2MESH = SCHEMA = SHARED = None


LIMIT = 2**31 - 1  # a FlatBuffers buffer must be smaller


def run(*args, cwd=None, timeout=None):
    return subprocess.run(args, capture_output=True, text=True, cwd=cwd, timeout=timeout)


def positions_only(n):
    """A valid file by hand: one mesh of n positions at the origin, no
    normals, no indices."""
    return struct.pack("<I3Hxx5Hxx iIIIiIIII", 24, 6, 8, 4, 10, 16, 4, 8, 12,  # root, model and mesh vtables
                       20, 4, 1, 4, 28, 12, 12 + 12 * n, 12 + 12 * n, n) + bytes(12 * n + 8)


def reasons(stderr, paths):
    """Maps each of `paths` named on stderr to its reason."""
    found = {}
    for line in stderr.splitlines():
        named = [p for p in paths if line.startswith("meshinfo: %s: " % p)]
        assert len(named) == 1, "unexpected stderr line: " + line
        found[named[0]] = line[len("meshinfo: %s: " % named[0]):]
    return found


class CheckTest(SmallFiles):
    def assertRejected(self, files, pattern):
        """Every file is rejected, each with its own reason on stderr."""
        result = run(MESHINFO, *files)
        self.assertEqual((result.returncode, result.stdout), (1, ""), result.stderr)
        found = reasons(result.stderr, files)
        self.assertEqual(sorted(found), sorted(files))
        for path, reason in found.items():
            self.assertRegex(reason, pattern, path)

    def test_reports_counts_normals_and_bounds(self):
        result = run(MESHINFO, "--json", self.path("split.mesh"), self.path("joined.mesh"))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        split, joined = json.loads(result.stdout)
        self.assertEqual(split["meshCount"], 2)
        self.assertEqual(split["meshes"], [
            {"positions": 4, "normals": 4, "normalsPerPosition": True, "triangles": 2,
             "bounds": {"min": [0, 0, 0], "max": [1, 1, 0]}},
            {"positions": 3, "normals": 0, "normalsPerPosition": False, "triangles": 1,
             "bounds": {"min": [0, -2, 0], "max": [1, 0, 3.25]}}])
        self.assertEqual(joined["meshes"], [
            {"positions": 7, "normals": 4, "normalsPerPosition": False, "triangles": 3,
             "bounds": {"min": [0, -2, 0], "max": [1, 1, 3.25]}}])
        text = run(MESHINFO, self.path("split.mesh")).stdout.splitlines()
        self.assertRegex(text[0], r": 2 meshes; 7 positions, 4 normals, 3 triangles in all$")
        self.assertEqual(text[1:], [
            "  mesh 0: 4 positions, 4 normals (one per position), 2 triangles, bounds (0, 0, 0) to (1, 1, 0)",
            "  mesh 1: 3 positions, 0 normals (none), 1 triangle, bounds (0, -2, 0) to (1, 0, 3.25)"])

    def test_reports_optional_fields(self):
        path = self.path("textured.mesh")
        self.assertEqual(run(MESHINFO, path).stdout.splitlines(), [
            path + ": 1 mesh; 4 positions, 0 normals, 2 triangles in all; 2 shapes, 2 materials",
            "  mesh 0: 4 positions, 0 normals (none), 2 triangles, bounds (0, 0, 0) to (1, 1, 0)",
            "    4 texture coordinates, bounds (0, 0) to (1, 1)",
            '    part 0: 1 triangle from 0, shape 0 "quad", material 1 "red"',
            r'    part 1: 1 triangle from 1, shape 1 "t\"ri\t", no material',
            '  shape 0: "quad"', r'  shape 1: "t\"ri\t"', '  material 0 "plain": nothing set',
            '  material 1 "red": diffuse (1, 0, 0.25), shininess 0, opacity 1, illum 2, normal texture "n m.png"'])
        report, = json.loads(run(MESHINFO, "--json", path).stdout)
        mesh, = report["meshes"]
        self.assertEqual((mesh["texcoords"], mesh["texcoordBounds"]), (4, {"min": [0, 0], "max": [1, 1]}))
        self.assertEqual([mesh["parts"], report["shapes"], report["materials"]],
                         [TEXTURED["meshes"][0]["parts"], TEXTURED["shapes"],
                          [{"name": "plain"}, dict(TEXTURED["materials"][1], diffuse=[1, 0, 0.25])]])
        for name, path, pattern in self.textured_faults():
            with self.subTest(name):
                self.assertRejected([path], pattern)

    def test_json_names_any_file(self):
        """Names that are not UTF-8 are escaped: the output is strict UTF-8
        and JSON, and the name's bytes come back."""
        name = os.fsencode(self.dir) + b"/n\xff\xed\xa0\x80\xc3\xa9\"\\\x01\n.mesh"
        with open(name, "wb") as f:
            f.write(self.split)
        result = subprocess.run([MESHINFO, "--json", name], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        report, = json.loads(result.stdout.decode("utf-8", "strict"))
        self.assertEqual(os.fsencode(report["path"]), name)
        self.assertTrue(report["valid"])

    def test_empty_model_and_empty_mesh_are_valid(self):
        result = run(MESHINFO, "--json", self.path("none_split.mesh"), self.path("none_joined.mesh"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([r["meshes"] for r in json.loads(result.stdout)], [[], [
            {"positions": 0, "normals": 0, "normalsPerPosition": True, "triangles": 0, "bounds": None}]])

    def test_rejects_every_truncation(self):
        files = [self.write("cut%d.mesh" % n, self.split[:n]) for n in range(1, len(self.split))]
        self.assertRejected(files, r"verification failed")

    def test_rejects_damaged_files(self):
        buf = self.split
        mesh0 = meshes(buf)[0]
        model = u32(buf, 0)
        verification = r"verification failed"
        cases = [  # name, offset, format, value, reason
            ("root past the end", 0, "<I", len(buf) + 8, verification),
            ("root misaligned", 0, "<I", model + 1, verification),
            ("mesh offset past the end", field(buf, model, 0), "<I", 0x7FFFFFF0, verification),
            ("positions offset past the end", field(buf, mesh0, POSITIONS), "<I", 0x10000, verification),
            ("positions length past the end", vector(buf, mesh0, POSITIONS), "<I", 0x01000000, verification),
            ("vtable offset past the start", mesh0, "<I", 0x7FFFFFF0, verification),
        ]
        faults, highest = content_faults(buf)
        cases += faults
        for number, last, index in highest:
            data = bytearray(buf)
            struct.pack_into("<I", data, last, index)
            self.assertEqual(run(MESHINFO, self.write("ok%d.mesh" % number, data)).returncode, 0)
        for name, at, fmt, value, pattern in cases:
            with self.subTest(name):
                data = bytearray(buf)
                struct.pack_into(fmt, data, at, value)
                self.assertRejected([self.write(name.replace(" ", "_") + ".mesh", data)], pattern)

    def test_rejects_oversized_files_unread(self):
        # Sparse files: no disk space, and meshinfo must not read them.
        for size in (LIMIT, 2**32 + 16):
            with self.subTest(size=size):
                with open(self.path("big.mesh"), "wb") as f:
                    f.truncate(size)
                self.assertRejected([self.path("big.mesh")],
                                    r"^file is %d bytes; .* must be smaller than %d bytes$" % (size, LIMIT))

    def test_rejects_what_is_not_a_file_and_reports_the_rest(self):
        fifo, folder, missing, good = (self.path(n) for n in ("fifo.mesh", "dir.mesh", "missing.mesh", "split.mesh"))
        os.mkfifo(fifo)  # without a writer, opening it to read would wait for one
        os.mkdir(folder)
        cases = {  # path: its name as stderr shows it, with control bytes escaped; reason
            self.write("empty\n\t\r\x01\x7f.mesh", b""): (self.path(r"empty\n\t\r\x01\x7f.mesh"), "empty file"),
            folder: (folder, "is a directory"),
            missing: (missing, "cannot open: No such file or directory"),
            fifo: (fifo, "not a regular file"),
            "/dev/zero": ("/dev/zero", "not a regular file"),
        }
        result = run(MESHINFO, *cases, good, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(reasons(result.stderr, [shown for shown, _ in cases.values()] + [good]), dict(cases.values()))
        self.assertIn(good + ": 2 meshes", result.stdout)
        report = json.loads(run(MESHINFO, "--json", good, missing).stdout)
        self.assertEqual([r["valid"] for r in report], [True, False])
        self.assertEqual(report[1]["error"], "cannot open: No such file or directory")
        if os.geteuid() != 0:  # root reads anything
            os.chmod(good, 0)
            self.assertRejected([good], r"^cannot open: Permission denied$")

    def test_address_space_limit(self):
        """A 32 MiB file needs little more than its own size; with less, it
        is refused in one line."""
        with open(MESHINFO, "rb") as f:
            if b"__asan_init" in f.read():
                self.skipTest("AddressSanitizer reserves more address space than these limits")
        path = self.write("big.mesh", positions_only(2**25 // 12))
        for mib, status, stdout, stderr in (
                (16, 1, "", "meshinfo: %s: out of memory\n" % path),
                (64, 0, "%s: 1 mesh; 2796202 positions, 0 normals, 0 triangles in all" % path, "")):
            with self.subTest(mib=mib):
                result = run("sh", "-c", 'ulimit -v %d && exec "$0" "$@"' % (mib * 1024), MESHINFO, path)
                self.assertEqual((result.returncode, result.stdout[:len(stdout)], result.stderr), (status, stdout, stderr))

    def test_command_line(self):
        for args, status in (([], 2), (["--json"], 2), (["-x", "a.mesh"], 2), (["-h"], 0), (["--json", "--help"], 0)):
            result = run(MESHINFO, *args)
            shown, quiet = (result.stdout, result.stderr) if status == 0 else (result.stderr, result.stdout)
            self.assertEqual((result.returncode, quiet, "Usage: meshinfo" in shown), (status, "", True), args)
        shutil.copy(self.path("split.mesh"), self.path("-odd.mesh"))
        self.assertEqual(run(MESHINFO, "--", "-odd.mesh", cwd=self.dir).returncode, 0)


def face_triangles_and_normals(obj_bytes):
    """Triangles the faces of an OBJ file make when fanned (None when a face
    corner is not of a plain form whose reading is obvious), and whether it
    has any normals. LF or CR LF ends a line, a NUL hides the rest of it."""
    corner = re.compile(rb"-?\d+(/-?\d*(/-?\d+)?)?")
    triangles, normals = 0, False
    for line in obj_bytes.split(b"\n"):
        line = line.removesuffix(b"\r").split(b"\0")[0].lstrip(b" \t")
        normals = normals or line[:3] in (b"vn ", b"vn\t")
        if line[:2] in (b"f ", b"f\t") and triangles is not None:
            corners = [c for c in re.split(rb"[ \t]+", line[2:]) if c]
            triangles = triangles + max(0, len(corners) - 2) if all(map(corner.fullmatch, corners)) else None
    return triangles, normals


class ModelsTest(unittest.TestCase):
    def test_every_converted_model_is_valid_with_matching_counts(self):
        folders = sorted(glob.glob(os.path.join(SHARED, "models", "*", "")))
        self.assertTrue(folders)
        converted = 0
        for folder in folders:
            with self.subTest(model=os.path.basename(os.path.dirname(folder))), tempfile.TemporaryDirectory() as work:
                # The shared copy may be read-only; material libraries are
                # found relative to the working directory.
                shutil.copytree(folder, work, dirs_exist_ok=True)
                obj = glob.glob(os.path.join(work, "*.obj"))[0]
                runs = [run(OBJ2MESH, os.path.basename(obj), "-o", out, "-c", mode, cwd=work)
                        for out, mode in (("joined.mesh", "true"), ("split.mesh", "false"))]
                if [r.returncode for r in runs] == [1, 1]:  # rejected by design: models_test pins which
                    continue
                self.assertEqual([r.returncode for r in runs], [0, 0], runs[0].stderr + runs[1].stderr)
                converted += 1
                files = [os.path.join(work, "joined.mesh"), os.path.join(work, "split.mesh")]
                result = run(MESHINFO, "--json", *files)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                joined, split = json.loads(result.stdout)
                self.assertEqual(joined["meshCount"], 1)

                # Splitting into shapes moves data between meshes, never
                # changes the totals; every face makes corners - 2 triangles,
                # and a file without normals gives none.
                def total(report, key):
                    return sum(m[key] for m in report["meshes"])
                for key in ("positions", "normals", "triangles"):
                    self.assertEqual(total(joined, key), total(split, key), key)
                with open(obj, "rb") as f:
                    triangles, normals = face_triangles_and_normals(f.read())
                if triangles is not None:
                    self.assertEqual(total(joined, "triangles"), triangles)
                if not normals:
                    self.assertEqual(total(joined, "normals"), 0)
                if shutil.which("flatc"):
                    for path, report in zip(files, (joined, split)):
                        self.assertMatchesFlatc(path, work, report)
        self.assertGreater(converted, 0)

    def assertMatchesFlatc(self, mesh_path, out_dir, report):
        subprocess.run(["flatc", "--json", "--strict-json", "--raw-binary", "-o", out_dir, SCHEMA, "--", mesh_path],
                       check=True, capture_output=True)
        with open(os.path.splitext(mesh_path)[0] + ".json") as f:
            decoded = json.load(f).get("meshes", [])
        self.assertEqual(len(decoded), report["meshCount"])
        for mesh, summary in zip(decoded, report["meshes"]):
            positions = mesh.get("positions", [])
            self.assertEqual([len(positions), len(mesh.get("normals", [])), len(mesh.get("indices", []))],
                             [summary["positions"], summary["normals"], 3 * summary["triangles"]])
            if not positions:
                self.assertIsNone(summary["bounds"])
                continue
            for axis, key in enumerate("xyz"):
                values = [p[key] for p in positions if not math.isnan(p[key])]
                for want, got in ((min(values), summary["bounds"]["min"][axis]),
                                  (max(values), summary["bounds"]["max"][axis])):
                    self.assertAlmostEqual(want, got, delta=1e-5 * (1 + abs(want)))  # flatc prints fewer digits


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    global MESHINFO, OBJ2MESH, SCHEMA, SHARED
    MESHINFO, OBJ2MESH, SCHEMA = (os.path.abspath(p) for p in sys.argv[2:5])
    SmallFiles.obj2mesh = OBJ2MESH
    SHARED = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else None
    if sys.argv[1] == "ModelsTest" and not (SHARED and os.path.isdir(os.path.join(SHARED, "models"))):
        print("skipped: no shared models folder")
        sys.exit(77)
    program = unittest.main(argv=[sys.argv[0], "-v", sys.argv[1]], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
