#!/usr/bin/env python3
"""End-to-end benchmark of obj2mesh against a tinyobjloader peer.

    bench/run.py BUILD_DIR [--runs N] [--quick] [--callgrind]

Generates the inputs once (cached outside the source tree), then runs, per
file, obj2mesh in both modes and the peer interleaved, after a warm-up, and
prints median and min-max wall time, MB/s, peak RSS and the obj2mesh/peer
ratio taken run by run (ratios from one run are what count on a noisy
machine). --callgrind prints instruction counts of converting the 32 MB file
instead. Prints numbers only; never fails on them.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GENERATOR = ROOT.parent / "shared" / "bench" / "gen_obj.py"
CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "obj2mesh-bench"
SEED = 1
FILES = [("full32", 32, "full"), ("full256", 256, "full"), ("positions256", 256, "positions")]
MIB = 1 << 20


def ensure_input(name, size_mb, style):
    path = CACHE / (name + ".obj")
    if not path.exists():
        if not GENERATOR.exists():
            sys.exit("no generator at %s" % GENERATOR)
        CACHE.mkdir(parents=True, exist_ok=True)
        print("generating %s (%d MB, %s)..." % (path, size_mb, style), flush=True)
        partial = CACHE / (name + ".partial.obj")
        subprocess.run([sys.executable, str(GENERATOR), str(partial), "--size-mb", str(size_mb),
                        "--seed", str(SEED), "--style", style], check=True)
        if (CACHE / (name + ".partial.mtl")).exists():
            # The OBJ names its library after itself.
            text = partial.read_bytes().replace(b"mtllib %s.partial.mtl" % name.encode(),
                                                b"mtllib %s.mtl" % name.encode(), 1)
            partial.write_bytes(text)
            (CACHE / (name + ".partial.mtl")).rename(CACHE / (name + ".mtl"))
        partial.rename(path)
    return path


def run(cmd, cwd):
    """Wall seconds and peak RSS (KiB) of one run."""
    # The peak is taken by /usr/bin/time: a child forked from this Python
    # process would report Python's own resident size as its peak.
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd, cwd=cwd,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            print("  %s exited with %d: %s" % (" ".join(cmd), proc.returncode,
                                                proc.stderr.decode(errors="replace").strip()[:200]))
        text = rss.read().strip().splitlines()
    return wall, int(text[-1]) if text and text[-1].isdigit() else 0


def attribute_bytes(path):
    """Bytes of the file-wide attribute arrays: 12 per v and vn line, 8 per vt line."""
    v = vn = vt = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(64 * MIB), b""):
            v += block.count(b"\nv ")
            vn += block.count(b"\nvn ")
            vt += block.count(b"\nvt ")
    return 12 * (v + vn) + 8 * vt


def bench_file(path, build, runs, outdir):
    size = path.stat().st_size
    programs = [
        ("obj2mesh", [str(build / "obj2mesh"), path.name, "-o", str(outdir / "combined.mesh")]),
        ("obj2mesh -c false", [str(build / "obj2mesh"), path.name, "-o", str(outdir / "separate.mesh"),
                               "-c", "false"]),
        ("tinyobjloader", [str(build / "tinyobj_load"), path.name]),
    ]
    with open(path, "rb") as f:  # into the page cache
        while f.read(64 * MIB):
            pass
    for _, cmd in programs:  # warm-up
        run(cmd, path.parent)
    times = {name: [] for name, _ in programs}
    rss = {name: 0 for name, _ in programs}
    for _ in range(runs):
        for name, cmd in programs:
            wall, peak = run(cmd, path.parent)
            times[name].append(wall)
            rss[name] = max(rss[name], peak)
    peer = times["tinyobjloader"]
    attrs = attribute_bytes(path)
    print("\n%s: %.1f MB" % (path.name, size / MIB))
    print("  %-18s %8s %17s %8s %9s %10s" % ("program", "median", "min-max", "MB/s", "peak RSS", "ratio"))
    for name, _ in programs:
        t = times[name]
        ratio = statistics.median(a / b for a, b in zip(t, peer))
        print("  %-18s %7.3fs %7.3f-%7.3fs %8.1f %7.1f MB %10s" % (
            name, statistics.median(t), min(t), max(t), size / MIB / statistics.median(t),
            rss[name] / 1024, "%.3f" % ratio if name != "tinyobjloader" else ""))
    for mode, out in (("combined", "combined.mesh"), ("separate", "separate.mesh")):
        output = (outdir / out).stat().st_size
        budget = attrs + 2.5 * output
        name = "obj2mesh" if mode == "combined" else "obj2mesh -c false"
        print("  %s: output %.1f MB, RSS budget (attributes %.1f MB + 2.5 x output) %.1f MB, used %.1f MB"
              % (mode, output / MIB, attrs / MIB, budget / MIB, rss[name] * 1024 / MIB))


def callgrind(path, build, outdir):
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    out = outdir / "callgrind.out"
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out,
                    str(build / "obj2mesh"), path.name, "-o", str(outdir / "cg.mesh")],
                   cwd=path.parent, stdout=subprocess.DEVNULL, check=True)
    report = subprocess.run(["callgrind_annotate", str(out)], capture_output=True, text=True).stdout
    lines = report.splitlines()
    start = next((i for i, l in enumerate(lines) if "PROGRAM TOTALS" in l), 0)
    print("\ncallgrind, %s:" % path.name)
    for line in lines[start:start + 20]:
        print("  " + line[:140])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", type=Path, help="build directory holding obj2mesh and tinyobj_load")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="only the 32 MB file")
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    build = args.build.resolve()
    files = FILES[:1] if args.quick or args.callgrind else FILES
    paths = [ensure_input(*f) for f in files]
    with tempfile.TemporaryDirectory(prefix="obj2mesh-bench-") as tmp:
        outdir = Path(tmp)
        if args.callgrind:
            callgrind(paths[0], build, outdir)
            return
        print("%d runs per program, interleaved, after a warm-up; CPU: %s" % (
            args.runs, os.cpu_count()))
        for path in paths:
            bench_file(path, build, args.runs, outdir)


if __name__ == "__main__":
    main()
