#!/usr/bin/env python3
"""Benchmark of the Python package's converter, in process.

    bench/python_bench.py PYTHON_PACKAGE_DIR [--shared DIR] [--runs N] [--copies N] [--rounds N]

Loaders: on real models of the shared collection, obj2mesh.load_obj against
meshio.read and pywavefront.Wavefront (collect_faces=True), interleaved
round by round after a warm-up; per model the median time of each and the
ratio of the fastest peer to load_obj, taken round by round (median and
range). A peer that cannot be imported, or fails on a model, is shown as
such.

Threads: --copies copies (40 by default) of the largest model (lucy.obj,
3.8 MB), each loaded with obj2mesh.load_obj and converted to a file with
obj2mesh.convert, one after the other on one thread and through a
ThreadPoolExecutor of two, in interleaved rounds: the time of each and the
speed-up of two threads over one, taken round by round. The
load average is printed before and after each part. Prints numbers only;
nothing fails on them.
"""

import argparse
import logging
import os
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

MODELS = ("lucy/lucy.obj", "stanford_bunny/stanford-bunny.obj", "suzanne_subsurf_uv/blender_293_suzanne_subsurf_uv.obj",
          "spot/spot.obj")


def timed(function, *arguments):
    start = time.perf_counter()
    function(*arguments)
    return time.perf_counter() - start


def load_average():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def peers():
    """The loaders to compare with, by name, and why any is missing."""
    found, missing = {}, []
    try:
        import meshio
        found["meshio.read"] = meshio.read
    except ImportError as error:
        missing.append("meshio (%s)" % error)
    try:
        import pywavefront
        logging.getLogger("pywavefront").setLevel(logging.ERROR)
        found["pywavefront"] = lambda path: pywavefront.Wavefront(path, collect_faces=True, create_materials=True)
    except ImportError as error:
        missing.append("pywavefront (%s)" % error)
    return found, missing


def loaders(obj2mesh, shared, runs):
    found, missing = peers()
    for what in missing:
        print("not measured: %s; scripts/install-deps.sh bench installs it" % what)
    print("\nLoaders, in process: median of %d rounds; ratio = fastest peer / load_obj, round by round (%s)"
          % (runs, load_average()))
    print("| model | size | load_obj | %s | ratio |" % " | ".join(found))
    print("|---|---|---|%s---|" % ("---|" * len(found)))
    for model in MODELS:
        path = os.path.join(shared, "models", model)
        if not os.path.exists(path):
            continue
        functions = {"load_obj": obj2mesh.load_obj, **found}
        times = {}
        for name, function in functions.items():  # warm-up, and which of them work
            try:
                function(path)
                times[name] = []
            except Exception as error:  # noqa: BLE001 -- a peer's failure is a result
                times[name] = "fails: %s" % type(error).__name__
        working = [name for name in functions if isinstance(times[name], list)]
        ratios = []
        for _ in range(runs):
            for name in working:
                times[name].append(timed(functions[name], path))
            peer_times = [times[name][-1] for name in working if name != "load_obj"]
            if peer_times and "load_obj" in working:
                ratios.append(min(peer_times) / times["load_obj"][-1])
        cells = ["%.4f s" % statistics.median(times[name]) if name in working else times[name] for name in functions]
        ratio = "%.0f× (%.0f-%.0f)" % (statistics.median(ratios), min(ratios), max(ratios)) if ratios else "-"
        print("| %s | %.1f MB | %s | %s |" % (os.path.basename(path), os.path.getsize(path) / 1e6, " | ".join(cells),
                                             ratio))
    print(load_average())


def threads(obj2mesh, shared, copies, rounds):
    source = os.path.join(shared, "models", MODELS[0])
    if not os.path.exists(source):
        print("no %s: threads not measured" % source)
        return
    with tempfile.TemporaryDirectory() as folder:
        files = []
        for number in range(copies):
            files.append(os.path.join(folder, "%02d.obj" % number))
            shutil.copyfile(source, files[-1])

        def one(function):
            for path in files:
                function(path)

        def two(function):
            with ThreadPoolExecutor(2) as pool:
                list(pool.map(function, files))

        print("\nThreads: %d copies of %s (%.1f MB), %d rounds (%s)"
              % (copies, os.path.basename(source), os.path.getsize(source) / 1e6, rounds, load_average()))
        functions = {"load_obj": obj2mesh.load_obj, "convert": obj2mesh.convert}
        for function in functions.values():  # warm-up: the copies in the page cache, the outputs written once
            one(function)
        results = {name: [] for name in functions}
        for number in range(rounds):
            for name, function in functions.items():
                results[name].append((timed(one, function), timed(two, function)))
                a, b = results[name][-1]
                print("round %d, %s: 1 thread %.3f s, 2 threads %.3f s, speed-up %.2f×"
                      % (number + 1, name, a, b, a / b))
        for name, times in results.items():
            speedups = [a / b for a, b in times]
            print("%s: 1 thread %.3f s, 2 threads %.3f s (medians); speed-up %.2f× (%.2f-%.2f), round by round"
                  % (name, statistics.median(a for a, _ in times), statistics.median(b for _, b in times),
                     statistics.median(speedups), min(speedups), max(speedups)))
        print(load_average())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("package", help="the folder holding the obj2mesh package, extension included (build/python)")
    parser.add_argument("--shared", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                                         "shared"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--copies", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, os.path.abspath(args.package))
    import obj2mesh
    print("%d CPUs; Python %s" % (len(os.sched_getaffinity(0)), sys.version.split()[0]))
    loaders(obj2mesh, args.shared, args.runs)
    threads(obj2mesh, args.shared, args.copies, args.rounds)


if __name__ == "__main__":
    main()
