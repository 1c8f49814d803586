#!/usr/bin/env python3
"""End-to-end benchmark of obj2mesh against a tinyobjloader peer and an I/O floor.

    bench/run.py BUILD_DIR [--runs N] [--quick | --files NAMES] [--baseline PATH] [--callgrind]

Generates the inputs once (cached outside the source tree), then runs, per
file, after a warm-up and interleaved round by round: an I/O floor, obj2mesh
in both modes, obj2mesh with OBJ2MESH_THREADS=1 (one reader thread) and the
peer. Every other obj2mesh run has OBJ2MESH_THREADS removed from its
environment, so its reader picks its threads itself (the default). Per file it
prints median and min-max wall time, MB/s, CPU time (user+sys), peak RSS, and,
taken run by run (ratios from one run are what count on a noisy machine): the
obj2mesh/peer time ratio, the ratio of obj2mesh (both modes) to the I/O floor,
and the CPU time ratio and wall-time speed-up of the default run over the
one-thread run. Targets are printed beside the ratios; nothing checks them.

The I/O floor runs inside this process: it reads the input in 1 MiB blocks
with plain read() calls, writes as many bytes as obj2mesh's combined output
has to a file beside the outputs (no fsync) and removes that file.

The small-files section times 300 sequential conversions of
examples/house.obj against 300 sequential runs of `cat examples/house.obj`,
both started the same way (subprocess, no shell, output to /dev/null), in
interleaved rounds, and prints the ratio of the two, round by round.

The batch section converts 2,000 copies of examples/house.obj in 40 folders
with obj2mesh-batch -j 2 against find | xargs -P2 running obj2mesh from each
file's folder, and, when the 256 MB full file is in the run, that file alone
through obj2mesh-batch against obj2mesh; the ratios are taken round by round.

--files limits the run to some of the sections (comma-separated names:
full32, positions32, full256, positions256, small, batch; all but positions32
by default); --quick is --files full32,small with fewer small-file rounds.

--baseline names a second obj2mesh executable (an older build, say), run in
the same interleaved rounds and in the same two modes; the report then adds,
per file and mode, its times and peak RSS, the obj2mesh/baseline time ratio
taken run by run, and whether both wrote the same bytes.

--callgrind instead prints, per file (full32 and positions32 unless --files
says otherwise), the instructions callgrind counts for the whole obj2mesh
process (I refs, OBJ2MESH_THREADS=1) per input byte, for the baseline too when
one is given. Prints numbers only; never fails on them.
"""

import argparse
import filecmp
import io
import os
import resource
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
FILES = [("full32", 32, "full"), ("positions32", 32, "positions"),
         ("full256", 256, "full"), ("positions256", 256, "positions")]
TIMED = ["full32", "full256", "positions256", "small", "batch"]  # the sections run by default
BATCH_TARGET = 0.40  # obj2mesh-batch -j 2 / find | xargs -P2 obj2mesh, on BATCH_FOLDERS x BATCH_COPIES files
BATCH_FOLDERS, BATCH_COPIES = 40, 50
SMALL = ROOT / "examples" / "house.obj"
SMALL_RUNS = 300  # sequential runs per program and round
MIB = 1 << 20
THREADS = "OBJ2MESH_THREADS"
# Printed beside the ratios, never enforced.
PEER_TARGET = {"full256": 0.60, "positions256": 0.60}  # obj2mesh / tinyobjloader, at most
FLOOR_TARGET = {"full256": 2.0, "positions256": 2.5}  # obj2mesh / I/O floor, at most
SPEEDUP_TARGET = 1.0  # wall time, OBJ2MESH_THREADS=1 / default, at least
SMALL_TARGET = 1.6  # house.obj conversions / cat house.obj, at most
CALLGRIND_TARGET = {"full32": 10, "positions32": 12}  # I refs per input byte, at most


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


