#!/usr/bin/env python3
"""Checks obj2mesh.load_obj and obj2mesh.convert, imported from PYTHONPATH,
against obj2mesh (run from each model's folder) and obj2mesh-batch --with
all on every shared model, on threads and on a Dask LocalCluster.

Usage: test_extension.py <obj2mesh> <obj2mesh-batch> <shared dir> [unittest arguments]
"""

import faulthandler
import glob
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import obj2mesh

OBJ2MESH = BATCH = REFS = None
OBJS = []  # the shared models' OBJ files
MALFORMED = "malformed_idx/malformed.obj"
TRIANGLE = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"
MODES = {"true": {}, "false": {"combine": False}, "all": {"texcoords": True, "aligned_normals": True, "parts": True}}


def references(folder):
    """{(obj, mode): the programs' .mesh file in `folder`, or obj2mesh's stderr where it failed}: modes
    "true" and "false" by obj2mesh -c, "all" by obj2mesh-batch --with all."""
    refs = {}
    for obj in OBJS:
        for mode in ("true", "false"):
            out = os.path.join(folder, mode + obj.replace("/", "_") + ".mesh")
            run = subprocess.run([OBJ2MESH, os.path.basename(obj), "-o", out, "-c", mode],
                                 cwd=os.path.dirname(obj), capture_output=True, text=True)
            refs[obj, mode] = out if run.returncode == 0 else run.stderr
    models = os.path.dirname(os.path.dirname(OBJS[0]))
    subprocess.run([BATCH, "-q", "--with", "all", "-o", os.path.join(folder, "batch"), models], capture_output=True)
    for obj in OBJS:
        out = os.path.join(folder, "batch", os.path.relpath(obj, models)[:-4] + ".mesh")
        refs[obj, "all"] = out if os.path.exists(out) else refs[obj, "true"]
    return refs


def contents(model):
    """All that a Model holds; arrays as dtype, shape, bytes and whether they are writeable."""
    return [model.shapes, [repr(m) for m in model.materials]] + [
        (a.dtype, a.shape, a.tobytes(), a.flags.writeable) for mesh in model for a in
        (getattr(mesh, name) for name in mesh.__slots__)]


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def models(self):
        return REFS or self.skipTest("no shared models")


class SharedModelsTest(Case):
    def test_same_bytes_and_arrays_as_the_programs(self):
        refs = self.models()
        self.assertTrue(any(obj.endswith(MALFORMED) for obj in OBJS))

        def check(key):
            obj, mode = key
            out, ref = self.path("python", mode, obj.replace("/", "_") + ".mesh"), refs[key]
            if not os.path.isabs(ref):  # the program failed: so do both functions, alike
                for function, arguments in ((obj2mesh.load_obj, ()), (obj2mesh.convert, (out,))):
                    with self.assertRaises(obj2mesh.ConversionError) as caught:
                        function(obj, *arguments, **MODES[mode])
                    e = caught.exception
                    line = "obj2mesh: %s:%d: %s\n" % (os.path.basename(obj), e.line, e.reason)
                    self.assertEqual((e.path, e.kind, line), (obj, "Rejected", ref))
                self.assertFalse(os.path.exists(out))
                return
            self.assertEqual(obj2mesh.convert(obj, out, threads=1, **MODES[mode]), out)
            self.assertEqual(Path(out).read_bytes(), Path(ref).read_bytes(), key)
            self.assertEqual(contents(obj2mesh.load_obj(obj, **MODES[mode])), contents(obj2mesh.load(ref)), key)
        # Four threads at once: the library is thread-safe.
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(check, sorted(refs)))

    def test_dask_local_cluster_of_two_processes(self):
        try:
            from distributed import Client, LocalCluster
        except ImportError as error:
            self.skipTest("Dask cannot be had (python3-distributed, from scripts/install-deps.sh test): %s" % error)
        refs = self.models()
        outs = [self.path("dask", obj.replace("/", "_") + ".mesh") for obj in OBJS]
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                          silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
            self.assertEqual(len(client.scheduler_info()["workers"]), 2)
            futures = client.map(obj2mesh.convert, OBJS, outs)
            client.gather(futures, errors="skip")
            for obj, out, future in zip(OBJS, outs, futures):
                if obj.endswith(MALFORMED):  # the error comes back whole
                    error = future.exception()
                    self.assertEqual([type(error), error.path], [obj2mesh.ConversionError, obj])
                else:
                    self.assertEqual(future.result(), out)
                    self.assertEqual(Path(out).read_bytes(), Path(refs[obj, "true"]).read_bytes(), obj)


