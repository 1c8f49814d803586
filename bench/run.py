#!/usr/bin/env python3
"""End-to-end benchmark of obj2mesh against a tinyobjloader peer.

    bench/run.py BUILD_DIR [--runs N] [--quick | --files NAMES] [--baseline PATH] [--callgrind]

Generates the inputs once (cached outside the source tree), then runs, per
file, obj2mesh in both modes and the peer interleaved, after a warm-up, and
prints median and min-max wall time, MB/s, peak RSS and the obj2mesh/peer
ratio taken run by run (ratios from one run are what count on a noisy
machine). --files limits the run to some of the files (comma-separated
names: full32, full256, positions256); --quick is --files full32.

--baseline names a second obj2mesh executable (an older build, say), run in
the same interleaved rounds and in the same two modes; the report then adds,
per file and mode, its times and peak RSS, the obj2mesh/baseline time ratio
taken run by run, and whether both wrote the same bytes.

--callgrind prints instruction counts of converting the first file (the
32 MB one unless --files says otherwise) instead, for the baseline too when
one is given. Prints numbers only; never fails on them.
"""

import argparse
import filecmp
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


def converter_runs(name, exe, outdir, path, prefix):
    """The two modes of one obj2mesh executable: (mode, program name, output file, command)."""
    combined = outdir / (prefix + "combined.mesh")
    separate = outdir / (prefix + "separate.mesh")
    return [("combined", name, combined, [str(exe), path.name, "-o", str(combined)]),
            ("separate", name + " -c false", separate,
             [str(exe), path.name, "-o", str(separate), "-c", "false"])]


def range_text(values, fmt):
    return "%s (%s-%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def bench_file(path, build, runs, outdir, baseline):
    size = path.stat().st_size
    new = converter_runs("obj2mesh", build / "obj2mesh", outdir, path, "")
    old = converter_runs("baseline", baseline, outdir, path, "baseline-") if baseline else []
    # Each mode of the baseline runs right after the same mode of obj2mesh,
    # so that the two runs of a ratio meet the same machine load.
    pairs = [entry for both in zip(new, old) for entry in both] if old else new
    programs = [(name, cmd) for _, name, _, cmd in pairs]
    programs.append(("tinyobjloader", [str(build / "tinyobj_load"), path.name]))
    for _, _, out, _ in new + old:  # a failed run must not leave the previous file's output
        if out.exists():
            out.unlink()
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
    for mode, name, out, _ in new:
        if not out.exists():
            print("  %s: no output" % mode)
            continue
        output = out.stat().st_size
        budget = attrs + 2.5 * output
        print("  %s: output %.1f MB, RSS budget (attributes %.1f MB + 2.5 x output) %.1f MB, used %.1f MB"
              % (mode, output / MIB, attrs / MIB, budget / MIB, rss[name] * 1024 / MIB))
    if not old:
        return
    print("  against the baseline %s (obj2mesh/baseline time ratio, run by run):" % baseline)
    for (mode, name, out, _), (_, base_name, base_out, _) in zip(new, old):
        ratios = [a / b for a, b in zip(times[name], times[base_name])]
        if not out.exists() or not base_out.exists():
            same = "DIFFERENT (%s wrote no file)" % (name if not out.exists() else base_name)
        else:
            same = "same bytes" if filecmp.cmp(out, base_out, shallow=False) else "DIFFERENT"
        print("    %-8s ratio %s, baseline %s, peak RSS %.1f MB (obj2mesh %.1f MB), %s" % (
            mode, range_text(ratios, "%.3f"), range_text(times[base_name], "%.3fs"),
            rss[base_name] / 1024, rss[name] / 1024, same))


def callgrind(path, exe, outdir, label):
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    out = outdir / "callgrind.out"
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out,
                    str(exe), path.name, "-o", str(outdir / "cg.mesh")],
                   cwd=path.parent, stdout=subprocess.DEVNULL, check=True)
    report = subprocess.run(["callgrind_annotate", str(out)], capture_output=True, text=True).stdout
    lines = report.splitlines()
    start = next((i for i, l in enumerate(lines) if "PROGRAM TOTALS" in l), 0)
    print("\ncallgrind, %s, %s:" % (label, path.name))
    for line in lines[start:start + 20]:
        print("  " + line[:140])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", type=Path, help="build directory holding obj2mesh and tinyobj_load")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="only the 32 MB file")
    ap.add_argument("--files", metavar="NAMES",
                    help="comma-separated subset of: %s" % ", ".join(name for name, _, _ in FILES))
    ap.add_argument("--baseline", metavar="PATH", type=Path,
                    help="a second obj2mesh executable to run and compare against")
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    build = args.build.resolve()
    baseline = args.baseline.resolve() if args.baseline else None
    if baseline and not (baseline.is_file() and os.access(baseline, os.X_OK)):
        ap.error("no executable at %s" % baseline)
    if args.files:
        if args.quick:
            ap.error("--quick and --files exclude each other")
        names = [n.strip() for n in args.files.split(",") if n.strip()]
        known = [name for name, _, _ in FILES]
        unknown = [n for n in names if n not in known]
        if unknown or not names:
            ap.error("unknown file name(s) %s; known: %s" % (", ".join(unknown) or "(none given)",
                                                             ", ".join(known)))
        files = [f for f in FILES if f[0] in names]
    else:
        files = FILES[:1] if args.quick or args.callgrind else FILES
    paths = [ensure_input(*f) for f in files]
    with tempfile.TemporaryDirectory(prefix="obj2mesh-bench-") as tmp:
        outdir = Path(tmp)
        if args.callgrind:
            callgrind(paths[0], build / "obj2mesh", outdir, "obj2mesh")
            if baseline:
                callgrind(paths[0], baseline, outdir, "baseline")
            return
        print("%d runs per program, interleaved, after a warm-up; CPU: %s" % (
            args.runs, os.cpu_count()))
        if baseline:
            print("baseline: %s" % baseline)
        for path in paths:
            bench_file(path, build, args.runs, outdir, baseline)


if __name__ == "__main__":
    main()