def run(cmd, cwd, env):
    """Wall seconds, peak RSS (KiB) and CPU seconds (user+sys) of one run."""
    # The peak is taken by /usr/bin/time: a child forked from this Python
    # process would report Python's own resident size as its peak. The CPU
    # time comes from wait4 on /usr/bin/time, whose usage includes that of
    # the program it waited for.
    with tempfile.NamedTemporaryFile("r") as rss, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd, cwd=cwd,
                                env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            print("  %s exited with %d: %s" % (" ".join(cmd), proc.returncode,
                                                err.read().decode(errors="replace").strip()[:200]))
        text = rss.read().strip().splitlines()
    peak = int(text[-1]) if text and text[-1].isdigit() else 0
    return wall, peak, usage.ru_utime + usage.ru_stime


def io_floor(path, out, nbytes):
    """Reads PATH in 1 MiB blocks, writes NBYTES to OUT and removes it: (wall, 0, CPU seconds)."""
    buf = bytearray(MIB)
    view = memoryview(buf)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    with io.FileIO(path, "r") as f:  # unbuffered: each readinto is one read()
        while f.readinto(buf):
            pass
    with io.FileIO(out, "w") as f:
        left = nbytes
        while left:
            left -= f.write(view[:min(left, MIB)])
    os.unlink(out)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return wall, 0, cpu


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


def median_range(values, fmt):
    return "%s (%s-%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def target_text(targets, key, fmt):
    return ("target at most " + fmt % targets[key]) if key in targets else "no target"