class CallsTest(Case):
    def test_failures(self):
        obj, missing, folder = self.path("t.obj"), self.path("missing.obj"), self.path("folder")
        Path(obj).write_text(TRIANGLE)
        os.mkdir(folder)
        cases = [  # call, exception, (kind, path) of a ConversionError
            (lambda: obj2mesh.load_obj(missing), obj2mesh.ConversionError, ("CannotRead", missing)),
            (lambda: obj2mesh.convert(obj, obj), obj2mesh.ConversionError, ("CannotWrite", obj)),
            (lambda: obj2mesh.convert(obj, folder), obj2mesh.ConversionError, ("CannotWrite", folder)),
            (lambda: obj2mesh.load_obj(3), TypeError, None),
            (lambda: obj2mesh.load_obj(obj, combine=1), TypeError, None),
            (lambda: obj2mesh.convert(obj, parts="yes"), TypeError, None),
            (lambda: obj2mesh.load_obj(obj, threads=1.0), TypeError, None),
            (lambda: obj2mesh.load_obj(obj, threads=-1), ValueError, None),
            (lambda: obj2mesh.convert(obj, self.path("x.mesh\0")), ValueError, None),
        ]
        for number, (call, exception, failure) in enumerate(cases):
            with self.subTest(number), self.assertRaises(exception) as caught:
                call()
            if failure:
                self.assertEqual((caught.exception.kind, caught.exception.path, caught.exception.line), failure + (0,))
        self.assertEqual([sorted(os.listdir(self.dir)), os.listdir(folder)], [["folder", "t.obj"], []])

    def test_default_output_beside_the_obj_file(self):
        for name, output in (("a.obj", "a.mesh"), ("b.OBJ", "b.mesh"), ("c.d.obj", "c.d.mesh"), (".e", ".e.mesh")):
            Path(self.path(name)).write_text(TRIANGLE)
            self.assertEqual(obj2mesh.convert(self.path(name).encode()), self.path(output))
            self.assertEqual(obj2mesh.load(self.path(output))[0].indices.tolist(), [[0, 1, 2]])

    def test_gil_released_while_the_library_reads(self):
        """The OBJ file is a FIFO that this thread writes only while the
        library waits on it: with the GIL held, the watchdog ends the test."""
        faulthandler.dump_traceback_later(120, exit=True)
        self.addCleanup(faulthandler.cancel_dump_traceback_later)
        os.mkfifo(fifo := self.path("fifo.obj"))
        for call in (obj2mesh.load_obj, lambda path: obj2mesh.load(obj2mesh.convert(path, self.path("f.mesh")))):
            with ThreadPoolExecutor(1) as pool:
                future = pool.submit(call, fifo)
                Path(fifo).write_text(TRIANGLE)
                self.assertEqual(future.result()[0].indices.tolist(), [[0, 1, 2]])

    def test_out_of_memory_raises_memory_error(self):
        # Address space for 2 MB more than the interpreter has: too little for lucy.obj (3.8 MB).
        lucy = [obj for obj in OBJS if obj.endswith("lucy.obj")] or self.skipTest("no shared models")
        script = ("import resource, sys, obj2mesh\n"
                  "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
                  "resource.setrlimit(resource.RLIMIT_AS, (size + 2 * 2**20, resource.RLIM_INFINITY))\n"
                  "try: obj2mesh.load_obj(sys.argv[1], threads=1)\nexcept MemoryError as error: print(error)")
        run = subprocess.run([sys.executable, "-c", script, lucy[0]], capture_output=True, text=True)
        self.assertEqual(run.stdout, lucy[0] + ": out of memory\n", run.stderr)


def main():
    global OBJ2MESH, BATCH, REFS
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    OBJ2MESH, BATCH = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    OBJS.extend(sorted(glob.glob(os.path.join(os.path.abspath(sys.argv[3]), "models", "*", "*.obj"))))
    folder = tempfile.mkdtemp()
    REFS = OBJS and references(folder)
    program = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:], exit=False)
    shutil.rmtree(folder)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