def bench_file(name, path, build, runs, outdir, baseline, env):
    size = path.stat().st_size
    one_env = dict(env, **{THREADS: "1"})
    new = converter_runs("obj2mesh", build / "obj2mesh", outdir, path, "")
    old = converter_runs("baseline", baseline, outdir, path, "baseline-") if baseline else []
    one_out = outdir / "one-thread.mesh"
    one_name = "obj2mesh 1 thread"
    floor_out = outdir / "floor.bin"
    floor_bytes = [0]  # set after the warm-up, from obj2mesh's combined output

    def command(cmd, cmd_env):
        return lambda: run(cmd, path.parent, cmd_env)

    # Each round runs the floor, then each mode of obj2mesh right before the
    # same mode of the baseline, with the one-thread run right after the
    # default combined one, so that the runs of a ratio meet the same load.
    programs = [("I/O floor", lambda: io_floor(path, floor_out, floor_bytes[0]))]
    for i, (_, prog, _, cmd) in enumerate(new):
        programs.append((prog, command(cmd, env)))
        if old:
            programs.append((old[i][1], command(old[i][3], env)))
        if i == 0:
            programs.append((one_name, command(
                [str(build / "obj2mesh"), path.name, "-o", str(one_out)], one_env)))
    programs.append(("tinyobjloader", command([str(build / "tinyobj_load"), path.name], env)))
    for out in [o for _, _, o, _ in new + old] + [one_out, floor_out]:
        if out.exists():  # a failed run must not leave the previous file's output
            out.unlink()
    with open(path, "rb") as f:  # into the page cache
        while f.read(64 * MIB):
            pass
    for prog, action in programs[1:]:  # warm-up
        action()
    combined_out = new[0][2]
    floor_bytes[0] = combined_out.stat().st_size if combined_out.exists() else 0
    programs[0][1]()
    times = {prog: [] for prog, _ in programs}
    cpu = {prog: [] for prog, _ in programs}
    rss = {prog: 0 for prog, _ in programs}
    for r in range(runs):
        # The order turns round by round: a program run right after the
        # floor's or the peer's large writes and frees meets the kernel
        # still reclaiming and compacting memory, so none always comes
        # first after them.
        for prog, action in programs[r % len(programs):] + programs[:r % len(programs)]:
            wall, peak, used = action()
            times[prog].append(wall)
            cpu[prog].append(used)
            rss[prog] = max(rss[prog], peak)

    def ratios(a, b, values=times):
        return [x / y if y else float("nan") for x, y in zip(values[a], values[b])]

    attrs = attribute_bytes(path)
    print("\n%s: %.1f MB; I/O floor: read it, write %.1f MB (obj2mesh's combined output)%s"
          % (path.name, size / MIB, floor_bytes[0] / MIB,
             "" if floor_bytes[0] else " - obj2mesh wrote no output"))
    print("  %-19s %8s %17s %7s %7s %10s %8s" % (
        "program", "median", "min-max", "MB/s", "CPU", "peak RSS", "/tinyobj"))
    for prog, _ in programs:
        t = times[prog]
        peer = "" if prog in ("tinyobjloader", "I/O floor") else \
            "%.3f" % statistics.median(ratios(prog, "tinyobjloader"))
        print("  %-19s %7.3fs %7.3f-%7.3fs %7.1f %6.2fs %10s %8s" % (
            prog, statistics.median(t), min(t), max(t), size / MIB / statistics.median(t),
            statistics.median(cpu[prog]),
            "%.1f MB" % (rss[prog] / 1024) if prog != "I/O floor" else "-", peer))
    combined, separate = new[0][1], new[1][1]
    # Ratios run by run, their median and range, with the targets.
    print("  vs tinyobjloader  combined %s, -c false %s; %s" % (
        median_range(ratios(combined, "tinyobjloader"), "%.3f"),
        median_range(ratios(separate, "tinyobjloader"), "%.3f"),
        target_text(PEER_TARGET, name, "%.2f")))
    print("  x I/O floor       combined %s, -c false %s; %s" % (
        median_range(ratios(combined, "I/O floor"), "%.2fx"),
        median_range(ratios(separate, "I/O floor"), "%.2fx"),
        target_text(FLOOR_TARGET, name, "%.1fx")))
    print("  default/1 thread  CPU time ratio %s; wall speed-up %s, target at least %.1fx" % (
        median_range(ratios(combined, one_name, cpu), "%.3f"),
        median_range(ratios(one_name, combined), "%.2fx"), SPEEDUP_TARGET))
    for mode, prog, out, _ in new:
        if not out.exists():
            print("  %s: no output" % mode)
            continue
        output = out.stat().st_size
        budget = attrs + 2.5 * output
        print("  %s: output %.1f MB, RSS budget (attributes %.1f MB + 2.5 x output) %.1f MB, used %.1f MB"
              % (mode, output / MIB, attrs / MIB, budget / MIB, rss[prog] * 1024 / MIB))
    if one_out.exists() and combined_out.exists() \
            and not filecmp.cmp(one_out, combined_out, shallow=False):
        print("  %s=1 wrote DIFFERENT bytes from the default combined run" % THREADS)
    if not old:
        return
    print("  against the baseline %s (obj2mesh/baseline time ratio, run by run):" % baseline)
    for (mode, prog, out, _), (_, base_name, base_out, _) in zip(new, old):
        if not out.exists() or not base_out.exists():
            same = "DIFFERENT (%s wrote no file)" % (prog if not out.exists() else base_name)
        else:
            same = "same bytes" if filecmp.cmp(out, base_out, shallow=False) else "DIFFERENT"
        print("    %-8s ratio %s, baseline %s, peak RSS %.1f MB (obj2mesh %.1f MB), %s" % (
            mode, median_range(ratios(prog, base_name), "%.3f"),
            median_range(times[base_name], "%.3fs"), rss[base_name] / 1024, rss[prog] / 1024,
            same))


def bench_small(build, rounds, outdir, env):
    """SMALL_RUNS conversions of examples/house.obj against as many runs of cat, per round."""
    cat = shutil.which("cat")
    out = outdir / "house.mesh"
    programs = [("obj2mesh", [str(build / "obj2mesh"), SMALL.name, "-o", str(out)]),
                ("cat", [cat, SMALL.name])]
    failures = {prog: 0 for prog, _ in programs}

    def batch(prog, cmd, count):
        start = time.perf_counter()
        for _ in range(count):
            if subprocess.run(cmd, cwd=SMALL.parent, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                failures[prog] += 1
        return time.perf_counter() - start

    for prog, cmd in programs:  # warm-up
        batch(prog, cmd, 10)
    times = {prog: [] for prog, _ in programs}
    for r in range(rounds):
        # Alternate which program starts a round, so that neither always
        # meets the machine right after the other.
        for prog, cmd in (programs if r % 2 == 0 else programs[::-1]):
            times[prog].append(batch(prog, cmd, SMALL_RUNS))
    print("\nsmall files: %s (%.1f KB), %d rounds of %d sequential runs per program"
          % (SMALL.relative_to(ROOT), SMALL.stat().st_size / 1024, rounds, SMALL_RUNS))
    for prog, _ in programs:
        t = times[prog]
        print("  %-9s %s per %d runs, %.2f ms per run%s" % (
            prog, median_range(t, "%.3fs"), SMALL_RUNS,
            statistics.median(t) / SMALL_RUNS * 1000,
            "; %d runs FAILED" % failures[prog] if failures[prog] else ""))
    print("  obj2mesh/cat: %s, target at most %.1f" % (
        median_range([a / b for a, b in zip(times["obj2mesh"], times["cat"])], "%.3f"),
        SMALL_TARGET))


def bench_batch(build, rounds, outdir, env, large):
    """A tree of copies of examples/house.obj converted by obj2mesh-batch -j 2
    against find | xargs -P2 running obj2mesh from each file's folder; then one
    large file through obj2mesh-batch against obj2mesh."""
    tree = outdir / "tree"
    for f in range(BATCH_FOLDERS):
        folder = tree / ("f%d" % f)
        folder.mkdir(parents=True)
        shutil.copy(SMALL.with_suffix(".mtl"), folder)
        for c in range(BATCH_COPIES):
            shutil.copy(SMALL, folder / ("h%d.obj" % c))
    xargs = ("find %s -name '*.obj' -print0 | xargs -0 -P2 -n1 sh -c "
             "'cd \"$(dirname \"$1\")\" && exec %s \"$(basename \"$1\")\" > /dev/null' sh"
             % (tree, build / "obj2mesh"))
    batch = [str(build / "obj2mesh-batch"), "-j", "2", "-q", "--force", str(tree)]

    def timed(cmd, shell=False):
        start = time.perf_counter()
        subprocess.run(cmd, shell=shell, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start

    times = {"obj2mesh-batch": [], "xargs": []}
    for r in range(rounds):
        order = [("obj2mesh-batch", lambda: timed(batch)), ("xargs", lambda: timed(xargs, True))]
        for prog, action in (order if r % 2 == 0 else order[::-1]):
            times[prog].append(action())
    print("\nbatch: %d copies of %s in %d folders, %d rounds"
          % (BATCH_FOLDERS * BATCH_COPIES, SMALL.relative_to(ROOT), BATCH_FOLDERS, rounds))
    for prog, t in times.items():
        print("  %-15s %s" % (prog, median_range(t, "%.3fs")))
    print("  batch/xargs: %s, target at most %.2f" % (
        median_range([a / b for a, b in zip(times["obj2mesh-batch"], times["xargs"])], "%.3f"), BATCH_TARGET))
    if large:
        one = {"obj2mesh-batch": [], "obj2mesh": []}
        out = outdir / "large"
        for r in range(rounds):
            order = [("obj2mesh-batch", [str(build / "obj2mesh-batch"), "-q", "--force", "-o", str(out), str(large)]),
                     ("obj2mesh", [str(build / "obj2mesh"), str(large), "-o", str(outdir / "large.mesh")])]
            for prog, cmd in (order if r % 2 == 0 else order[::-1]):
                one[prog].append(timed(cmd))
        print("  %s alone: obj2mesh-batch %s, obj2mesh %s; ratio %s, target at most 1.0" % (
            large.name, median_range(one["obj2mesh-batch"], "%.3fs"), median_range(one["obj2mesh"], "%.3fs"),
            median_range([a / b for a, b in zip(one["obj2mesh-batch"], one["obj2mesh"])], "%.3f")))


def callgrind(name, path, exe, outdir, label, env):
    """Prints the I refs callgrind counts for one run of EXE on PATH, and their number per input byte."""
    out = outdir / "callgrind.out"
    out.unlink(missing_ok=True)  # a failed run must not leave the previous count
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out,
                           str(exe), path.name, "-o", str(outdir / "cg.mesh")],
                          cwd=path.parent, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, errors="replace")
    refs = None
    for line in proc.stderr.splitlines():  # "==PID== I   refs:      1,234,567"
        if "I   refs:" in line:
            refs = int(line.split(":")[-1].replace(",", ""))
    if refs is None and out.exists():
        with open(out, errors="replace") as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    refs = int(line.split()[1])
    if proc.returncode != 0:
        print("  %s on %s: valgrind exited with %d: %s" % (label, path.name, proc.returncode,
                                                          proc.stderr.strip()[-200:]))
    if refs is None:
        print("  %-8s %-16s no count" % (label, path.name))
    else:
        print("  %-8s %-16s %15s I refs, %.2f per input byte, %s" % (
            label, path.name, format(refs, ","), refs / path.stat().st_size,
            target_text(CALLGRIND_TARGET, name, "%d")))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", type=Path, help="build directory holding obj2mesh and tinyobj_load")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true",
                    help="only full32 and fewer small-file rounds")
    ap.add_argument("--files", metavar="NAMES",
                    help="comma-separated subset of: %s, small, batch"
                    % ", ".join(name for name, _, _ in FILES))
    ap.add_argument("--baseline", metavar="PATH", type=Path,
                    help="a second obj2mesh executable to run and compare against")
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    if args.runs < 1:
        ap.error("--runs must be at least 1")
    build = args.build.resolve()
    baseline = args.baseline.resolve() if args.baseline else None
    if baseline and not (baseline.is_file() and os.access(baseline, os.X_OK)):
        ap.error("no executable at %s" % baseline)
    if args.files:
        if args.quick:
            ap.error("--quick and --files exclude each other")
        names = [n.strip() for n in args.files.split(",") if n.strip()]
        known = [name for name, _, _ in FILES] + ["small", "batch"]
        unknown = [n for n in names if n not in known]
        if unknown or not names:
            ap.error("unknown file name(s) %s; known: %s" % (", ".join(unknown) or "(none given)",
                                                             ", ".join(known)))
    else:
        names = ["full32", "positions32"] if args.callgrind else \
            ["full32", "small"] if args.quick else TIMED
    files = [f for f in FILES if f[0] in names]
    small = "small" in names and not args.callgrind
    batch = "batch" in names and not args.callgrind
    if args.callgrind and not files:
        ap.error("--callgrind needs one of: %s" % ", ".join(name for name, _, _ in FILES))
    paths = [(f[0], ensure_input(*f)) for f in files]
    env = {k: v for k, v in os.environ.items() if k != THREADS}
    with tempfile.TemporaryDirectory(prefix="obj2mesh-bench-") as tmp:
        outdir = Path(tmp)
        if args.callgrind:
            if not shutil.which("valgrind"):
                sys.exit("valgrind is not installed")
            print("callgrind, %s=1: I refs of the whole process" % THREADS)
            for name, path in paths:
                for label, exe in [("obj2mesh", build / "obj2mesh"), ("baseline", baseline)]:
                    if exe:
                        callgrind(name, path, exe, outdir, label, dict(env, **{THREADS: "1"}))
            return
        print("CPU: %s" % os.cpu_count() if not paths else
              "%d runs per program, interleaved, after a warm-up; CPU: %s" % (
                  args.runs, os.cpu_count()))
        if THREADS in os.environ:
            print("%s=%s is ignored: only the one-thread runs set it (to 1)"
                  % (THREADS, os.environ[THREADS]))
        if baseline:
            print("baseline: %s" % baseline)
        for name, path in paths:
            bench_file(name, path, build, args.runs, outdir, baseline, env)
        if small:
            bench_small(build, 3 if args.quick else 5, outdir, env)
        if batch:
            large = dict(paths).get("full256")
            bench_batch(build, 3 if args.quick else args.runs, outdir, env, large)


if __name__ == "__main__":
    main()
